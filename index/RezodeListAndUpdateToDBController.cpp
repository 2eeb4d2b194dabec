#include "RezodeListAndUpdateToDBController.h"

#include "FilePathsController.h"
#include "FileTools.h"
#include "RezodeLoger.h"
#include "UserFileAccess.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <csignal>
#include <unistd.h>

namespace {

QString decodeText(const QByteArray& bytes) {
    return QString::fromUtf8(bytes);
}

} // namespace

RezodeListAndUpdateToDBController::RezodeListAndUpdateToDBController(const PlatformProfile& profile,
                                                                     RezodeLoger& logger,
                                                                     const IndexThrottle& throttle,
                                                                     QObject* parent)
    : QObject(parent), mLogger(logger), mTimings(throttle.timings()), mProfile(profile),
      mDbMangerObject(throttle) {
    const FilePathsController paths(FilePathsController::Table::Daemon, profile);
    mPasswordFile = paths.pathForApplicationFile(DaemonPath::ListingPasswordFile);
    mPrivateRsync = paths.pathForApplicationFile(DaemonPath::PrivateRsync);
    mLineTimer.setSingleShot(true);
    mStepTimer.setSingleShot(true);
    connect(&mLineTimer, &QTimer::timeout, this, &RezodeListAndUpdateToDBController::processLines);
    connect(&mStepTimer, &QTimer::timeout, this, [this] {
        auto step = std::move(mNextStep);
        mNextStep = nullptr;
        if (step)
            step();
    });
}

RezodeListAndUpdateToDBController::~RezodeListAndUpdateToDBController() {
    if (mTask) {
        mTask->disconnect(this);
        if (mTask->state() != QProcess::NotRunning) {
            signalChild(SIGKILL);
            mTask->kill();
            mTask->waitForFinished(5000);
        }
        delete mTask;
        mTask = nullptr;
        removePasswordFile();
    }
}

RsyncConventions::Command RezodeListAndUpdateToDBController::firstLevelCommand(bool builtinRsync,
                                                                               const QString& privateRsync,
                                                                               const QString& passwordFile,
                                                                               const QString& user,
                                                                               const QString& address) {
    const auto launch = builtinRsync ? RsyncConventions::Launch::Shell : RsyncConventions::Launch::Direct;
    return RsyncConventions::command(
        builtinRsync, privateRsync, {QStringLiteral("--list-only")}, passwordFile, QString(), QString(),
        RsyncConventions::remotePath(RsyncConventions::RemoteForm::UserArea, {user, address, user}, launch));
}

QStringList RezodeListAndUpdateToDBController::folderLevelArguments(const QString& folder) const {
    const QStringList values{mUserName, mServerIp, mUserName, folder};
    if (mIsBuiltinRsync) {
        const QString remote = RsyncConventions::remotePath(RsyncConventions::RemoteForm::UserFolder, values,
                                                            RsyncConventions::Launch::Shell);
        const QString password = QStringLiteral("--password-file=\"%1\"")
                                     .arg(RsyncConventions::shellInDoubleQuotes(mPasswordFile));
        return {QStringLiteral("-c"),
                QStringLiteral("rsync --list-only  --recursive %1 %2").arg(password, remote)};
    }
    return {QStringLiteral("--list-only"), QStringLiteral("--recursive"),
            QStringLiteral("--password-file=%1").arg(mPasswordFile),
            RsyncConventions::remotePath(RsyncConventions::RemoteForm::UserFolder, values,
                                         RsyncConventions::Launch::Direct)};
}

QString RezodeListAndUpdateToDBController::listDescription(const QStringList& list) {
    if (list.isEmpty())
        return QStringLiteral("(\n)");
    QStringList items;
    for (const QString& name : list) {
        bool plain = !name.isEmpty();
        for (QChar c : name)
            if (!(c.isLetterOrNumber() || c == u'_' || c == u'.'))
                plain = false;
        if (plain) {
            items << name;
        } else {
            QString escaped = name;
            escaped.replace(u'\\', QStringLiteral("\\\\")).replace(u'"', QStringLiteral("\\\""));
            items << u'"' + escaped + u'"';
        }
    }
    return QStringLiteral("(\n    ") + items.join(QStringLiteral(",\n    ")) + QStringLiteral("\n)");
}

bool RezodeListAndUpdateToDBController::isRunning() const {
    return (mTask && mTask->state() != QProcess::NotRunning) || mIsProcessingStage || mStepTimer.isActive() ||
           mLineTimer.isActive();
}

void RezodeListAndUpdateToDBController::waituntilOperationDone() {
    if (!isRunning())
        return;
    QEventLoop loop;
    connect(this, &RezodeListAndUpdateToDBController::listingFinished, &loop, &QEventLoop::quit);
    loop.exec();
}

void RezodeListAndUpdateToDBController::stopProcess() {
    if (mTask && mTask->state() != QProcess::NotRunning) {
        signalChild(SIGKILL);
        mTask->kill();
    }
}

void RezodeListAndUpdateToDBController::signalChild(int signal) {
    // The child leads its own process group, so "bash -c rsync" and rsync are reached alike.
    if (mProcessId > 0)
        ::kill(pid_t(-mProcessId), signal);
}

void RezodeListAndUpdateToDBController::holdChild(bool hold) {
    if (hold == mChildHeld || !mTask || mTask->state() == QProcess::NotRunning) {
        if (!hold)
            mChildHeld = false;
        return;
    }
    // Stopping the child stops its output: the pipe fills and rsync waits, so what is held here
    // stays bounded however large the listing is.
    signalChild(hold ? SIGSTOP : SIGCONT);
    mChildHeld = hold;
}

bool RezodeListAndUpdateToDBController::backlogIsLarge() const {
    return mPendingLines.size() >= BacklogHighLines ||
           mDbMangerObject.pendingListingRecords() >= IntakeHighRecords;
}

void RezodeListAndUpdateToDBController::setLocalUser(const QString& name) {
    mLocalUser = name;
    mCredentials.reset();
    if (const std::optional<UserFileAccess::Account> account = UserFileAccess::lookup(name))
        mCredentials = ChildCredentials::forAccount(name, account->uid, account->gid, mProfile.homeOf(name));
}

void RezodeListAndUpdateToDBController::writePasswordFile() {
    if (mPasswordFile.isEmpty())
        return;
    FileTools::makePath(QFileInfo(mPasswordFile).path());
    // rsync runs as the person: the file is theirs and nobody else's.
    RsyncConventions::writePasswordFile(mPasswordFile, mUserPasswd,
                                        mCredentials ? RsyncConventions::ApplicationPasswordFileMode
                                                     : RsyncConventions::DaemonPasswordFileMode);
    if (mCredentials) {
        [[maybe_unused]] const int ignored =
            ::chown(QFile::encodeName(mPasswordFile).constData(), mCredentials->uid, mCredentials->gid);
    }
}

void RezodeListAndUpdateToDBController::removePasswordFile() {
    if (!mPasswordFile.isEmpty())
        QFile::remove(mPasswordFile);
}

void RezodeListAndUpdateToDBController::after(std::chrono::milliseconds delay, std::function<void()> step) {
    mNextStep = std::move(step);
    mStepTimer.start(delay);
}

void RezodeListAndUpdateToDBController::initialListing() {
    if (isRunning())
        return;
    mLogger.logDaemonTrace(QStringLiteral("Initial Listing Called"), true);
    // The caller writes the password file with the command; writing it here as well keeps a pass
    // that follows an earlier one (whose clean-up removed it) working.
    if (!mUserPasswd.isEmpty())
        writePasswordFile();
    mIsProcessingStage = true;
    startTask(Stage::FirstLevel);
}

std::chrono::milliseconds RezodeListAndUpdateToDBController::busyWait(int turnedAway) const {
    std::chrono::milliseconds wait = mTimings.busyRetryDelay;
    for (int i = 1; i < turnedAway && wait < mTimings.busyRetryMaxDelay; ++i)
        wait += wait / 2;
    wait = std::min(wait, mTimings.busyRetryMaxDelay);
    // Spread over 50-100 %, so that machines turned away together do not come back together.
    const double spread = 0.5 + 0.5 * QRandomGenerator::global()->generateDouble();
    return std::chrono::milliseconds(static_cast<long long>(double(wait.count()) * spread));
}

void RezodeListAndUpdateToDBController::startTask(Stage stage) {
    mStage = stage;
    mTurnedAway = false;
    mTaskDidTerminate = false;
    mChildEnded = false;
    mCleanupScheduled = false;
    mParser = ListingParser();
    mPendingLines.clear();
    mLinesSincePause = 0;
    mProcessId = 0;

    mChildHeld = false;
    mTask = new QProcess(this);
    // Its own process group, so that a stop ends rsync with the children it starts; and the person's
    // rights: the appliance is one the person named.
    if (mCredentials)
        mCredentials->applyTo(*mTask, mLocalUser, true);
    else
        mTask->setChildProcessModifier([] { ::setpgid(0, 0); });
    mTask->setProgram(mLaunchPath);
    mTask->setArguments(mArguments);
    connect(mTask, &QProcess::readyReadStandardOutput, this, &RezodeListAndUpdateToDBController::readOutput);
    connect(mTask, &QProcess::readyReadStandardError, this, &RezodeListAndUpdateToDBController::readErrors);
    connect(mTask, &QProcess::finished, this, &RezodeListAndUpdateToDBController::childEnded);
    connect(mTask, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        // No child: report it like rsync's own errors and end this step normally.
        const QString text = mTask ? mTask->errorString() : QString();
        mLogger.logDaemonTrace((mStage == Stage::FirstLevel
                                    ? QStringLiteral("receivedErrorOfFirstLevelListing:%1")
                                    : QStringLiteral("receivedErrorOfFolderLevelListing:%1"))
                                   .arg(text),
                               true);
        childEnded();
    });
    // rsync must not wait for input.
    mTask->start(QIODevice::ReadOnly);
    if (mTask)
        mProcessId = mTask->processId();
}

void RezodeListAndUpdateToDBController::readOutput() {
    if (!mTask)
        return;
    mPendingLines.append(mParser.feed(mTask->readAllStandardOutput()));
    if (backlogIsLarge())
        holdChild(true);
    if (!mLineTimer.isActive())
        processLines();
}

void RezodeListAndUpdateToDBController::readErrors() {
    if (!mTask)
        return;
    const QString text = decodeText(mTask->readAllStandardError());
    if (text.isEmpty())
        return;
    // The rsync daemon's own answer when all its connections are taken.
    if (text.contains(QLatin1String("@ERROR: max connections")))
        mTurnedAway = true;
    mLogger.logDaemonTrace((mStage == Stage::FirstLevel
                                ? QStringLiteral("receivedErrorOfFirstLevelListing:%1")
                                : QStringLiteral("receivedErrorOfFolderLevelListing:%1"))
                               .arg(text),
                           true);
}

void RezodeListAndUpdateToDBController::childEnded() {
    if (mTaskDidTerminate)
        return;
    mTaskDidTerminate = true;
    readOutput();
    readErrors();
    if (auto last = mParser.finish())
        mPendingLines.append(*last);
    mLogger.logDaemonTrace(mStage == Stage::FirstLevel ? QStringLiteral("Initial Listing Finished")
                                                       : QStringLiteral("startFolderListTask End"),
                           true);
    mChildEnded = true;
    if (!mLineTimer.isActive())
        processLines();
}

void RezodeListAndUpdateToDBController::processLines() {
    const auto pause = mTimings.listingLinesPause;
    while (!mPendingLines.isEmpty()) {
        if (mStage == Stage::Folder && mDbMangerObject.pendingListingRecords() >= IntakeHighRecords) {
            // The index has not written the last records yet: wait for it before taking more.
            holdChild(true);
            mLineTimer.start(std::max(pause, std::chrono::milliseconds(50)));
            return;
        }
        if (mChildHeld && mPendingLines.size() <= BacklogLowLines &&
            mDbMangerObject.pendingListingRecords() < IntakeHighRecords / 2)
            holdChild(false);
        handleLine(mPendingLines.takeFirst());
        if (++mLinesSincePause >= 50) {
            mLinesSincePause = 0;
            // Throttled without blocking the thread: the rest is read after the pause.
            if (pause.count() > 0 && !mPendingLines.isEmpty()) {
                mLineTimer.start(pause);
                return;
            }
        }
    }
    holdChild(false);
    if (mChildEnded && !mCleanupScheduled && mTurnedAway) {
        // A busy appliance is waited for, as the backup waits for it: the same listing again after a
        // spread wait, growing by half with each turn-away in a row. Given up, the index would miss the
        // appliance's contents until the next listing, 12 hours later.
        mCleanupScheduled = true;
        ++mTurnedAwayInRow;
        const std::chrono::milliseconds wait = busyWait(mTurnedAwayInRow);
        mLogger.logDaemonTrace(
            QStringLiteral(
                "The appliance is busy (all its connections are taken), the listing is tried again in "
                "%1 ms")
                .arg(wait.count()),
            true);
        const Stage stage = mStage;
        after(wait, [this, stage] {
            releaseTask();
            if (stage == Stage::FirstLevel)
                writePasswordFile();
            startTask(stage);
        });
        return;
    }
    if (mChildEnded && !mCleanupScheduled) {
        mTurnedAwayInRow = 0;
        mCleanupScheduled = true;
        if (mStage == Stage::FirstLevel)
            after(mTimings.listingFirstLevelGrace, [this] { cleanupListDetails(); });
        else
            after(mTimings.listingFolderGrace, [this] { cleanupFolderListDetails(); });
    }
}

void RezodeListAndUpdateToDBController::handleLine(const QByteArray& line) {
    const auto entry = ListingParser::parseLine(line);
    if (!entry)
        return;
    if (mStage == Stage::FirstLevel) {
        // Per-machine folders only; "." (the listed folder) and hidden folders are not machines.
        if (entry->directory && !entry->name.startsWith(u'.') && !mListingFolderList.contains(entry->name))
            mListingFolderList.append(entry->name);
        return;
    }
    mDbMangerObject.listedFileAddToDatabase(
        {{DBManager::PathKey, entry->name},
         {DBManager::LmdKey, entry->lmd()},
         {DBManager::SizeKey, entry->size},
         {DBManager::StateKey, entry->directory ? QStringLiteral("1") : QStringLiteral("0")}});
}

void RezodeListAndUpdateToDBController::releaseTask() {
    if (!mTask)
        return;
    mTask->disconnect(this);
    mTask->deleteLater();
    mTask = nullptr;
}

void RezodeListAndUpdateToDBController::cleanupListDetails() {
    mLogger.logDaemonTrace(QStringLiteral("cleanupListDetails Called"), true);
    releaseTask();
    mArguments.clear();
    mTaskDidTerminate = false;
    mIsProcessingStage = false;
    removePasswordFile();
    mLogger.logDaemonTrace(QStringLiteral("cleanupListDetails Finished"), true);
    callFolderWiseRecursiveListing();
}

void RezodeListAndUpdateToDBController::callFolderWiseRecursiveListing() {
    if (mListingFolderList.isEmpty()) {
        mLogger.logDaemonTrace(QStringLiteral("No Folder Details  to call callFolderWiseRecursiveListing"),
                               true);
        mIsProcessingStage = false;
        emit listingFinished();
        return;
    }
    const QString folder = mListingFolderList.first();
    mDbMangerObject.setWithDetails({{DBManager::DbPathKey, mDbPath},
                                    {DBManager::UserKey, mUserName},
                                    {DBManager::LocalUserKey, mLocalUser}});
    mDbMangerObject.setMachineName(folder);
    mDbMangerObject.startDBOperation();
    mLogger.logDaemonTrace(QStringLiteral("Started callFolderWiseRecursiveListing for:%1").arg(folder), true);
    perforFolderRecursiveListing(folder);
}

void RezodeListAndUpdateToDBController::perforFolderRecursiveListing(const QString& folder) {
    mLogger.logDaemonTrace(QStringLiteral("perforFolderRecursiveListing called"), true);
    mIsProcessingStage = true;
    writePasswordFile();
    mArguments = folderLevelArguments(folder);
    startFolderListTask();
}

void RezodeListAndUpdateToDBController::startFolderListTask() {
    mLogger.logDaemonTrace(QStringLiteral("startFolderListTask called"), true);
    startTask(Stage::Folder);
}

void RezodeListAndUpdateToDBController::cleanupFolderListDetails() {
    mLogger.logDaemonTrace(QStringLiteral("cleanupFolderListDetails Called"), true);
    releaseTask();
    mArguments.clear();
    mTaskDidTerminate = false;
    mIsProcessingStage = false;
    removePasswordFile();
    mLogger.logDaemonTrace(QStringLiteral("cleanupFolderListDetails END"), true);
    if (!mListingFolderList.isEmpty())
        mListingFolderList.removeFirst();
    mLogger.logDaemonTrace(QStringLiteral("remaining List:%1").arg(listDescription(mListingFolderList)),
                           true);
    after(mTimings.listingFolderPause, [this] { callFolderWiseRecursiveListing(); });
}
