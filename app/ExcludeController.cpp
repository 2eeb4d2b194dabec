#include "ExcludeController.h"

#include "DistributedNotificationCenter.h"
#include "FileTools.h"
#include "ImageAndTextCell.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "WindowsResources.h"
#include "ui_ExcludeController.h"

#include <QDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPropertyAnimation>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// The folder chooser of "add a location". A folder chooser proper: in a file mode the dialog would
// relabel its button "Open" whenever a folder is selected and step into it instead of choosing it.
class ExcludeOpenPanel : public QFileDialog {
  public:
    ExcludeOpenPanel(QWidget* parent, const QString& startFolder) : QFileDialog(parent) {
        setOption(QFileDialog::DontUseNativeDialog);
        setOption(QFileDialog::ShowDirsOnly);
        setFileMode(QFileDialog::Directory);
        setAcceptMode(QFileDialog::AcceptOpen);
        setWindowTitle(ExcludeController::tr("Choose a folder to keep out of the backup"));
        setLabelText(QFileDialog::Accept, ExcludeController::ChooseFolderButton());
        setWindowModality(Qt::WindowModal);
        setDirectory(startFolder);
    }
};

} // namespace

ExcludeListModel::ExcludeListModel(ExcludeController& owner, int tag, QString entryColumn)
    : mOwner(owner), mTag(tag), mEntryColumn(std::move(entryColumn)) {}

int ExcludeListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : mOwner.numberOfRowsInTableView(mTag);
}

int ExcludeListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 2;
}

QVariant ExcludeListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return QVariant();
    const QString identifier = index.column() == 0 ? mEntryColumn : QString();
    if (role == Qt::DisplayRole && index.column() == 0)
        return mOwner.objectValueForTableColumn(mTag, identifier, index.row());
    if (role == Qt::DecorationRole && index.column() == ExcludeController::CloseImageColumn)
        return mOwner.objectValueForTableColumn(mTag, identifier, index.row());
    if (role == Qt::ToolTipRole && index.column() == 0)
        return mOwner.objectValueForTableColumn(mTag, identifier, index.row());
    // The image-only cell says what it does to a screen reader.
    if (role == Qt::AccessibleTextRole && index.column() == ExcludeController::CloseImageColumn)
        return ExcludeController::tr("Remove %1")
            .arg(mOwner.objectValueForTableColumn(mTag, mEntryColumn, index.row()).toString());
    return QVariant();
}

QVariant ExcludeListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section != 0)
        return QVariant();
    return mTag == ExcludeController::ExcludeListTag ? ExcludeController::tr("Excluded locations")
                                                     : ExcludeController::tr("Excluded patterns");
}

void ExcludeListModel::reload() {
    beginResetModel();
    endResetModel();
}

ExcludeController::ExcludeController(const PlatformProfile& profile,
                                     DistributedNotificationCenter* notifications, const QString& userName,
                                     QWidget* parent)
    : QWidget(parent), mUi(std::make_unique<Ui::ExcludeController>()),
      mAppSupportFilePathsObjct(FilePathsController::Table::Application, profile),
      mNotifications(notifications), mListModel(*this, ExcludeListTag, QStringLiteral("List")),
      mPatternModel(*this, ExcludePatternTag, QStringLiteral("Pattern")) {
    if (!userName.isEmpty())
        mAppSupportFilePathsObjct.setM_ConsoleUserName(userName);
    initWindowsResources();
    mUi->setupUi(this);
    makeWhiteWindow(*this);

    mUi->pExcludeList->setTag(ExcludeListTag);
    mUi->pExcludePattern->setTag(ExcludePatternTag);
    mUi->pExcludeList->setModel(&mListModel);
    mUi->pExcludePattern->setModel(&mPatternModel);
    mUi->pExcludeList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    mUi->pExcludePattern->setSelectionMode(QAbstractItemView::SingleSelection);
    for (CustomTableView* table : {mUi->pExcludeList, mUi->pExcludePattern}) {
        table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
        table->horizontalHeader()->setSectionResizeMode(CloseImageColumn, QHeaderView::Fixed);
        table->horizontalHeader()->resizeSection(CloseImageColumn, 24);
        table->setItemDelegateForColumn(CloseImageColumn, new ImageAndTextCell(table));
        table->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(table, &QAbstractItemView::clicked, this, [this, table](const QModelIndex& index) {
            if (index.isValid())
                shouldSelectRow(table, index.row(), index.column());
        });
        connect(table, &QWidget::customContextMenuRequested, this, [this, table](const QPoint& at) {
            QMenu* menu = contextMenuFor(table);
            menu->setAttribute(Qt::WA_DeleteOnClose);
            menu->popup(table->viewport()->mapToGlobal(at));
        });
    }
    mUi->locationHelpButton->setProperty("tag", LocationHelpTag);
    mUi->patternHelpButton->setProperty("tag", PatternHelpTag);
    connect(mUi->addLocationButton, &QPushButton::clicked, this, &ExcludeController::AddToExclude);
    connect(mUi->removeLocationButton, &QPushButton::clicked, this, &ExcludeController::deleteExcludeiItem);
    connect(mUi->addPatternButton, &QPushButton::clicked, this, &ExcludeController::AddPattern);
    connect(mUi->removePatternButton, &QPushButton::clicked, this, &ExcludeController::deleteExcludeiPattern);
    connect(mUi->locationHelpButton, &QPushButton::clicked, this,
            [this] { HelpButton(mUi->locationHelpButton); });
    connect(mUi->patternHelpButton, &QPushButton::clicked, this,
            [this] { HelpButton(mUi->patternHelpButton); });
    buildSheet();
}

ExcludeController::~ExcludeController() = default;

CustomTableView* ExcludeController::excludeTable() const {
    return mUi->pExcludeList;
}

CustomTableView* ExcludeController::patternTable() const {
    return mUi->pExcludePattern;
}

void ExcludeController::buildSheet() {
    mOperationSheet = new QDialog(this);
    mOperationSheet->setObjectName(QStringLiteral("OperationSheet"));
    mOperationSheet->setWindowModality(Qt::WindowModal);
    mOperationSheet->setWindowTitle(tr("Exclude a pattern"));
    mPanelMessage = new QLabel(mOperationSheet);
    mPanelMessage->setObjectName(QStringLiteral("panelMessage"));
    mPanelInput = new QLineEdit(mOperationSheet);
    mPanelInput->setObjectName(QStringLiteral("panelInput"));
    mPanelInput->setMinimumWidth(300);
    mPanelInput->setPlaceholderText(PatternPlaceholder());
    mOKpanelBtn = new QPushButton(tr("OK"), mOperationSheet);
    mOKpanelBtn->setObjectName(QStringLiteral("OKpanelBtn"));
    mOKpanelBtn->setDefault(true);
    auto* cancel = new QPushButton(tr("Cancel"), mOperationSheet);
    cancel->setObjectName(QStringLiteral("cancelPanelBtn"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel);
    buttons->addWidget(mOKpanelBtn);
    auto* layout = new QVBoxLayout(mOperationSheet);
    layout->addWidget(mPanelMessage);
    layout->addWidget(mPanelInput);
    layout->addLayout(buttons);
    // Nothing to add while the input holds no pattern.
    connect(mPanelInput, &QLineEdit::textChanged, this,
            [this](const QString& text) { mOKpanelBtn->setEnabled(!text.trimmed().isEmpty()); });
    connect(mOKpanelBtn, &QPushButton::clicked, this, &ExcludeController::Addpatternclicked);
    connect(cancel, &QPushButton::clicked, this, &ExcludeController::CancelTheSheet);
    connect(mOperationSheet, &QDialog::rejected, this, [this] { mOperationSheet->hide(); });
}

void ExcludeController::setDetails() {
    mExcludeListArray.clear();
    mExcludePatternArray.clear();
    readAndPopulateTable();
}

void ExcludeController::readAndPopulateTable() {
    mExcludeListArray = PropertyList::readStringArray(
        mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::InitialExcludeList));
    mExcludePatternArray = PropertyList::readStringArray(
        mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::ExcludePattern));
    mListModel.reload();
    mPatternModel.reload();
}

int ExcludeController::numberOfRowsInTableView(int tag) const {
    return int(tag == ExcludeListTag ? mExcludeListArray.size() : mExcludePatternArray.size());
}

QVariant ExcludeController::objectValueForTableColumn(int tag, const QString& identifier, int row) const {
    const QStringList& list = tag == ExcludeListTag ? mExcludeListArray : mExcludePatternArray;
    if (row < 0 || row >= list.size())
        return QVariant();
    if (identifier == QLatin1String("List") || identifier == QLatin1String("Pattern"))
        return list.at(row);
    return QPixmap(QStringLiteral(":/windows/hostlist_closeicon.png"));
}

bool ExcludeController::writeExcludeList(const QStringList& list) {
    const QString path = mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::InitialExcludeList);
    FileTools::makePath(QFileInfo(path).path(), 0700);
    return PropertyList::writeStringArray(path, list, PropertyList::OwnerOnlyMode);
}

bool ExcludeController::excludeCacheHome(const QString& listPath, const QString& home,
                                         const QString& cacheHome) {
    const QString cache = QDir::cleanPath(cacheHome);
    if (home.isEmpty() || !QDir::isAbsolutePath(cacheHome) || !cache.startsWith(home + u'/') ||
        cache == home + QStringLiteral("/.cache") || !QFileInfo::exists(listPath))
        return false;
    QStringList list = PropertyList::readStringArray(listPath);
    if (list.contains(cache))
        return false;
    list << cache;
    return PropertyList::writeStringArray(listPath, list, PropertyList::OwnerOnlyMode);
}

bool ExcludeController::writePatterns() {
    const QString path = mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::ExcludePattern);
    FileTools::makePath(QFileInfo(path).path(), 0700);
    return PropertyList::writeStringArray(path, mExcludePatternArray, PropertyList::OwnerOnlyMode);
}

void ExcludeController::postExclude(const QString& type) {
    if (mNotifications)
        mNotifications->postNotification(Protocol::Exclude, {{Protocol::KeyType, type}});
}

QString ExcludeController::startFolder() const {
    // The person's own home, whatever folder the application was started in.
    const QString home =
        mAppSupportFilePathsObjct.profile().homeOf(mAppSupportFilePathsObjct.m_ConsoleUserName());
    return !home.isEmpty() && QFileInfo(home).isDir() ? home : QDir::homePath();
}

void ExcludeController::AddToExclude() {
    auto* panel = new ExcludeOpenPanel(this, startFolder());
    panel->setAttribute(Qt::WA_DeleteOnClose);
    connect(panel, &QDialog::accepted, this, [this, panel] {
        const QStringList chosen = panel->selectedFiles();
        if (!chosen.isEmpty())
            addLocation(chosen.first());
    });
    panel->open();
}

void ExcludeController::addLocation(const QString& path) {
    if (path.isEmpty() || mExcludeListArray.contains(path))
        return;
    mExcludeListArray << path;
    const bool written = writeExcludeList(mExcludeListArray);
    mListModel.reload();
    if (written)
        postExclude(Protocol::ExcludeTypeUser);
}

void ExcludeController::DeleteExclude() {
    QList<int> rows;
    for (const QModelIndex& index : mUi->pExcludeList->selectionModel()->selectedRows())
        rows << index.row();
    if (rows.isEmpty())
        return;
    std::sort(rows.begin(), rows.end(), std::greater<int>());
    for (const int row : rows)
        if (row < mExcludeListArray.size())
            mExcludeListArray.removeAt(row);
    const bool written = writeExcludeList(mExcludeListArray);
    mListModel.reload();
    if (written)
        postExclude(Protocol::ExcludeTypeUser);
}

void ExcludeController::AddPattern() {
    mPanelMessage->setText(PatternPrompt());
    // The input starts empty (its placeholder shows an example): a blank put there would end up in
    // front of whatever the person types.
    mPanelInput->clear();
    mOKpanelBtn->setEnabled(false);
    mOperationSheet->open();
    mPanelInput->setFocus();
}

void ExcludeController::Addpatternclicked() {
    // The daemon matches a pattern against whole names: blanks around it would make it match nothing;
    // an empty pattern or one already listed adds nothing.
    const QString pattern = mPanelInput->text().trimmed();
    mOperationSheet->hide();
    if (pattern.isEmpty() || mExcludePatternArray.contains(pattern))
        return;
    mExcludePatternArray << pattern;
    mPatternModel.reload();
    if (writePatterns())
        postExclude(Protocol::ExcludeTypeUser);
}

void ExcludeController::CancelTheSheet() {
    mOperationSheet->hide();
}

void ExcludeController::DeletePattern() {
    const QModelIndexList rows = mUi->pExcludePattern->selectionModel()->selectedRows();
    if (rows.isEmpty() || rows.first().row() >= mExcludePatternArray.size())
        return;
    mExcludePatternArray.removeAt(rows.first().row());
    mOperationSheet->hide();
    mPatternModel.reload();
    // The daemon reads the patterns again on "Exclude", like the list.
    if (writePatterns())
        postExclude(Protocol::ExcludeTypeUser);
}

bool ExcludeController::shouldSelectRow(CustomTableView* table, int row, int column) {
    if (column != CloseImageColumn)
        return true;
    QMessageBox alert(QMessageBox::Warning, tr("Zorvik Hollin"), DeleteQuestion(), QMessageBox::NoButton,
                      this);
    alert.setObjectName(QStringLiteral("DeleteAlert"));
    QPushButton* remove = alert.addButton(DeleteTitle(), QMessageBox::DestructiveRole);
    alert.addButton(tr("Cancel"), QMessageBox::RejectRole);
    alert.exec();
    if (alert.clickedButton() != remove)
        return true;
    // "Delete" removes the entry whose close image was clicked, and only that one.
    table->selectionModel()->select(table->model()->index(row, 0),
                                    QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    if (table->tag() == ExcludeListTag)
        deleteExcludeiItem();
    else
        deleteExcludeiPattern();
    return true;
}

bool ExcludeController::validateMenuItem(const QAction* item) const {
    if (item->text() != DeleteTitle())
        return true;
    return numberOfRowsInTableView(item->property("tag").toInt()) > 0;
}

QMenu* ExcludeController::contextMenuFor(CustomTableView* table) {
    auto* menu = new QMenu(table);
    QAction* remove = menu->addAction(DeleteTitle());
    remove->setProperty("tag", table->tag());
    remove->setEnabled(validateMenuItem(remove));
    connect(remove, &QAction::triggered, this, [this, table] {
        if (table->tag() == ExcludeListTag)
            deleteExcludeiItem();
        else
            deleteExcludeiPattern();
    });
    return menu;
}

void ExcludeController::HelpButton(QWidget* sender) {
    if (mHelpPopover)
        mHelpPopover->close();
    auto* popover = new QFrame(this, Qt::Popup);
    popover->setObjectName(QStringLiteral("ZHPopupView"));
    popover->setAttribute(Qt::WA_DeleteOnClose);
    popover->setFrameShape(QFrame::StyledPanel);
    popover->setFixedSize(HelpPopoverSize);
    auto* text = new QLabel(
        sender->property("tag").toInt() == LocationHelpTag ? LocationHelp() : PatternHelp(), popover);
    text->setObjectName(QStringLiteral("popupText"));
    text->setWordWrap(true);
    text->setAlignment(Qt::AlignCenter);
    auto* layout = new QVBoxLayout(popover);
    layout->addWidget(text);
    // Anchored on the upper edge of the button, centred over it.
    const QPoint anchor = sender->mapToGlobal(QPoint(sender->width() / 2, 0));
    popover->move(anchor.x() - HelpPopoverSize.width() / 2, anchor.y() - HelpPopoverSize.height() - 2);
    popover->setWindowOpacity(0.0);
    popover->show();
    auto* fadeIn = new QPropertyAnimation(popover, "windowOpacity", popover);
    fadeIn->setDuration(150);
    fadeIn->setStartValue(0.0);
    fadeIn->setEndValue(1.0);
    fadeIn->start(QAbstractAnimation::DeleteWhenStopped);
    mHelpPopover = popover;
}

void ExcludeController::AddDownloadPathToExcludeList(const QString& path) {
    QStringList onDisk = PropertyList::readStringArray(
        mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::InitialExcludeList));
    if (onDisk.contains(path))
        return;
    onDisk << path;
    const bool written = writeExcludeList(onDisk);
    mListModel.reload();
    if (written)
        postExclude(Protocol::ExcludeTypeDownloadFolder);
}

void ExcludeController::RemoveDownloadPathFromeExcludeList(const QString& path) {
    QStringList onDisk = PropertyList::readStringArray(
        mAppSupportFilePathsObjct.pathForApplicationFile(AppPath::InitialExcludeList));
    onDisk.removeAll(path);
    if (writeExcludeList(onDisk))
        postExclude(Protocol::ExcludeTypeDownloadFolder);
    mListModel.reload();
}
