#include "LogController.h"

#include "LocaleFormat.h"

#include "ImageAndTextCell.h"
#include "WindowsResources.h"
#include "ui_LogController.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QStringDecoder>

#include <algorithm>

namespace {
enum Column { ListColumn = 0, DateColumn = 1, DeleteColumn = 2 };

// "Backup dd.MM.YY_hh.mm.ss.txt" as "YYMMddhhmmss", "" for any other name. The hour is on a 12-hour
// clock without a marker, so this orders two logs of the same day only roughly.
QString nameDateKey(const QString& name) {
    static const QRegularExpression pattern(
        QStringLiteral(R"(^Backup (\d\d)\.(\d\d)\.(\d\d)_(\d\d)\.(\d\d)\.(\d\d)\.txt$)"));
    const QRegularExpressionMatch m = pattern.match(name);
    if (!m.hasMatch())
        return QString();
    return m.captured(3) + m.captured(2) + m.captured(1) + m.captured(4) + m.captured(5) + m.captured(6);
}
} // namespace

LogListModel::LogListModel(LogController& owner) : mOwner(owner) {}

int LogListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : mOwner.numberOfRowsInTableView();
}

int LogListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(LogController::ColumnIdentifiers.size());
}

QVariant LogListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return QVariant();
    if (role == Qt::DisplayRole)
        return mOwner.objectValueForTableColumn(LogController::ColumnIdentifiers.value(index.column()),
                                                index.row());
    if (role == Qt::DecorationRole && index.column() == ListColumn)
        return QPixmap(QStringLiteral(":/windows/log_document.png"));
    if (role == Qt::DecorationRole && index.column() == DeleteColumn)
        return QPixmap(QStringLiteral(":/windows/hostlist_closeicon.png"));
    // The image-only cell says what it does, to the pointer and to a screen reader.
    if ((role == Qt::ToolTipRole || role == Qt::AccessibleTextRole) && index.column() == DeleteColumn)
        return LogController::tr("Delete this log");
    return QVariant();
}

QVariant LogListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case ListColumn:
        return LogController::tr("Log");
    case DateColumn:
        return LogController::tr("Last modified");
    default:
        return QString();
    }
}

void LogListModel::reload() {
    beginResetModel();
    endResetModel();
}

LogController::LogController(const PlatformProfile& profile, const QString& userName, FileOpener opener,
                             QWidget* parent)
    : QWidget(parent), mUi(std::make_unique<Ui::LogController>()),
      mAppSupportFilePathsObjct(FilePathsController::Table::Application, profile), mModel(*this),
      mOpenFile(std::move(opener)) {
    if (!userName.isEmpty())
        mAppSupportFilePathsObjct.setM_ConsoleUserName(userName);
    initWindowsResources();
    mUi->setupUi(this);
    makeWhiteWindow(*this);

    mUi->pLogFileList->setModel(&mModel);
    mUi->pLogFileList->setItemDelegateForColumn(ListColumn, new ImageAndTextCell(mUi->pLogFileList));
    mUi->pLogFileList->setSelectionMode(QAbstractItemView::SingleSelection);
    mUi->pLogFileList->horizontalHeader()->setSectionResizeMode(ListColumn, QHeaderView::Stretch);
    mUi->pLogFileList->horizontalHeader()->setSectionResizeMode(DateColumn, QHeaderView::ResizeToContents);
    mUi->pLogFileList->horizontalHeader()->setSectionResizeMode(DeleteColumn, QHeaderView::Fixed);
    mUi->pLogFileList->horizontalHeader()->resizeSection(DeleteColumn, 24);
    mUi->pLogFileList->setItemDelegateForColumn(DeleteColumn, new ImageAndTextCell(mUi->pLogFileList));
    mUi->pLogView->setReadOnly(true);

    mUi->pLogFileList->viewport()->installEventFilter(this);
    connect(mUi->pLogFileList->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection& selected) {
                if (!mSelectingQuietly && !selected.isEmpty())
                    shouldSelectRow(selected.indexes().first().row());
            });
    connect(mUi->pLogFileList, &QAbstractItemView::doubleClicked, this, [this] { openFile(); });
    connect(mUi->pLogFileList, &QAbstractItemView::pressed, this, [this](const QModelIndex& index) {
        if (index.isValid() && index.column() == DeleteColumn)
            deleteLog();
    });
    connect(mUi->deleteButton, &QPushButton::clicked, this, &LogController::deleteLog);
    loadWindowUI();
}

LogController::~LogController() = default;

QString LogController::sessionLogFolder() const {
    return mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::SessionLogsFolder);
}

QString LogController::readUtf8Text(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QByteArray bytes = file.readAll();
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString() : text;
}

QStringList LogController::newestFirst(const QString& folder, const QStringList& names) {
    // The daemon appends to its current log only, so the last change of a file tells the order of the
    // sessions; the date in the name decides between logs changed in the same second.
    struct Entry {
        QString name, nameKey;
        QDateTime modified;
    };
    QList<Entry> entries;
    for (const QString& name : names)
        entries.append({name, nameDateKey(name), QFileInfo(folder + u'/' + name).lastModified()});
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.modified != b.modified)
            return a.modified > b.modified;
        if (a.nameKey != b.nameKey)
            return a.nameKey > b.nameKey;
        return a.name > b.name;
    });
    QStringList sorted;
    for (const Entry& e : std::as_const(entries))
        sorted << e.name;
    return sorted;
}

void LogController::loadWindowUI() {
    // Newest first, so that the log of the last backup is the one shown; hidden names are never
    // listed.
    QStringList names;
    for (const QString& name :
         QDir(sessionLogFolder())
             .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot,
                        QDir::Unsorted))
        if (!name.startsWith(u'.'))
            names << name;
    mFileListArray << newestFirst(sessionLogFolder(), names);
    mModel.reload();
    if (!mFileListArray.isEmpty()) {
        selectRowQuietly(0);
        shouldSelectRow(0);
    }
}

void LogController::showLogWindow() {
    mFileListArray.clear();
    mUi->pLogView->clear();
    loadWindowUI();
    show();
    raise();
    activateWindow();
}

QVariant LogController::objectValueForTableColumn(const QString& identifier, int row) const {
    if (row < 0 || row >= mFileListArray.size())
        return QVariant();
    const QString name = mFileListArray.at(row);
    if (identifier == QLatin1String("List"))
        return QFileInfo(name).completeBaseName();
    if (identifier == QLatin1String("LMD")) {
        const QFileInfo info(sessionLogFolder() + u'/' + name);
        if (!info.exists())
            return QStringLiteral("--");
        return LocaleFormat::dateTime(info.lastModified());
    }
    return QVariant();
}

bool LogController::shouldSelectRow(int row) {
    if (row >= 0 && row < mFileListArray.size())
        mUi->pLogView->setPlainText(readUtf8Text(sessionLogFolder() + u'/' + mFileListArray.at(row)));
    return true;
}

void LogController::selectRowQuietly(int row) {
    mSelectingQuietly = true;
    mUi->pLogFileList->selectRow(row);
    mSelectingQuietly = false;
}

int LogController::selectedRow() const {
    const QModelIndexList rows = mUi->pLogFileList->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void LogController::deselectRow(const QModelIndex& clicked) {
    if (!clicked.isValid())
        mUi->pLogFileList->clearSelection();
}

bool LogController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == mUi->pLogFileList->viewport() && event->type() == QEvent::MouseButtonPress)
        deselectRow(mUi->pLogFileList->indexAt(static_cast<QMouseEvent*>(event)->position().toPoint()));
    return QWidget::eventFilter(watched, event);
}

void LogController::openFile() {
    const int row = selectedRow();
    if (row < 0)
        return;
    const QUrl url = QUrl::fromLocalFile(sessionLogFolder() + u'/' + mFileListArray.at(row));
    if (mOpenFile)
        mOpenFile(url);
    else
        QDesktopServices::openUrl(url);
}

void LogController::deleteLog() {
    const int row = selectedRow();
    if (row < 0)
        return;
    const QString name = mFileListArray.takeAt(row);
    QFile::remove(sessionLogFolder() + u'/' + name); // a failure is not reported
    mModel.reload();
    if (row == 0) {
        mUi->pLogView->clear();
        return;
    }
    selectRowQuietly(row - 1);
    const QString text = readUtf8Text(sessionLogFolder() + u'/' + mFileListArray.at(row - 1));
    if (!text.isEmpty())
        mUi->pLogView->setPlainText(text);
}
