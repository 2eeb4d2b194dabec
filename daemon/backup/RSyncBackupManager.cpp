#include "RSyncBackupManager.h"

#include "BackupfileController.h"
#include "DeploymentSettings.h"
#include "DistributedNotificationCenter.h"
#include "ExcludeManager.h"
#include "FileTools.h"
#include "MassChangeTripwire.h"
#include "PropertyList.h"
#include "RezodeLoger.h"
#include "RsyncConventions.h"
#include "RsyncErrorClassifier.h"
#include "TimeMachineTool.h"
#include "UserFileAccess.h"

#include <Protocol.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>

#include <sys/stat.h>
#include <unistd.h>

namespace {
// Whatever stands at the name, nothing larger than a list may be is read, so no file can exhaust the
// daemon's memory.
QString readText(const QString& path, QString* error = nullptr) {
    QByteArray data;
    FileTools::readRegularFile(path, RSyncBackupManager::MaxListBytes, data, error);
    return QString::fromUtf8(data);
}

bool writeText(const QString& path, const QString& text) {
    return FileTools::writeAtomically(path, text.toUtf8(),
                                      0600); // root's working files: paths of the person's
}

// Once each, in first-seen order.
QStringList unique(QStringList paths) {
    paths.removeDuplicates();
    return paths;
}
} // namespace

RSyncBackupManager::RSyncBackupManager(DaemonServices services, const ExcludeManager* excludes,
                                       QObject* parent)
    : QObject(parent), mServices(std::move(services)), mExcludes(excludes),
      mEngineOne(std::make_unique<FreeNasCommandExecuter>(this, mServices.logger)),
      mDbManagerObj(IndexThrottle(mServices.timings)) {
    mRetryTimer.setSingleShot(true);
    mNextSetTimer.setSingleShot(true);
    mOutputTimer.setSingleShot(true);
    mOutputTimer.setInterval(OutputBatchInterval);
    connect(&mOutputTimer, &QTimer::timeout, this, &RSyncBackupManager::parsePendingOutput);
    connect(&mRetryTimer, &QTimer::timeout, this, [this] { RetryEnginOne(mEngineOne.get()); });
    connect(&mNextSetTimer, &QTimer::timeout, this, [this] { RsyncProcessLoadsharing(mEngineOne.get()); });
    mParserContext = new QObject;
    mParserContext->moveToThread(&mParserThread);
    mParserThread.setObjectName(QStringLiteral("rsync output parser"));
    mParserThread.start();
}

RSyncBackupManager::~RSyncBackupManager() {
    mParserThread.quit();
    mParserThread.wait();
    delete mParserContext;
    for (auto& thread : mTimeMachineThreads)
        if (thread.joinable())
            thread.join();
    mEngineOne.reset();
}

void RSyncBackupManager::initializeApplicationSupportPaths(const QString& consoleUser,
                                                           const QString& applianceUser) {
    mAppSupportFilePathsObjct =
        std::make_unique<FilePathsController>(FilePathsController::Table::Daemon, mServices.profile);
    mAppSupportFilePathsObjct->setM_ConsoleUserName(consoleUser);
    // rsync reads the user's files with the user's rights, so nothing the user could not read
    // reaches the appliance account (and so a restore).
    if (::geteuid() == 0 && !consoleUser.isEmpty()) {
        if (const std::optional<UserFileAccess::Account> account = UserFileAccess::lookup(consoleUser)) {
            mAccount = account;
            mEngineOne->setCredentials(
                FreeNasCommandExecuter::Credentials::forAccount(consoleUser, account->uid, account->gid,
                                                                mServices.profile.homeOf(consoleUser)),
                consoleUser);
        } else {
            // No such account: rsync gets the rights of nobody rather than root's.
            constexpr uid_t Nobody = 65534;
            UserFileAccess::Account nobody;
            nobody.name = consoleUser;
            nobody.uid = Nobody;
            nobody.gid = Nobody;
            mAccount = nobody;
            mEngineOne->setCredentials(FreeNasCommandExecuter::Credentials{Nobody, Nobody, {Nobody}, {}},
                                       QStringLiteral("nobody"));
            mServices.logger->logDaemonTrace(
                QStringLiteral("No local account %1, backups run without any user's rights").arg(consoleUser),
                true);
        }
    }
    // Set files left by a run that the daemon's end cut short are owed to the appliance: put them
    // back before the folder is cleared.
    const QString syncUp = mAppSupportFilePathsObjct->pathForApplicationFile(DaemonPath::SyncUpFolder);
    if (!QDir(syncUp).isEmpty(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot)) {
        mServices.logger->logDaemonTrace(
            QStringLiteral("Unfinished backup sets found at start, re-queueing them."), true);
        AddTheCurrentBackupSetIntoArray();
    }
    createTempFilePaths();
    mDbManagerObj.setWithDetails({{DBManager::DbPathKey, mAppSupportFilePathsObjct->pathForApplicationFile(
                                                             DaemonPath::UserSupportFolder)},
                                  {DBManager::UserKey, applianceUser},
                                  {DBManager::LocalUserKey, consoleUser}});
    mDbManagerObj.startDBOperation();
    if (mScratchFolder.isEmpty())
        mScratchFolder = mServices.profile.homeOf(QString());
    mApplianceHostName = DeploymentSettings::load(mServices.profile).applianceHostName;
}

void RSyncBackupManager::createTempFilePaths() {
    const QString syncUp = mAppSupportFilePathsObjct->pathForApplicationFile(DaemonPath::SyncUpFolder);
    QDir(syncUp).removeRecursively();
    FileTools::makePath(syncUp);
    // Root's working folder: the sets name the person's files, and nobody else may plant one here.
    ::chmod(QFile::encodeName(syncUp).constData(), 0700);
    mBackupTempSourceFilePath = QStringLiteral("%1/File").arg(syncUp);
    mSourceA = QStringLiteral("%1/SourceA").arg(syncUp);
}

void RSyncBackupManager::removeTempFilePaths() {
    QDir(mAppSupportFilePathsObjct->pathForApplicationFile(DaemonPath::SyncUpFolder)).removeRecursively();
}

QString RSyncBackupManager::setFilePath(int number) const {
    return QStringLiteral("%1_%2").arg(mBackupTempSourceFilePath).arg(number);
}

QVariantMap RSyncBackupManager::readUserDetails() const {
    UserFileAccess access(mAppSupportFilePathsObjct->m_ConsoleUserName());
    return PropertyList::readDictionary(
        mAppSupportFilePathsObjct->pathForApplicationFile(DaemonPath::UserDetails));
}

bool RSyncBackupManager::writeUserDetails(const QVariantMap& details) const {
    UserFileAccess access(mAppSupportFilePathsObjct->m_ConsoleUserName());
    return PropertyList::writeDictionary(
        mAppSupportFilePathsObjct->pathForApplicationFile(DaemonPath::UserDetails), details,
        PropertyList::OwnerOnlyMode);
}

void RSyncBackupManager::setFileSetForOperation(const QStringList& paths) {
    QStringList cleaned;
    for (const QString& path : unique(paths))
        if (!path.isEmpty())
            cleaned << path;
    if (!cleaned.isEmpty())
        mFileSetForOperation = cleaned;
}

bool RSyncBackupManager::isIntialBackuprunning() const {
    if (!mAppSupportFilePathsObjct)
        return false;
    return QFileInfo::exists(
               mAppSupportFilePathsObjct->pathForApplicationFile(DaemonPath::InitialSetReadyMarker)) ||
           QFileInfo::exists(
               mAppSupportFilePathsObjct->pathForApplicationFile(DaemonPath::InitialBackupStartedMarker));
}

void RSyncBackupManager::startBackup() {
    {
        QMutexLocker lock(&mParseLock);
        mParser.reset();
    }
    if (!mRunOldest.isValid())
        mRunOldest = mRunNewest = QDateTime::currentDateTimeUtc();
    ExecuteBackup();
    tellState();
}

void RSyncBackupManager::setQueuedTimes(const QDateTime& oldest, const QDateTime& newest) {
    mRunOldest = oldest;
    mRunNewest = newest.isValid() ? newest : oldest;
}

int RSyncBackupManager::pathsNotYetSent() const {
    if (!mIsRunningFlag)
        return 0;
    const int perSet = mIsInitalBackupList ? InitialBackupPathsPerSet : MaxPathsPerSet;
    const int sent = std::max(0, mBackupsetCountOnTheFly) * perSet;
    return std::max(0, int(mRunPaths.size()) - sent);
}

void RSyncBackupManager::ExecuteBackup() {
    RezodeLoger& trace = *mServices.logger;
    trace.logDaemonTrace(QStringLiteral("ExecuteBackup Called"), true);
    FileTools::makePath(mAppSupportFilePathsObjct->pathForApplicationFile(DaemonPath::SyncUpFolder));

    mIsInitalBackupList = false;
    mBackupsetFileCount = 0;
    mIsEngine1Started = false;
    mBackupsetCountOnTheFly = -1;
    mEngineOneRetryFlag = false;
    mRetryCountEngine1 = 0;
    mFailureCount = 0;
    mIsBackupCanceld = false;
    mIsQuotaExceded = false;
    mScheduledRetryDelays.clear();
    mIsRunningFlag = true;

    const QString ready =
        mAppSupportFilePathsObjct->pathForApplicationFile(DaemonPath::InitialSetReadyMarker);
    if (QFileInfo::exists(ready)) {
        trace.logDaemonTrace(QStringLiteral("Initial Backup exist"), true);
        const QStringList initial = PropertyList::readStringArray(
            mAppSupportFilePathsObjct->pathForApplicationFile(DaemonPath::InitialBackupList));
        if (mFileSetForOperation.size() >= initial.size()) {
            trace.logDaemonTrace(QStringLiteral("Initial Backup started"), true);
            writeText(
                mAppSupportFilePathsObjct->pathForApplicationFile(DaemonPath::InitialBackupStartedMarker),
                Protocol::MarkerContent);
            QFile::remove(ready);
        }
        mIsInitalBackupList = true;
    }

    for (const QString& path : std::as_const(mFileSetForOperation))
        if (!mExcludes || (!mExcludes->hasInInitialExcludeList(path) && !mExcludes->matchesNamePattern(path)))
            mSelectedFilePaths << path;
    QStringList selected = mSelectedFilePaths;
    mSelectedFilePaths.clear();
    writeBackupFilesListToRsyncInputFile(selected);
    trace.logDaemonTrace(QStringLiteral("ExecuteBackup End"), true);
}

void RSyncBackupManager::writeBackupFilesListToRsyncInputFile(QStringList& paths) {
    const QStringList all = unique(paths);
    paths.clear();
    mRunPaths = all;
    const int perSet = mIsInitalBackupList ? InitialBackupPathsPerSet : MaxPathsPerSet;
    QStringList batch;
    int count = 0;
    for (const QString& path : all) {
        batch << path;
        ++count;
        if (count % 200 == 0 && mServices.timings.setCuttingPause.count() > 0)
            QThread::msleep(mServices.timings.setCuttingPause.count());
        if (batch.size() >= perSet) {
            writeBackupSetList(batch, mBackupsetFileCount++, 1);
            batch.clear();
        }
    }
    if (!batch.isEmpty())
        writeBackupSetList(batch, mBackupsetFileCount++, 1);

    if (mBackupsetFileCount == 0) {
        RezodeLoger& trace = *mServices.logger;
        trace.logDaemonTrace(
            QStringLiteral(
                "writeBackupFilesListToRsyncInputFile :No files present to do backup so stoping backup"),
            true);
        mIsRunningFlag = false;
        mRunPaths.clear();
        mRunOldest = mRunNewest = QDateTime();
        endInitialBackup();
        // The application hears "Backup completed", not the failure it was told of before: should
        // that failure still hold, the next run tells it again.
        forgetToldFailure();
        if (mDelegate)
            mDelegate->operationDidFinishSuccessfully(this);
    }
}

void RSyncBackupManager::writeBackupSetList(const QStringList& batch, int fileCount, int startEngine) {
    const QString setFile = setFilePath(fileCount);
    // The list of a user's files is nobody else's business.
    if (!FileTools::writeAtomically(setFile, batch.join(u'\n').toUtf8(), 0600)) {
        // The paths are still owed (the run keeps them in memory); the set that misses its file ends
        // the run as "not able to continue" when its turn comes, and the first set cannot start.
        mServices.logger->logDaemonTrace(QStringLiteral("Could not write backup set %1").arg(setFile), true);
        if (startEngine == 1 && !mIsEngine1Started) {
            mIsEngine1Started = true;
            ++mBackupsetCountOnTheFly;
            endRun(BackupRunDecision::Outcome::Failed,
                   QStringLiteral("Not able to continue backup some problem so setting backup running NO."));
        }
        return;
    }
    if (startEngine == 1 && !mIsEngine1Started) {
        mIsEngine1Started = true;
        RSyncfireBackupProcessForEngine({QStringLiteral("1"), setFile});
    }
}

bool RSyncBackupManager::setSourceFileContents(const QString& setFile) {
    if (!QFileInfo::exists(setFile))
        return false;
    QFile::remove(mSourceA);
    // Root's working file, root's alone: rsync gets the list on its standard input.
    return FileTools::writeAtomically(mSourceA, readText(setFile).toUtf8(), 0600);
}

void RSyncBackupManager::loadUploadingFileList() {
    mUploadingFileList = readText(mSourceA).split(u'\n', Qt::SkipEmptyParts);
}

RsyncConventions::Command RSyncBackupManager::backupCommand() const {
    const bool builtin = mIsBuiltinRsync;
    const QString user = mUserDetails.value(Protocol::UserName).toString();
    const QString remote = RsyncConventions::remotePath(
        RsyncConventions::RemoteForm::UserItem,
        {user, mUserDetails.value(Protocol::Ip).toString(), user, mDestinationPath},
        builtin ? RsyncConventions::Launch::Shell : RsyncConventions::Launch::Direct);
    // "--times": the copies carry the file's modification time, which the restore and "Versions…"
    // show and a restored file gets back. "--ignore-times": rsync's quick check (size and whole
    // seconds) would take a file saved again at the same size within the second of its last change
    // for its copy and skip it; every path of a run is a changed file, so it is sent anyway.
    QStringList options{QStringLiteral("--progress"),  QStringLiteral("--dirs"),
                        QStringLiteral("--recursive"), QStringLiteral("-v"),
                        QStringLiteral("--times"),     QStringLiteral("--ignore-times")};
    // An appliance that stops answering ends the set as a network failure instead of holding it.
    // rsync runs in the account's clean environment when the daemon is root: its search path decides.
    options << RsyncConventions::stallOptions(
        RsyncConventions::dialect(builtin, mBackupExecutorPath,
                                  mAccount ? ChildCredentials::searchPath() : QString()),
        mServices.timings.rsyncStallTimeout);
    // The exclusion rules hold inside the folders rsync sends whole too (a folder of the initial set,
    // one moved in, the home after lost events): the fixed rules, the lists and the name patterns.
    // "- " makes each an exclusion whatever it begins with ("+ ", "!").
    for (const QString& rule : mExcludes ? mExcludes->rsyncExcludes() : QStringList()) {
        const QString option = QStringLiteral("--exclude=") + rule;
        options << (builtin ? RsyncConventions::shellWord(option) : option);
    }
    // What the mass-change tripwire holds or parks stays back in a folder sent whole too.
    const QString held = MassChangeTripwire::excludeFile(*mAppSupportFilePathsObjct);
    if (!held.isEmpty() && QFile::exists(held)) {
        const QString option = QStringLiteral("--exclude-from=") + held;
        options << (builtin ? RsyncConventions::shellWord(option) : option);
    }
    // No password file: the password reaches rsync in its environment (launchCurrentSet).
    return RsyncConventions::command(builtin, mBackupExecutorPath, options, QString(), QStringLiteral("-"),
                                     QStringLiteral("/"), remote);
}

void RSyncBackupManager::RSyncfireBackupProcessForEngine(const QStringList& engineAndSetFile) {
    if (engineAndSetFile.size() < 2 || engineAndSetFile.first() != QLatin1String("1"))
        return;
    setSourceFileContents(engineAndSetFile.at(1));
    ++mBackupsetCountOnTheFly;

    const QVariantMap details = readUserDetails();
    mRunPassword = passwordFingerprint(details);
    // The run's password travels to each set's rsync in its environment; no file holds it.
    mRunSecret = details.value(Protocol::Password).toString();

    loadUploadingFileList();
    const RsyncConventions::Command command = backupCommand();
    if (mDelegate)
        mDelegate->operationDidStart(this);
    mEngineOne->setLaunchPath(command.program);
    launchCurrentSet();
}

void RSyncBackupManager::launchCurrentSet() {
    parsePendingOutput(); // what the set before said, should it still wait
    mOutJoiner.reset();
    mErrJoiner.reset();
    mSetErrors.clear();
    mSetFileErrors = 0;
    mApplianceBusy = false;
    mPasswordRefused = false;
    const RsyncConventions::Command command = backupCommand();
    mEngineOne->setEnvironment({});
    mEngineOne->setAddedEnvironment(RsyncConventions::daemonRunEnvironment(
        mRunSecret, mAppSupportFilePathsObjct->pathForApplicationFile(DaemonPath::SystemSupportFolder)));
    mEngineOne->setStallTimeout(mServices.timings.rsyncStallTimeout);
    mEngineOne->setArguments(command.arguments);
    mEngineOne->setStandardInput(readText(mSourceA).toUtf8());
    mEngineOne->startProcess();
}

void RSyncBackupManager::RsyncProcessLoadsharing(FreeNasCommandExecuter* engine) {
    if (engine != mEngineOne.get())
        return;
    if (!QFileInfo::exists(mSourceA)) {
        const QString text =
            QStringLiteral("RsyncProcessLoadsharing mSourceA is missing not able to continue backup");
        mServices.logger->logDaemonTrace(text, true);
        endRun(BackupRunDecision::Outcome::Failed, text);
        return;
    }
    launchCurrentSet();
}

bool RSyncBackupManager::continueBackupEngine(FreeNasCommandExecuter* engine) {
    ++mBackupsetCountOnTheFly;
    const QString setFile = setFilePath(mBackupsetCountOnTheFly);
    if (!QFileInfo::exists(setFile) || mBackupsetCountOnTheFly >= mBackupsetFileCount ||
        engine != mEngineOne.get())
        return false;
    setSourceFileContents(setFile);
    loadUploadingFileList();
    return true;
}

void RSyncBackupManager::StopOnGoingBackup() {
    {
        QMutexLocker lock(&mParseLock);
        mParser.reset();
    }
    mServices.logger->logDaemonTrace(QStringLiteral("StopOnGoingBackup called."), true);
    if (mEngineOne->isRunning()) {
        mEngineOne->stopProcess();
        mIsBackupCanceld = true;
        return;
    }
    // Waiting for a retry or for the next set: no process will report an end, so the run ends here
    // rather than starting again behind the user's back.
    if (mIsRunningFlag && (mRetryTimer.isActive() || mNextSetTimer.isActive())) {
        mIsBackupCanceld = true;
        endRun(BackupRunDecision::Outcome::Cancelled, QString());
    }
}

// ---- output ------------------------------------------------------------------------------------

void RSyncBackupManager::updateProgress(const QString& text, FreeNasCommandExecuter* engine) {
    Q_UNUSED(engine)
    const QString whole = mOutJoiner.take(text);
    if (whole.isEmpty())
        return;
    // The child is never held up: its output is already read; only the parsing waits for the batch.
    mPendingOutput += whole;
    if (!mOutputTimer.isActive())
        mOutputTimer.start();
}

void RSyncBackupManager::parsePendingOutput() {
    mOutputTimer.stop();
    if (mPendingOutput.isEmpty())
        return;
    QString whole;
    whole.swap(mPendingOutput);
    if (!mIsBuiltinRsync) {
        parseOutputChunk(whole, false, {});
        return;
    }
    // The set's paths go with the chunk, so a chunk parsed after the next set was loaded is still
    // matched against its own set; one thread parses the chunks in the order they came.
    const QStringList setPaths = mUploadingFileList;
    QMetaObject::invokeMethod(
        mParserContext, [this, whole, setPaths] { parseOutputChunk(whole, true, setPaths); },
        Qt::QueuedConnection);
}

void RSyncBackupManager::parseOutputChunk(const QString& text, bool builtin, const QStringList& setPaths) {
    QMutexLocker lock(&mParseLock);
    const QList<RsyncOutputParser::Event> events = builtin
                                                       ? mParser.ParseDefaultRsyncOutput(text, setPaths)
                                                       : mParser.ParseOutput(text, isIntialBackuprunning());
    deliver(events);
}

void RSyncBackupManager::deliver(const QList<RsyncOutputParser::Event>& events) {
    // The session log is written once per chunk of rsync's output, when its last file has been
    // logged: a write per file (open, append, close, with the person's rights) cost more than the
    // transfer of a small file.
    qsizetype lastFile = -1;
    for (qsizetype i = 0; i < events.size(); ++i)
        if (!events[i].file.isEmpty())
            lastFile = i;
    for (qsizetype i = 0; i < events.size(); ++i) {
        const RsyncOutputParser::Event& event = events[i];
        if (!event.progress.isEmpty() && mIsRunningFlag && mDelegate) {
            mToldUnderWay = true;
            mDelegate->operationDidReceiveData(event.progress);
        }
        if (!event.file.isEmpty()) {
            if (mSentObserver)
                mSentObserver(event.file);
            mDbManagerObj.addFileToBackup(event.file);
            mServices.logger->logSessionTrace(QStringLiteral("Backup completed for %1").arg(event.file),
                                              i == lastFile);
        }
    }
}

void RSyncBackupManager::waitForParsing() {
    if (QThread::currentThread() == &mParserThread)
        return;
    QMetaObject::invokeMethod(
        mParserContext, [] {}, Qt::BlockingQueuedConnection);
}

// ---- standard error ----------------------------------------------------------------------------

void RSyncBackupManager::getError(const QString& text, FreeNasCommandExecuter* engine) {
    const QString whole = mErrJoiner.take(text);
    if (!whole.isEmpty())
        handleErrorText(whole, engine);
}

void RSyncBackupManager::handleErrorText(const QString& text, FreeNasCommandExecuter* engine) {
    RezodeLoger& trace = *mServices.logger;
    const RsyncErrorClassifier::Result result = RsyncErrorClassifier::classify(text);
    switch (result.kind) {
    case RsyncErrorClassifier::Kind::PerFileError: {
        if (mDelegate)
            mDelegate->operationDidReceiveErrors(text, result.line);
        ++mFailureCount;
        ++mSetFileErrors;
        trace.logDaemonTrace(result.line, true);
        // The other lines of the chunk may still say that the run cannot go on.
        const QString rest = RsyncErrorClassifier::withoutPerFileLines(text);
        if (!rest.trimmed().isEmpty())
            handleErrorText(rest, engine);
        return;
    }
    case RsyncErrorClassifier::Kind::Network:
        networkFailure(text, engine);
        return;
    case RsyncErrorClassifier::Kind::Busy:
        mApplianceBusy = true;
        return;
    case RsyncErrorClassifier::Kind::AuthRefused:
        if (!mPasswordRefused)
            trace.logDaemonTrace(text, true);
        mPasswordRefused = true;
        return;
    case RsyncErrorClassifier::Kind::Quota:
        if (engine && engine->isRunning()) {
            engine->stopProcess();
            mIsQuotaExceded = true;
            trace.logDaemonTrace(text, true);
        }
        return;
    case RsyncErrorClassifier::Kind::None:
        mSetErrors += text;
        return;
    }
}

void RSyncBackupManager::networkFailure(const QString& text, FreeNasCommandExecuter* engine) {
    RezodeLoger& trace = *mServices.logger;
    reportFailure(text, QStringLiteral("network"));
    if (engine == mEngineOne.get() && !mEngineOneRetryFlag) {
        trace.logDaemonTrace(text, true);
        trace.logDaemonTrace(QStringLiteral("Check wether server Ip changed."), true);
        checkServerAddress();
        trace.logDaemonTrace(QStringLiteral("Retrying.."), true);
        mEngineOneRetryFlag = true;
    }
}

// ---- address check -----------------------------------------------------------------------------

QString RSyncBackupManager::fetchIP() {
    const QString folder = mScratchFolder.isEmpty() ? QDir::homePath() : mScratchFolder;
    FileTools::makePath(folder);
    const QString scratch = QStringLiteral("%1/%2").arg(folder, Protocol::RezodeIPFile);
    QProcess shell;
    shell.start(QStringLiteral("/bin/bash"),
                {QStringLiteral("-c"), QStringLiteral("ping -c 1 %1 >%2")
                                           .arg(RsyncConventions::shellWord(mApplianceHostName),
                                                RsyncConventions::shellWord(scratch))});
    shell.waitForFinished(30000);
    const QString text = readText(scratch);
    QFile::remove(scratch);
    return RsyncErrorClassifier::addressFromPingOutput(text);
}

void RSyncBackupManager::checkServerAddress() {
    RezodeLoger& trace = *mServices.logger;
    QVariantMap details = readUserDetails();
    const QString stored = details.value(Protocol::Ip).toString();
    const QString sharePath = details.value(Protocol::TMSharePath).toString();
    const QString found = fetchIP();
    if (found.isEmpty())
        return;
    trace.logDaemonTrace(QStringLiteral("plistIpAddress:%1 ipAddr:%2").arg(stored, found), true);
    if (stored == found)
        return;
    details.insert(Protocol::Ip, found);
    writeUserDetails(details);
    mUserDetails.insert(Protocol::Ip, found);
    trace.logDaemonTrace(QStringLiteral("server Ip changed and update to plist."), true);
    trace.logDaemonTrace(QStringLiteral("mUserDetails:%1").arg(maskedDescription(mUserDetails)), true);
    if (mDelegate)
        mDelegate->serverAddressDidChange(found);
    mTimeMachineThreads.emplace_back([this, sharePath] { addBackupToTimeMachineList(sharePath); });
}

bool RSyncBackupManager::addBackupToTimeMachineList(const QString& sharePath) {
    if (sharePath.isEmpty())
        return false;
    const QVariantMap details = readUserDetails();
    const QString user = details.value(Protocol::UserName).toString();
    const QString password = details.value(Protocol::Password).toString();
    const QString address = details.value(Protocol::Ip).toString();
    const TimeMachineTool::Result result = TimeMachineTool(mServices.profile.snapshotToolPath)
                                               .setDestination(user, password, address, sharePath);
    if (!result.error.isEmpty()) {
        // The tool's complaint may quote the destination; keep the password out of the trace.
        QString complaint = QString::fromUtf8(result.error);
        if (!password.isEmpty())
            complaint.replace(password, QStringLiteral("********"));
        mServices.logger->logDaemonTrace(complaint, true);
        return false;
    }
    return true;
}

QString RSyncBackupManager::maskedDescription(const QVariantMap& details) {
    QStringList lines;
    for (auto it = details.cbegin(); it != details.cend(); ++it) {
        const QString value =
            it.key() == Protocol::Password ? QStringLiteral("********") : it.value().toString();
        lines << QStringLiteral("    %1 = \"%2\";").arg(it.key(), value);
    }
    return QStringLiteral("{\n%1\n}").arg(lines.join(u'\n'));
}

// ---- end of a set ------------------------------------------------------------------------------

void RSyncBackupManager::forgetPassword() {
    mRunSecret.clear();
    mEngineOne->setAddedEnvironment({});
}

QStringList RSyncBackupManager::requeuePaths() const {
    // What the run set out to send, and whatever set files the folder holds (a run of an earlier
    // daemon process leaves only those).
    QStringList lines = mRunPaths;
    const QString syncUp = mAppSupportFilePathsObjct->pathForApplicationFile(DaemonPath::SyncUpFolder);
    const QFileInfoList entries =
        QDir(syncUp).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries) {
        QString error;
        lines << readText(entry.absoluteFilePath(), &error).split(u'\n', Qt::SkipEmptyParts);
        if (!error.isEmpty())
            mServices.logger->logDaemonTrace(QStringLiteral("Backup set not re-queued: %1").arg(error), true);
    }
    return lines;
}

void RSyncBackupManager::AddTheCurrentBackupSetIntoArray() {
    RezodeLoger& trace = *mServices.logger;
    trace.logDaemonTrace(QStringLiteral("AddTheCurrentBackupSetIntoArray called"), true);
    trace.logDaemonTrace(QStringLiteral("current set going on is:File_%1").arg(mBackupsetCountOnTheFly - 1),
                         true);
    // When what is owed was queued: the run's lists, or (sets of an earlier process) the set files.
    QDateTime since = mRunOldest;
    if (!since.isValid()) {
        const QString syncUp = mAppSupportFilePathsObjct->pathForApplicationFile(DaemonPath::SyncUpFolder);
        for (const QFileInfo& entry :
             QDir(syncUp).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot))
            if (!since.isValid() || entry.lastModified() < since)
                since = entry.lastModified().toUTC();
    }
    if (since.isValid() && (!mOwedSince.isValid() || since < mOwedSince))
        mOwedSince = since;
    mOwedPaths << requeuePaths();
    flushOwedPaths();
}

bool RSyncBackupManager::flushOwedPaths() {
    if (mOwedPaths.isEmpty())
        return true;
    const QString folder = mAppSupportFilePathsObjct->pathForApplicationFile(DaemonPath::BackupListsFolder);
    FileTools::makePath(folder);
    QString target = QStringLiteral("%1/remainingFiles").arg(folder);
    // A "remainingFiles" nobody has taken yet is owed too: add to it rather than replace it. One that
    // cannot be read (too large) stays as it is, and the owed paths go into a list of their own.
    QString error;
    QStringList all = readText(target, &error).split(u'\n', Qt::SkipEmptyParts);
    if (!error.isEmpty() && QFileInfo::exists(target)) {
        mServices.logger->logDaemonTrace(QStringLiteral("%1, the paths owed go beside it").arg(error), true);
        target += u' ' + BackupfileController::listFileStem(QDateTime::currentDateTime());
    }
    // The list keeps the time of the oldest change it holds, as the collector's lists do.
    QDateTime since = mOwedSince.isValid() ? mOwedSince : QDateTime::currentDateTimeUtc();
    if (!all.isEmpty()) {
        const QDateTime before = QFileInfo(target).lastModified();
        if (before.isValid() && before < since)
            since = before;
    }
    all << mOwedPaths;
    if (!writeText(target, unique(all).join(u'\n'))) {
        // The local disk may be full: the paths stay here and are written again on the next pass.
        mServices.logger->logDaemonTrace(QStringLiteral("Could not write %1, keeping %2 paths for later")
                                             .arg(target)
                                             .arg(mOwedPaths.size()),
                                         true);
        return false;
    }
    FileTools::setModificationTime(target, since.toMSecsSinceEpoch());
    mOwedPaths.clear();
    mOwedSince = QDateTime();
    tellState();
    return true;
}

bool RSyncBackupManager::tellFailure(const QString& key) {
    // A failure that keeps coming back unchanged is told to the application once, unless it has
    // heard since that a backup is under way: then it must hear that it failed again.
    if (key == mLastReportedFailure && !mToldUnderWay)
        return false;
    mLastReportedFailure = key;
    mToldUnderWay = false;
    return true;
}

void RSyncBackupManager::reportFailure(const QString& text, const QString& key) {
    // Network failures count as one whatever rsync's words, which differ with how its lines were cut
    // into chunks.
    if (tellFailure(key.isEmpty() ? text : key) && mDelegate)
        mDelegate->operationDidFailWithError(text);
}

QByteArray RSyncBackupManager::passwordFingerprint(const QVariantMap& details) {
    return QCryptographicHash::hash(details.value(Protocol::Password).toString().toUtf8(),
                                    QCryptographicHash::Sha256);
}

bool RSyncBackupManager::isBackingOff() {
    if (!mRefusedPassword.isNull()) {
        const bool changed = passwordFingerprint(readUserDetails()) != mRefusedPassword;
        if (!changed && !mRefusedRetryAllowed.hasExpired())
            return true;
        mServices.logger->logDaemonTrace(
            changed ? QStringLiteral("The password in the account record changed, backing up again")
                    : QStringLiteral("Trying the refused password of the account once more"),
            true);
        // Another password starts afresh; the same one, refused again, waits longer.
        if (changed)
            mRefusedInRow = 0;
        mRefusedPassword.clear();
    }
    return mFailedRunsInRow > 0 && !mNextRunAllowed.hasExpired();
}

void RSyncBackupManager::accountLoggedIn() {
    if (!mRefusedPassword.isNull() || mFailedRunsInRow > 0)
        mServices.logger->logDaemonTrace(
            QStringLiteral("The person logged in to the appliance, backing up again at once"), true);
    mRefusedPassword.clear();
    mRefusedInRow = 0;
    mFailedRunsInRow = 0;
    mNextRunAllowed = QDeadlineTimer();
    forgetToldFailure();
}

void RSyncBackupManager::forgetToldFailure() {
    mLastReportedFailure.clear();
    mToldUnderWay = false;
}

bool RSyncBackupManager::announceRun() {
    if (!mLastReportedFailure.isEmpty())
        return false;
    mToldUnderWay = true;
    return true;
}

void RSyncBackupManager::endInitialBackup() {
    const QString started =
        mAppSupportFilePathsObjct->pathForApplicationFile(DaemonPath::InitialBackupStartedMarker);
    if (!QFileInfo::exists(started))
        return;
    mServices.logger->logDaemonTrace(QStringLiteral("Initial Backup Finished sucess full"), true);
    QFile::remove(started);
    if (mDelegate)
        mDelegate->initialBackupFinished(this);
}

void RSyncBackupManager::endRun(BackupRunDecision::Outcome outcome, const QString& text) {
    mRetryTimer.stop();
    mNextSetTimer.stop();
    if (outcome == BackupRunDecision::Outcome::NextSet || outcome == BackupRunDecision::Outcome::Retry ||
        outcome == BackupRunDecision::Outcome::Busy)
        return; // the run goes on
    traceRunEnd(outcome, text);
    settleRunEnd(outcome);
    tellRunEnd(outcome, text);
}

// The session trace's words for how the run ended.
void RSyncBackupManager::traceRunEnd(BackupRunDecision::Outcome outcome, const QString& text) {
    using Outcome = BackupRunDecision::Outcome;
    RezodeLoger& trace = *mServices.logger;
    const QString started =
        mAppSupportFilePathsObjct->pathForApplicationFile(DaemonPath::InitialBackupStartedMarker);
    switch (outcome) {
    case Outcome::Finished:
        trace.logDaemonTrace(backupFailureCount() < 1
                                 ? QStringLiteral("Backup Finished sucess full")
                                 : QStringLiteral("Backup finished partial check errors"),
                             true);
        endInitialBackup();
        mIsInitalBackupList = false;
        break;
    case Outcome::Quota:
        trace.logDaemonTrace(QStringLiteral("Backup Stoped in the middle due to Quota Exceded."), true);
        if (QFileInfo::exists(started)) {
            trace.logDaemonTrace(QStringLiteral("Initial Backup File removed due to Quota Exceded"), true);
            QFile::remove(started);
        }
        break;
    case Outcome::Cancelled:
        trace.logDaemonTrace(QStringLiteral("Backup canceld in the middle."), true);
        trace.logDaemonTrace(QStringLiteral("onFliNumber:%1").arg(mBackupsetCountOnTheFly), true);
        break;
    case Outcome::GiveUp:
        trace.logDaemonTrace(text, true);
        mEngineOneRetryFlag = false;
        mRetryCountEngine1 = 0;
        if (isIntialBackuprunning())
            trace.logDaemonTrace(
                QStringLiteral(
                    "Initial Backup was going on after network connect user has to clik startbackup."),
                true);
        break;
    case Outcome::Failed:
        trace.logDaemonTrace(QStringLiteral("Backup set failed: %1").arg(text), true);
        break;
    case Outcome::Refused:
        trace.logDaemonTrace(
            QStringLiteral("Backup stopped, the appliance refused the password of the account"), true);
        break;
    case Outcome::NextSet:
    case Outcome::Retry:
    case Outcome::Busy:
        break;
    }
}

// What the run leaves behind: its paths when it owes them, no password file, and the back-off.
void RSyncBackupManager::settleRunEnd(BackupRunDecision::Outcome outcome) {
    using Outcome = BackupRunDecision::Outcome;
    // Every end but a finished run owes the appliance its paths; a quota stop keeps them until there
    // is space again (the next run after the back-off finds out).
    if (BackupRunDecision::keepsPaths(outcome))
        AddTheCurrentBackupSetIntoArray();
    forgetPassword();
    removeTempFilePaths();
    mRunPaths.clear();
    mRunOldest = mRunNewest = QDateTime();
    mIsRunningFlag = false;

    if (BackupRunDecision::backsOff(outcome)) {
        ++mFailedRunsInRow;
        const std::chrono::milliseconds wait = BackupRunDecision::backOffDelay(
            mFailedRunsInRow, mServices.timings.firstRetryDelay, mServices.timings.laterRetryDelay);
        mNextRunAllowed.setRemainingTime(wait);
        mServices.logger->logDaemonTrace(
            QStringLiteral("Next backup run not before %1 sec")
                .arg(std::chrono::duration_cast<std::chrono::seconds>(wait).count()),
            true);
    } else if (outcome == Outcome::Finished) {
        mFailedRunsInRow = 0;
        mRefusedInRow = 0;
        mLastReportedFailure.clear();
    }
    if (outcome == Outcome::Refused) {
        // Appliances lock accounts that keep failing: the same password is tried again after a wait
        // that doubles with each refusal (the password may be put right on the appliance), at once
        // when the account record holds another one or the person logs in.
        ++mRefusedInRow;
        const std::chrono::milliseconds wait = BackupRunDecision::refusedDelay(
            mRefusedInRow, mServices.timings.refusedFirstRetryDelay, mServices.timings.refusedRetryDelay);
        mRefusedPassword = mRunPassword;
        mRefusedRetryAllowed.setRemainingTime(wait);
        mServices.logger->logDaemonTrace(
            QStringLiteral("The refused password is tried again in %1 sec, at once after a log-in or "
                           "when the password in the account record changes")
                .arg(std::chrono::duration_cast<std::chrono::seconds>(wait).count()),
            true);
    }
    tellState();
}

// The delegate and the application hear of the end once.
void RSyncBackupManager::tellRunEnd(BackupRunDecision::Outcome outcome, const QString& text) {
    using Outcome = BackupRunDecision::Outcome;
    switch (outcome) {
    case Outcome::Finished:
        if (mDelegate)
            mDelegate->operationDidFinishSuccessfully(this);
        break;
    case Outcome::Quota:
        if (tellFailure(QStringLiteral("Quota exceeded")) && mDelegate)
            mDelegate->quotaExceded(this);
        break;
    case Outcome::Cancelled:
        // The application shows the cancel now, no longer a failure it was told of before.
        forgetToldFailure();
        if (mDelegate)
            mDelegate->operationDidCancel(this);
        break;
    case Outcome::GiveUp:
        if (isIntialBackuprunning() && mServices.notifications)
            mServices.notifications->postNotification(Protocol::IntialBackupFailedDueToNetworkConnection, {},
                                                      Protocol::PostDeliverImmediatelyToAllSessions);
        reportFailure(text);
        break;
    case Outcome::Failed:
    case Outcome::Refused:
        reportFailure(text);
        break;
    case Outcome::NextSet:
    case Outcome::Retry:
    case Outcome::Busy:
        break;
    }
}

// Whatever the child said last belongs to this set: the unfinished last lines, and the chunks still
// waiting for the parser, come before the decision.
void RSyncBackupManager::flushSetOutput(FreeNasCommandExecuter* engine) {
    parsePendingOutput();
    const QString outRest = mOutJoiner.flush();
    if (!outRest.isEmpty()) {
        if (mIsBuiltinRsync) {
            const QStringList setPaths = mUploadingFileList;
            QMetaObject::invokeMethod(
                mParserContext, [this, outRest, setPaths] { parseOutputChunk(outRest, true, setPaths); },
                Qt::QueuedConnection);
        } else {
            parseOutputChunk(outRest, false, {});
        }
    }
    const QString errRest = mErrJoiner.flush();
    if (!errRest.isEmpty())
        handleErrorText(errRest, engine);
    if (mIsBuiltinRsync)
        waitForParsing();
}

void RSyncBackupManager::processFinishedOfEngine(FreeNasCommandExecuter* engine) {
    using Outcome = BackupRunDecision::Outcome;
    flushSetOutput(engine);
    if (engine != mEngineOne.get() || !mIsRunningFlag)
        return;
    // The runner ended an rsync that got nothing from the appliance for the stall time (one that
    // did not end by its own --timeout): the appliance is out of reach, as for a broken connection.
    if (engine->stalled() && !mIsBackupCanceld && !mIsQuotaExceded && !mEngineOneRetryFlag)
        networkFailure(
            QStringLiteral("The Zorvik Hollin device stopped answering: nothing came from it "
                           "for %1 seconds, so the transfer was ended; it is tried again.")
                .arg(std::chrono::duration_cast<std::chrono::seconds>(mServices.timings.rsyncStallTimeout)
                         .count()),
            engine);

    BackupRunDecision::SetEnd end;
    end.quota = mIsQuotaExceded;
    end.cancelled = mIsBackupCanceld;
    end.network = mEngineOneRetryFlag;
    end.busy = mApplianceBusy;
    end.refused = mPasswordRefused;
    end.retriesMade = mRetryCountEngine1;
    end.maxRetries = MaxRetries;
    end.exitCode = engine->exitCode();
    end.failureText = RsyncErrorClassifier::isRsyncFailure(mSetErrors);
    end.partialText = RsyncErrorClassifier::isPartialTransfer(mSetErrors);
    end.lastSet = mBackupsetCountOnTheFly + 1 >= mBackupsetFileCount;
    const Outcome outcome = BackupRunDecision::decide(end);

    if (outcome != Outcome::Busy)
        mTurnedAwayInRow = 0;
    switch (outcome) {
    case Outcome::Busy: {
        // Not a failure: the appliance serves others now. The wait does not count towards giving up.
        ++mTurnedAwayInRow;
        const std::chrono::milliseconds delay = BackupRunDecision::busyDelay(
            mTurnedAwayInRow, mServices.timings.busyRetryDelay, mServices.timings.busyRetryMaxDelay,
            QRandomGenerator::global()->generateDouble());
        mServices.logger->logDaemonTrace(
            QStringLiteral(
                "The appliance is busy (all its connections are taken), the set is tried again in %1 ms")
                .arg(delay.count()),
            true);
        mRetryTimer.start(delay);
        return;
    }
    case Outcome::Retry: {
        const std::chrono::milliseconds delay = mRetryCountEngine1 < FirstRetries
                                                    ? mServices.timings.firstRetryDelay
                                                    : mServices.timings.laterRetryDelay;
        ++mRetryCountEngine1;
        mScheduledRetryDelays << delay;
        mServices.logger->logDaemonTrace(
            QStringLiteral("RetryEnginOne will start after :%1 sec")
                .arg(std::chrono::duration_cast<std::chrono::seconds>(delay).count()),
            true);
        mRetryTimer.start(delay);
        return;
    }
    case Outcome::NextSet:
    case Outcome::Finished:
        if (BackupRunDecision::isPartial(end) && mSetFileErrors == 0)
            ++mFailureCount; // rsync named files it could not send in a form the adapter did not tag
        break;
    default:
        break;
    }

    if (outcome == Outcome::NextSet) {
        mRetryCountEngine1 = 0;
        if (continueBackupEngine(engine)) {
            tellState();
            mNextSetTimer.start(mServices.timings.nextSetPause);
            return;
        }
        endRun(Outcome::Failed,
               QStringLiteral("Not able to continue backup some problem so setting backup running NO."));
        return;
    }
    if (outcome == Outcome::GiveUp) {
        endRun(outcome, QStringLiteral("10 retrys hapend so not able to continue operation"));
        return;
    }
    if (outcome == Outcome::Refused) {
        endRun(outcome,
               QStringLiteral("The Zorvik Hollin device refused the password of account \"%1\". Log in "
                              "again with the account's current password; the backup goes on then.")
                   .arg(mUserDetails.value(Protocol::UserName).toString()));
        return;
    }
    if (outcome == Outcome::Failed) {
        const QString text = mSetErrors.trimmed().isEmpty()
                                 ? QStringLiteral("rsync ended before the backup set was sent.")
                                 : mSetErrors.trimmed();
        endRun(outcome, text);
        return;
    }
    endRun(outcome, QString());
}

void RSyncBackupManager::RetryEnginOne(FreeNasCommandExecuter* engine) {
    mServices.logger->logDaemonTrace(QStringLiteral("RetryEnginOne called"), true);
    mEngineOneRetryFlag = false;
    RsyncProcessLoadsharing(engine);
}
