#include "StatusController.h"

#include "ProtectionCheck.h"

#include "AppDelegate.h"
#include "DistributedNotificationCenter.h"
#include "FileTools.h"
#include "LocaleFormat.h"
#include "PropertyList.h"
#include "ProtectionPanel.h"
#include "Protocol.h"
#include "RezodeLoger.h"
#include "StatusTexts.h"
#include "TimeMachine.h"
#include "ui_StatusController.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLocale>
#include <QProcess>
#include <QTimer>

namespace {

QString kNoFiles() {
    return StatusTexts::NothingToBackUp();
}
QString kInitialize() {
    return QCoreApplication::translate("StatusController", "Initialize your backup");
}
QString kBackingUp() {
    return QCoreApplication::translate("StatusController",
                                       "Backing up files / folders to Zorvik Hollin device");
}
QString kProcessingMessage() {
    return QCoreApplication::translate("StatusController", "Processing...");
}
QString kInitializing() {
    return QCoreApplication::translate("StatusController",
                                       "Protect all your data locally to Zorvik Hollin.\nInitializing "
                                       "backup.\nThis might take from a few minutes to a few hours..");
}
QString kTMNotConfigured() {
    return QCoreApplication::translate("StatusController", "Time Machine backup is not configured");
}
QString kTMConfigured() {
    return QCoreApplication::translate("StatusController", "Time Machine Backup is Configured!");
}
QString kTMResumed() {
    return QCoreApplication::translate("StatusController", "Time Machine Backup is configured!");
}
QString kTMStopped() {
    return QCoreApplication::translate("StatusController", "Your Time Machine backup is currently stopped.");
}
QString kTMLabel() {
    return QCoreApplication::translate("StatusController",
                                       "Backup your data to the Hollin appliance using Time Machine");
}
QString kProcessing() {
    return QCoreApplication::translate("StatusController", "processing...");
}
QString kFetchError() {
    return QCoreApplication::translate("StatusController", "Error: Enable to fetch details");
}
const QString kTimeRemaining = QStringLiteral("TimeRemaining");

// The application's record of the last completed backup, beside its other files.
const QString kLastBackupFile = QStringLiteral("LastBackupCompleted.plist");
const QString kLastBackupKey = QStringLiteral("LastBackupCompleted");

constexpr int kWidth = 480;

// Window height and the two boxes (vertical origin from the bottom, height) by backup type.
struct LayoutRow {
    int height, localOrigin, localHeight, tmOrigin, tmHeight;
};
constexpr LayoutRow kLayout[4] = {
    {385, 147, 130, 15, 130},
    {499, 147, 244, 15, 130},
    {499, 259, 130, 15, 244},
    {615, 261, 244, 15, 244},
};

// Places a box given its origin counted from the bottom of the window.
void placeBox(QWidget* box, int windowHeight, int origin, int height) {
    box->setGeometry(10, windowHeight - origin - height, kWidth - 20, height);
    // The buttons stay on the bottom line of the box whatever its height.
    for (auto* button : box->findChildren<QPushButton*>(QString(), Qt::FindDirectChildrenOnly))
        button->move(button->x(), height - 38);
}

// Brings the window to the front where the platform has a front (not offscreen).
void bringToFront(QWidget* window) {
    window->show();
    if (QGuiApplication::platformName() == QStringLiteral("offscreen"))
        return;
    window->raise();
    window->activateWindow();
}

template <typename R, typename F> R ask(const F& f, R otherwise) {
    return f ? f() : otherwise;
}

QString formatWhen(const QDateTime& when) {
    return LocaleFormat::dateTime(when);
}

// The leading count of a "TotalFiles" text ("12" or "12 out of 40"); 0 when there is none.
int leadingCount(const QString& text) {
    const QString first = text.trimmed().section(u' ', 0, 0);
    bool ok = false;
    const int value = first.toInt(&ok);
    return ok ? value : 0;
}

// A count the daemon sends as a decimal text; -1 when it sent none (or none that reads as one).
qint64 countOf(const QVariantMap& progress, const QString& key) {
    bool ok = false;
    const qint64 value = progress.value(key).toString().toLongLong(&ok);
    return ok && value >= 0 ? value : -1;
}

// The units of the daemon's byte figures, each 1024 times the one before.
const QStringList kUnits = {QStringLiteral("bytes"), QStringLiteral("KB"), QStringLiteral("MB"),
                            QStringLiteral("GB"), QStringLiteral("TB")};

} // namespace

StatusController::StatusController(const FilePathsController& paths, Owner owner,
                                   DistributedNotificationCenter* notifications, RezodeLoger* logger,
                                   AppTimings timings, QWidget* parent)
    : QWidget(parent), mUi(std::make_unique<Ui::StatusController>()),
      mPaths(FilePathsController::Table::Application, paths.profile()), mOwner(std::move(owner)),
      mNotifications(notifications), mLogger(logger), mTimings(timings) {
    mPaths.setM_ConsoleUserName(paths.m_ConsoleUserName());
    mUi->setupUi(this);
    setWindowFlag(Qt::Window);
    mProtection = new ProtectionPanel(this);
    mProtection->hide();
    connect(mProtection, &ProtectionPanel::checkNow, this, [this] {
        trace(QStringLiteral("Restore check asked for"));
        if (mNotifications)
            mNotifications->postNotification(Protocol::VerifyRestorable);
    });
    windowDidLoad();

    connect(mUi->startLocalBackup, &QPushButton::clicked, this, &StatusController::startLocalBackup);
    connect(mUi->configureTimeMachine, &QPushButton::clicked, this, &StatusController::ConfigureTM);
    connect(mUi->pause, &QPushButton::clicked, this, [this] { StartStop(mUi->pause); });
    connect(mUi->stopTM, &QPushButton::clicked, this, [this] { StartStop(mUi->stopTM); });
    connect(mUi->restore, &QPushButton::clicked, this, &StatusController::Restore);
    connect(mUi->restoreTM, &QPushButton::clicked, this, &StatusController::TMRestore);
    connect(mUi->viewLogs, &QPushButton::clicked, this, &StatusController::viewlogs);
    ProtectionCheckDialog::attachTo(this, mUi->viewLogs, &mPaths, mNotifications);

    // The end of every backup is remembered, so the window can say that the backup is alive.
    if (mNotifications)
        mNotifications->addObserver(
            this, Protocol::Progress, [this](const QString&, const QVariantMap& info) {
                if (info.value(Protocol::KeyProgress).toString() == Protocol::ProgressBackupCompleted)
                    recordBackupCompleted(QDateTime::currentDateTime());
            });
    updateLastBackupLine();
}

StatusController::Owner StatusController::ownerFor(AppDelegate& app) {
    Owner o;
    o.getStatusType = [&app] { return app.getStatusType(); };
    o.getPauseState = [&app] { return app.getPauseState(); };
    o.isBackupPending = [&app] { return app.isBackupPending(); };
    o.isIntialBackuprunning = [&app] { return app.isIntialBackuprunning(); };
    o.isfirstTimeLogin = [&app] { return app.isfirstTimeLogin(); };
    o.isDefaultRsync = [&app] { return app.isDefaultRsync(); };
    o.loginForBackupType = [&app](int type) { app.loginForBackupType(type); };
    o.startStop = [&app](int tag, bool stop) { app.startStop(tag, stop); };
    o.RestoreWin = [&app] { app.RestoreWin(); };
    o.ViewLogs = [&app] { app.ViewLogs(); };
    o.TimeMachineConfigurationFailed = [&app] { app.TimeMachineConfigurationFailed(); };
    o.TimeMachineStoppedManually = [&app] { app.TimeMachineStoppedManually(); };
    return o;
}

std::unique_ptr<StatusWindowApi> StatusController::forApplication(AppDelegate& app) {
    return std::make_unique<StatusController>(app.paths(), ownerFor(app), app.notifications(), &app.logger(),
                                              app.services().timings);
}

StatusController::~StatusController() {
    if (mNotifications)
        mNotifications->removeObserver(this);
    if (mQuery) {
        mQuery->disconnect(this);
        mQuery->kill();
        mQuery->waitForFinished(2000);
    }
}

void StatusController::windowDidLoad() {
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::white);
    setPalette(p);
    mUi->restoreTM->hide();
    mUi->viewLogs->hide();
    mUi->stopTM->hide();
    hideFigures();
    mUi->configureTimeMachine->hide();
    mUi->TimeMachineLabel->setText(kTMLabel());
    mUi->TimeMachineDetailsView->hide();
    mUi->TMMountPointLabel->hide();
    applyLayout(0);
}

void StatusController::trace(const QString& line) {
    if (mLogger)
        mLogger->logInteractiveTrace(line, true);
}

void StatusController::applyLayout(int type) {
    const LayoutRow& row = kLayout[type >= 0 && type <= 3 ? type : 0];
    mLayoutType = type;
    // The protection section is added below the boxes, which keep their places.
    const bool protection = (type == 1 || type == 3) && mProtection->view().known;
    mProtection->setVisible(protection);
    mProtection->setGeometry(10, row.height - 5, kWidth - 20, ProtectionPanel::Height);
    setFixedSize(kWidth, row.height + (protection ? ProtectionPanel::Height : 0));
    placeBox(mUi->localBox, row.height, row.localOrigin, row.localHeight);
    placeBox(mUi->TMBox, row.height, row.tmOrigin, row.tmHeight);
}

void StatusController::setPosition(const QString& userName) {
    bringToFront(this);
    mUi->pUsername->setText(userName);
    showStausWindow();
}

void StatusController::setTimeMachineStatus() {
    if (mUi->processing->text() == kProcessing() && !mUi->processing->isHidden()) {
        mUi->TimeMachineTitle->setText(kTMNotConfigured());
        return;
    }
    mUi->TimeMachineTitle->setText(kTMConfigured());
    mUi->restoreTM->show();
    mUi->stopTM->show();
}

void StatusController::showStausWindow() {
    bringToFront(this);
    const int type = ask(mOwner.getStatusType, 0);
    updateLastBackupLine();

    if (type == 2) {
        mUi->startLocalBackup->show();
        mUi->pause->hide();
        mUi->restore->show();
        mUi->titleMsg->setText(kInitialize());
        setTimeMachineStatus();
        applyLayout(2);
        bringToFront(this);
        return;
    }
    if (type != 1 && type != 3) {
        mUi->titleMsg->setText(kInitialize());
        mUi->TimeMachineTitle->setText(kTMNotConfigured());
        mUi->displayMsg->clear();
        mUi->pause->hide();
        mUi->restore->show();
        mUi->startLocalBackup->show();
        mUi->configureTimeMachine->show();
        mUi->stopTM->hide();
        mUi->restoreTM->hide();
        applyLayout(0);
        bringToFront(this);
        return;
    }

    // Local backup chosen (types 1 and 3).
    mUi->startLocalBackup->hide();
    mUi->pause->show();
    mUi->restore->show();
    if (type == 1) {
        mUi->configureTimeMachine->show();
        mUi->stopTM->hide();
        mUi->restoreTM->hide();
        mUi->TimeMachineTitle->setText(kTMNotConfigured());
    } else {
        mUi->configureTimeMachine->hide();
        setTimeMachineStatus();
    }
    applyLayout(type);

    // The last report of the daemon stays; only an empty message line is filled in here.
    if (mUi->displayMsg->text().isEmpty()) {
        mUi->titleMsg->clear();
        if (ask(mOwner.getPauseState, false)) {
            mUi->titleMsg->setText(StatusTexts::PausedTitle());
            mUi->displayMsg->setText(StatusTexts::PausedMessage());
            mUi->pause->setText(tr("Resume"));
        } else if (ask(mOwner.isIntialBackuprunning, false) && !mUi->totalFiles->text().isEmpty()) {
            mUi->titleMsg->setText(StatusTexts::InProgressTitle());
            mUi->viewLogs->hide();
            return;
        } else if (ask(mOwner.isIntialBackuprunning, false) || ask(mOwner.isBackupPending, false)) {
            mUi->titleMsg->setText(StatusTexts::InProgressTitle());
            mUi->displayMsg->setText(kBackingUp());
            mUi->viewLogs->hide();
        } else if (ask(mOwner.isfirstTimeLogin, false)) {
            QTimer::singleShot(mTimings.startupWindow, this, &StatusController::ResetStatusView);
            mUi->displayMsg->setText(kProcessingMessage());
        } else {
            showIdle();
        }
    }
    bringToFront(this);
}

void StatusController::ResetStatusView() {
    if (ask(mOwner.isIntialBackuprunning, false)) {
        mUi->displayMsg->setText(kInitializing());
    } else if (!ask(mOwner.isBackupPending, false)) {
        // A run whose lists were all taken is not pending, yet its figures are on show: it is not idle.
        if (!mUi->totalFiles->text().isEmpty())
            return;
        showIdle();
    } else {
        mUi->titleMsg->setText(StatusTexts::InProgressTitle());
        mUi->displayMsg->setText(kBackingUp());
    }
}

void StatusController::setTitleMessage(const QString& text) {
    mUi->titleMsg->setText(text);
    if (text == QCoreApplication::translate("AppDelegate", "Success!"))
        updateLastBackupLine();
}

void StatusController::hideFigures() {
    for (QLabel* figure : {mUi->totalFiles, mUi->timeRemaining, mUi->sizeuploaded, mUi->uploadingFile})
        figure->clear();
    for (QLabel* caption :
         {mUi->totalFilesLabel, mUi->timeRemainingLabel, mUi->sizeuploadedLabel, mUi->uploadingFileLabel})
        caption->hide();
}

void StatusController::setDisplayMessage(const QString& text) {
    hideFigures();
    if (text == kBackingUp())
        startRunTotal(true);
    mUi->displayMsg->setText(text);
    if (text == kNoFiles())
        mUi->viewLogs->show();
    else
        mUi->viewLogs->hide();
}

void StatusController::setProgress(const QVariantMap& progress) {
    mUi->totalFilesLabel->show();
    mUi->sizeuploadedLabel->show();
    mUi->uploadingFileLabel->show();
    const bool haveFigure = !mUi->totalFiles->text().isEmpty();
    auto hideCaptions = [this] {
        for (QLabel* caption :
             {mUi->totalFilesLabel, mUi->timeRemainingLabel, mUi->sizeuploadedLabel, mUi->uploadingFileLabel})
            caption->hide();
    };
    // The run's totals, where the daemon sends them, stand beside the figures the window goes by.
    mSentBytes = countOf(progress, Protocol::KeySentBytes);
    mSentFiles = countOf(progress, Protocol::KeySentFiles);
    QVariantMap d = progress;
    d.remove(Protocol::KeySentBytes);
    d.remove(Protocol::KeySentFiles);
    auto value = [&d](const QString& key) { return d.value(key).toString(); };

    if (d.isEmpty()) {
        if (!haveFigure)
            hideCaptions();
        return;
    }
    if (d.size() == 1) {
        const QString key = d.firstKey();
        if (key == Protocol::KeyTotalFiles) {
            showFileCount(value(key));
            mUi->sizeuploadedLabel->hide();
            mUi->uploadingFileLabel->hide();
            mUi->sizeuploaded->clear();
            mUi->uploadingFile->clear();
        } else if (key == Protocol::KeyTotalSize && haveFigure) {
            showSize(value(key));
        }
        mUi->displayMsg->clear();
        return;
    }
    if (d.size() == 2) {
        if (!haveFigure)
            hideCaptions();
        return;
    }
    if (d.size() == 3) {
        mUi->timeRemainingLabel->hide();
        mUi->timeRemaining->clear();
    } else {
        mUi->timeRemainingLabel->show();
        mUi->timeRemaining->setText(value(kTimeRemaining));
    }
    // The private copy counts from 1 at the start of every run: a first file begins a new total, also
    // when the window missed the run's start.
    const QString count = value(Protocol::KeyTotalFiles);
    if (!ask(mOwner.isDefaultRsync, false) && leadingCount(count) == 1)
        startRunTotal(true);
    showFileCount(count);
    showSize(value(Protocol::KeyTotalSize));
    showFile(value(Protocol::KeyUploadingFile), value(Protocol::KeyTotalSize));
    mUi->displayMsg->clear();
}

void StatusController::startRunTotal(bool fromTheStart) {
    mRunBytes = 0;
    mRunSeenFromStart = fromTheStart;
}

void StatusController::showFileCount(const QString& count) {
    // As the daemon counts them: "12 out of 40", or "12" while the initial backup has no total. Its
    // count stops at the set's total, which a run of several sets goes past: then the run's own.
    if (mSentFiles >= 0 && leadingCount(count) != mSentFiles) {
        mUi->totalFiles->setText(QString::number(mSentFiles));
        return;
    }
    mUi->totalFiles->setText(count);
}

void StatusController::showSize(const QString& size) {
    if (mSentBytes >= 0) {
        // The daemon's running total of the run: shown as it comes, nothing added or missed.
        mRunBytes = double(mSentBytes);
        mRunSeenFromStart = true;
        mUi->sizeuploaded->setText(tr("%1 in this backup").arg(formatBytes(mRunBytes)));
        return;
    }
    const double bytes = parseBytes(size);
    if (bytes < 0) {
        mUi->sizeuploaded->setText(size);
        return;
    }
    if (ask(mOwner.isDefaultRsync, false)) {
        // The system rsync's figure is the run's total already.
        mRunBytes = bytes;
        mRunSeenFromStart = true;
    } else {
        mRunBytes += bytes;
    }
    mUi->sizeuploaded->setText(
        (mRunSeenFromStart ? tr("%1 in this backup") : tr("at least %1 in this backup"))
            .arg(formatBytes(mRunBytes)));
}

void StatusController::showFile(const QString& file, const QString& size) {
    // rsync names the files relative to the source "/".
    const QString path = file.isEmpty() || file.startsWith(u'/') ? file : u'/' + file;
    mUi->uploadingFile->setText(
        fileFirst(path, mUi->uploadingFile->fontMetrics(), mUi->uploadingFile->contentsRect().width()));
    const bool ownSize = !ask(mOwner.isDefaultRsync, false) && parseBytes(size) >= 0;
    mUi->uploadingFile->setToolTip(ownSize ? QStringLiteral("%1 (%2)").arg(path, size) : path);
}

QString StatusController::formatBytes(double bytes) {
    qsizetype unit = 0;
    while (bytes > 1024.0 && unit + 1 < kUnits.size()) {
        bytes *= 0.0009765625;
        ++unit;
    }
    // The locale's decimal point, without its group separator (at most "1024.00").
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator);
    return QStringLiteral("%1 %2").arg(locale.toString(bytes, 'f', 2), kUnits.at(unit));
}

double StatusController::parseBytes(const QString& text) {
    const QStringList parts = text.simplified().split(u' ');
    if (parts.size() != 2)
        return -1;
    bool ok = false;
    const double value = parts.at(0).toDouble(&ok);
    const qsizetype unit = kUnits.indexOf(parts.at(1));
    if (!ok || value < 0 || unit < 0)
        return -1;
    double bytes = value;
    for (qsizetype i = 0; i < unit; ++i)
        bytes *= 1024.0;
    return bytes;
}

QString StatusController::fileFirst(const QString& path, const QFontMetrics& metrics, int width) {
    QString trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith(u'/'))
        trimmed.chop(1);
    const qsizetype slash = trimmed.lastIndexOf(u'/');
    const QString name = slash < 0 ? trimmed : trimmed.mid(slash + 1);
    const QString folder = slash < 0 ? QString() : slash == 0 ? QStringLiteral("/") : trimmed.left(slash);
    if (name.isEmpty() || folder.isEmpty())
        return metrics.elidedText(trimmed, Qt::ElideMiddle, width);
    if (metrics.horizontalAdvance(name) > width)
        return metrics.elidedText(name, Qt::ElideMiddle, width);
    const QString head = name + QStringLiteral(" in ");
    const int room = width - metrics.horizontalAdvance(head);
    // Too little room for a folder worth reading: the name alone.
    if (room < metrics.horizontalAdvance(QStringLiteral("/…/")) * 2)
        return name;
    return head + metrics.elidedText(folder, Qt::ElideMiddle, room);
}

void StatusController::startLocalBackup() {
    if (mOwner.loginForBackupType)
        mOwner.loginForBackupType(ask(mOwner.getStatusType, 0) != 0 ? 3 : 1);
}

void StatusController::ConfigureTM() {
    mUi->processing->setText(kProcessing());
    mUi->processing->show();
    const int type = ask(mOwner.getStatusType, 0) != 0 ? 3 : 2;
    mUi->configureTimeMachine->hide();
    if (mOwner.loginForBackupType)
        mOwner.loginForBackupType(type);
}

void StatusController::StartStop(QAbstractButton* sender) {
    if (!sender)
        return;
    const int tag = sender->property("tag").toInt();
    const QString title = sender->text();
    const bool stop = title == tr("Stop") || title == tr("Pause");
    if (mOwner.startStop)
        mOwner.startStop(tag, stop);
    if (stop) {
        if (tag == TimeMachineTag) {
            if (mUi->processing->text() == kProcessing())
                mUi->processing->hide();
            sender->setText(tr("Start"));
            mUi->TimeMachineTitle->setText(kTMStopped());
        } else {
            sender->setText(tr("Resume"));
        }
    } else if (tag == TimeMachineTag) {
        sender->setText(tr("Stop"));
        mUi->TimeMachineTitle->setText(kTMResumed());
    } else {
        sender->setText(tr("Pause"));
    }
}

void StatusController::Restore() {
    if (mOwner.RestoreWin)
        mOwner.RestoreWin();
}

void StatusController::TMRestore() {
    // Linux has no Time Machine browser: the mounted destination is opened in the file manager.
    const QString mountPoint = mUi->TMMountPointLabel->isHidden() ? QString() : mUi->TMMountPoint->text();
    if (mountPoint.isEmpty() || !QFileInfo(mountPoint).isDir()) {
        trace(QStringLiteral("Time Machine restore: no mounted destination to browse"));
        return;
    }
    const QUrl url = QUrl::fromLocalFile(mountPoint);
    if (mOwner.openUrl)
        mOwner.openUrl(url);
    else
        QDesktopServices::openUrl(url);
}

void StatusController::viewlogs() {
    if (mOwner.ViewLogs)
        mOwner.ViewLogs();
}

void StatusController::closeWindow() {
    hide();
}

void StatusController::closeWin() {
    hide();
    startRunTotal(false);
    showIdle();
}

void StatusController::showIdle() {
    hideFigures();
    const QDateTime when = lastBackupCompleted();
    if (when.isValid()) {
        mUi->titleMsg->setText(StatusTexts::UpToDateTitle());
        mUi->displayMsg->setText(StatusTexts::UpToDateMessage().arg(formatWhen(when)));
    } else {
        mUi->titleMsg->clear();
        mUi->displayMsg->setText(kNoFiles());
    }
    mUi->viewLogs->show();
}

void StatusController::getTimeMachineDetails() {
    if (!mUi->TimeMachineDetailsView->isHidden() || mQuery)
        return;
    auto* process = new QProcess(this);
    mQuery = process;
    connect(process, &QProcess::finished, this, [this, process] {
        const QString out = QString::fromUtf8(process->readAllStandardOutput());
        const QString err = QString::fromUtf8(process->readAllStandardError());
        process->deleteLater();
        mQuery = nullptr;
        timeMachineQueryFinished(out, err);
    });
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError e) {
        if (e != QProcess::FailedToStart)
            return; // the end of a started tool arrives through finished()
        process->deleteLater();
        mQuery = nullptr;
        timeMachineQueryFinished(QString(), tr("The Time Machine tool could not be started."));
    });
    process->start(mPaths.profile().snapshotToolPath, {QStringLiteral("destinationinfo")});
}

void StatusController::timeMachineQueryFinished(const QString& out, const QString& err) {
    if (!err.isEmpty()) {
        // The tool's own words go to the trace; the window says what failed and what to do.
        trace(QStringLiteral("Time Machine details failed: %1").arg(err.trimmed()));
        mUi->processing->setText(TimeMachine::toolErrorText(err, mPaths.profile().kind));
        mUi->processing->show();
        timeMachineFailed();
        return;
    }
    if (parseOutput(out).startsWith(QStringLiteral("Error"))) {
        timeMachineFailed();
        return;
    }
    mUi->TimeMachineDetailsView->show();
    mUi->processing->hide();
    mTMDetailsVisible = true;
    mUi->stopTM->show();
    mUi->restoreTM->show();
    mUi->configureTimeMachine->hide();
    mUi->restoreTM->setText(tr("Restore"));
    showStausWindow();
    emit timeMachineDetailsFinished(true);
}

void StatusController::timeMachineFailed() {
    if (mOwner.TimeMachineConfigurationFailed)
        mOwner.TimeMachineConfigurationFailed();
    mUi->TimeMachineDetailsView->hide();
    showStausWindow();
    emit timeMachineDetailsFinished(false);
}

QString StatusController::parseOutput(const QString& output) {
    QString text = output;
    text.remove(QStringLiteral("=="));
    // Only blanks and tabs are trimmed; line feeds separate the values.
    qsizetype from = 0, to = text.size();
    while (from < to && (text.at(from) == u' ' || text.at(from) == u'\t'))
        ++from;
    while (to > from && (text.at(to - 1) == u' ' || text.at(to - 1) == u'\t'))
        --to;
    text = text.mid(from, to - from);

    QStringList values;
    for (const QString& line : text.split(u'\n')) {
        const QStringList pieces = line.split(QStringLiteral(": "));
        if (pieces.size() >= 2)
            values << pieces.at(1);
    }
    if (values.size() == 5) {
        mUi->TMName->setText(values.at(0));
        mUi->TMKind->setText(values.at(1));
        mUi->TMUrl->setText(values.at(2));
        mUi->TMMountPoint->setText(values.at(3));
        mUi->TMMountPointLabel->show();
        mUi->TMMountPoint->show();
        return text;
    }
    if (values.size() == 4) {
        // Set but not mounted.
        mUi->TMName->setText(values.at(0));
        mUi->TMKind->setText(values.at(1));
        mUi->TMUrl->setText(values.at(2));
        mUi->TMMountPoint->clear();
        mUi->TMMountPointLabel->hide();
        mUi->configureTimeMachine->hide();
        mUi->stopTM->show();
        mUi->restoreTM->show();
        if (mOwner.TimeMachineStoppedManually)
            mOwner.TimeMachineStoppedManually();
        return text;
    }
    return text.contains(QStringLiteral("Name")) ? text : kFetchError();
}

void StatusController::TimeMachineProcessCompleted() {
    getTimeMachineDetails();
    mUi->configureTimeMachine->hide();
    mUi->stopTM->show();
    mUi->restoreTM->show();
}

void StatusController::setConfigureTimeMachine() {
    mUi->processing->clear();
    mUi->processing->show();
    if (!mTMDetailsVisible) {
        mUi->configureTimeMachine->show();
        mUi->stopTM->hide();
        mUi->restoreTM->hide();
        // The panel tells us once for Cancel and once more for its closing: the choice is withdrawn
        // only while it is still in place.
        const int type = ask(mOwner.getStatusType, 0);
        if ((type == 2 || type == 3) && mOwner.TimeMachineConfigurationFailed)
            mOwner.TimeMachineConfigurationFailed();
    }
    showStausWindow();
}

QString StatusController::lastBackupRecordPath() const {
    const QString folder = mPaths.pathForApplicationFile(AppPath::UserSupportFolder);
    return folder.isEmpty() ? QString() : folder + u'/' + kLastBackupFile;
}

void StatusController::recordBackupCompleted(const QDateTime& when) {
    const QString path = lastBackupRecordPath();
    if (path.isEmpty())
        return;
    FileTools::makePath(QFileInfo(path).path(), 0700);
    QString why;
    if (!PropertyList::writeDictionary(path, {{kLastBackupKey, when.toString(Qt::ISODate)}},
                                       PropertyList::PublicMode, &why))
        trace(QStringLiteral("write plist %1 failed: %2").arg(kLastBackupFile, why));
    updateLastBackupLine();
}

void StatusController::setBackupWarning(const QString& warning) {
    mBackupWarning = warning;
    updateLastBackupLine();
}

void StatusController::setProtection(const ProtectionView& view) {
    const bool wasKnown = mProtection->view().known;
    mProtection->setView(view);
    if (view.known != wasKnown)
        applyLayout(mLayoutType);
}

QDateTime StatusController::lastBackupCompleted() const {
    const QString path = lastBackupRecordPath();
    if (path.isEmpty())
        return {};
    return QDateTime::fromString(PropertyList::readDictionary(path).value(kLastBackupKey).toString(),
                                 Qt::ISODate);
}

void StatusController::updateLastBackupLine() {
    mUi->lastBackup->setStyleSheet(mBackupWarning.isEmpty() ? QStringLiteral("color: white;")
                                                            : QStringLiteral("color: #ffd6d6;"));
    if (!mBackupWarning.isEmpty()) {
        mUi->lastBackup->setText(mBackupWarning);
        return;
    }
    const QDateTime when = lastBackupCompleted();
    mUi->lastBackup->setText(when.isValid() ? tr("Last backup completed: %1").arg(formatWhen(when))
                                            : tr("No backup completed yet"));
}
