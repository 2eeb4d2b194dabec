#include "RSyncBackupManager.h"

#include "DistributedNotificationCenter.h"
#include "ExcludeManager.h"
#include "FileTools.h"
#include "PropertyList.h"
#include "RezodeLoger.h"
#include "RsyncConventions.h"
#include "RsyncErrorClassifier.h"
#include "TimeMachineTool.h"

#include <Protocol.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSet>

namespace {
QString readText(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

bool writeText(const QString& path, const QString& text) {
    return FileTools::writeAtomically(path, text.toUtf8(), 0644);
}

// Once each, in first-seen order.
QStringList unique(const QStringList& paths) {
    QStringList out;
    QSet<QString> seen;
    out.reserve(paths.size());
    for (const QString& path : paths)
        if (!seen.contains(path)) {
            seen.insert(path);
            out << path;
        }
    return out;
}
} // namespace

RSyncBackupManager::RSyncBackupManager(DaemonServices services, const ExcludeManager* excludes,
                                       QObject* parent)
    : QObject(parent), mServices(std::move(services)), mExcludes(excludes),
      mEngineOne(std::make_unique<FreeNasCommandExecuter>(this, mServices.logger,
                                                          mServices.timings.processExitGrace)),
      mDbManagerObj(IndexThrottle(mServices.timings)) {
    mRetryTimer.setSingleShot(true);
    mNextSetTimer.setSingleShot(true);
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
    appSupportFilePathsObjct =
        std::make_unique<FilePathsController>(FilePathsController::Table::Daemon, mServices.profile);
    appSupportFilePathsObjct->setM_ConsoleUserName(consoleUser);
    // Set files left by a run that the daemon's end cut short are owed to the appliance: put them
    // back before the folder is cleared.
    const QString syncUp = appSupportFilePathsObjct->pathForApplicationFile(DaemonPath::SyncUpFolder);
    if (!QDir(syncUp).isEmpty(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot)) {
        mServices.logger->logDaemonTrace(
            QStringLiteral("Unfinished backup sets found at start, re-queueing them."), true);
        AddTheCurrentBackupSetIntoArray();
    }
    createTempFilePaths();
    mDbManagerObj.setWithDetails({{DBManager::DbPathKey, appSupportFilePathsObjct->pathForApplicationFile(
                                                             DaemonPath::UserSupportFolder)},
                                  {DBManager::UserKey, applianceUser}});
    mDbManagerObj.startDBOperation();
    if (mScratchFolder.isEmpty())
        mScratchFolder = mServices.profile.homeOf(QString());
}

void RSyncBackupManager::createTempFilePaths() {
    const QString syncUp = appSupportFilePathsObjct->pathForApplicationFile(DaemonPath::SyncUpFolder);
    QDir(syncUp).removeRecursively();
    FileTools::makePath(syncUp);
    mBackupTempSourceFilePath = QStringLiteral("%1/File").arg(syncUp);
    mSourceA = QStringLiteral("%1/SourceA").arg(syncUp);
}

void RSyncBackupManager::removeTempFilePaths() {
    QDir(appSupportFilePathsObjct->pathForApplicationFile(DaemonPath::SyncUpFolder)).removeRecursively();
}

QString RSyncBackupManager::setFilePath(int number) const {
    return QStringLiteral("%1_%2").arg(mBackupTempSourceFilePath).arg(number);
}

QString RSyncBackupManager::userDetailsPath() const {
    return appSupportFilePathsObjct->pathForApplicationFile(DaemonPath::UserDetails);
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
    if (!appSupportFilePathsObjct)
        return false;
    return QFileInfo::exists(
               appSupportFilePathsObjct->pathForApplicationFile(DaemonPath::InitialSetReadyMarker)) ||
           QFileInfo::exists(
               appSupportFilePathsObjct->pathForApplicationFile(DaemonPath::InitialBackupStartedMarker));
}

RsyncOutputParser RSyncBackupManager::progressCounters() const {
    QMutexLocker lock(&mParseLock);
    return mParser;
}

void RSyncBackupManager::startBackup() {
    {
        QMutexLocker lock(&mParseLock);
        mParser.reset();
    }
    ExecuteBackup();
}

void RSyncBackupManager::ExecuteBackup() {
    RezodeLoger& trace = *mServices.logger;
    trace.logDaemonTrace(QStringLiteral("ExecuteBackup Called"), true);
    FileTools::makePath(appSupportFilePathsObjct->pathForApplicationFile(DaemonPath::SyncUpFolder));

    mIsInitalBackupList = false;
    mBackupsetFileCount = 0;
    isEngine1Started = false;
    mBackupsetCountOnTheFly = -1;
    mEngineOneRetryFlag = false;
    mRetryCountEngine1 = 0;
    mFailureCount = 0;
    mIsBackupCanceld = false;
    misQuotaExceded = false;
    mScheduledRetryDelays.clear();
    mIsRunningFlag = true;

    const QString ready = appSupportFilePathsObjct->pathForApplicationFile(DaemonPath::InitialSetReadyMarker);
    if (QFileInfo::exists(ready)) {
        trace.logDaemonTrace(QStringLiteral("Initial Backup exist"), true);
        const QStringList initial = PropertyList::readStringArray(
            appSupportFilePathsObjct->pathForApplicationFile(DaemonPath::InitialBackupList));
        if (mFileSetForOperation.size() >= initial.size()) {
            trace.logDaemonTrace(QStringLiteral("Initial Backup started"), true);
            writeText(
                appSupportFilePathsObjct->pathForApplicationFile(DaemonPath::InitialBackupStartedMarker),
                Protocol::MarkerContent);
            QFile::remove(ready);
        }
        mIsInitalBackupList = true;
    }

    for (const QString& path : std::as_const(mFileSetForOperation))
        if (!mExcludes || !mExcludes->hasInInitialExcludeList(path))
            mSelectedFilePaths << path;
    QStringList selected = mSelectedFilePaths;
    mSelectedFilePaths.clear();
    writeBackupFilesListToRsyncInputFile(selected);
    trace.logDaemonTrace(QStringLiteral("ExecuteBackup End"), true);
}

void RSyncBackupManager::writeBackupFilesListToRsyncInputFile(QStringList& paths) {
    const QStringList all = unique(paths);
    paths.clear();
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
        endInitialBackup();
        if (delegate)
            delegate->operationDidFinishSuccessfully(this);
    }
}

void RSyncBackupManager::writeBackupSetList(const QStringList& batch, int fileCount, int startEngine) {
    const QString setFile = setFilePath(fileCount);
    if (!writeText(setFile, batch.join(u'\n')))
        mServices.logger->logDaemonTrace(QStringLiteral("Could not write backup set %1").arg(setFile), true);
    if (startEngine == 1 && !isEngine1Started) {
        isEngine1Started = true;
        RSyncfireBackupProcessForEngine({QStringLiteral("1"), setFile});
    }
}

bool RSyncBackupManager::setSourceFileContents(const QString& setFile) {
    if (!QFileInfo::exists(setFile))
        return false;
    QFile::remove(mSourceA);
    return writeText(mSourceA, readText(setFile));
}

void RSyncBackupManager::loadUploadingFileList() {
    uploadingFileList = readText(mSourceA).split(u'\n', Qt::SkipEmptyParts);
}

RsyncConventions::Command RSyncBackupManager::backupCommand() const {
    const bool builtin = mIsBuiltinRsync;
    const QString user = mUserDetails.value(Protocol::UserName).toString();
    const QString remote = RsyncConventions::remotePath(
        RsyncConventions::RemoteForm::UserItem,
        {user, mUserDetails.value(Protocol::Ip).toString(), user, mDestinationPath},
        builtin ? RsyncConventions::Launch::Shell : RsyncConventions::Launch::Direct);
    return RsyncConventions::command(
        builtin, mBackupExecutorPath,
        {QStringLiteral("--progress"), QStringLiteral("--dirs"), QStringLiteral("--recursive"),
         QStringLiteral("-v")},
        appSupportFilePathsObjct->pathForApplicationFile(DaemonPath::BackupPasswordFile), mSourceA,
        QStringLiteral("/"), remote);
}

void RSyncBackupManager::RSyncfireBackupProcessForEngine(const QStringList& engineAndSetFile) {
    if (engineAndSetFile.size() < 2 || engineAndSetFile.first() != QLatin1String("1"))
        return;
    setSourceFileContents(engineAndSetFile.at(1));
    ++mBackupsetCountOnTheFly;

    // The password goes only into a file nobody else can read, created with its mode.
    const QVariantMap details = PropertyList::readDictionary(userDetailsPath());
    QString error;
    if (!RsyncConventions::writePasswordFile(
            appSupportFilePathsObjct->pathForApplicationFile(DaemonPath::BackupPasswordFile),
            details.value(Protocol::Password).toString(), RsyncConventions::DaemonPasswordFileMode, &error))
        mServices.logger->logDaemonTrace(QStringLiteral("Could not write the password file: %1").arg(error),
                                         true);

    loadUploadingFileList();
    const RsyncConventions::Command command = backupCommand();
    if (delegate)
        delegate->operationDidStart(this);
    mEngineOne->setLaunchPath(command.program);
    launchCurrentSet();
}

void RSyncBackupManager::launchCurrentSet() {
    mOutJoiner.reset();
    mErrJoiner.reset();
    mSetErrors.clear();
    mSetSawSummary = false;
    mSetFileErrors = 0;
    const RsyncConventions::Command command = backupCommand();
    mEngineOne->setEnvironment({});
    mEngineOne->setArguments(command.arguments);
    mEngineOne->startProcess();
}

void RSyncBackupManager::RsyncProcessLoadsharing(FreeNasCommandExecuter* engine) {
    if (engine != mEngineOne.get())
        return;
    if (!QFileInfo::exists(mSourceA)) {
        mServices.logger->logDaemonTrace(
            QStringLiteral("RsyncProcessLoadsharing mSourceA is missing not able to continue backup"), true);
        mIsRunningFlag = false;
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
        mRetryTimer.stop();
        mNextSetTimer.stop();
        mIsBackupCanceld = true;
        endRunCancelled();
    }
}

// ---- output ------------------------------------------------------------------------------------

void RSyncBackupManager::updateProgress(const QString& text, FreeNasCommandExecuter* engine) {
    Q_UNUSED(engine)
    const QString whole = mOutJoiner.take(text);
    if (whole.isEmpty())
        return;
    if (RsyncErrorClassifier::hasTransferSummary(whole))
        mSetSawSummary = true;
    if (!mIsBuiltinRsync) {
        parseOutputChunk(whole, false, {});
        return;
    }
    // The set's paths go with the chunk, so a chunk parsed after the next set was loaded is still
    // matched against its own set; one thread parses the chunks in the order they came.
    const QStringList setPaths = uploadingFileList;
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
    for (const RsyncOutputParser::Event& event : events) {
        if (!event.progress.isEmpty() && mIsRunningFlag && delegate)
            delegate->operationDidReceiveData(event.progress);
        if (!event.file.isEmpty()) {
            mDbManagerObj.addFileToBackup(event.file);
            mServices.logger->logSessionTrace(QStringLiteral("Backup completed for %1").arg(event.file),
                                              true);
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
    case RsyncErrorClassifier::Kind::PerFileError:
        if (delegate)
            delegate->operationDidReceiveErrors(text, result.line);
        ++mFailureCount;
        ++mSetFileErrors;
        trace.logDaemonTrace(result.line, true);
        return;
    case RsyncErrorClassifier::Kind::Network:
        if (delegate)
            delegate->operationDidFailWithError(text);
        if (engine == mEngineOne.get()) {
            trace.logDaemonTrace(text, true);
            trace.logDaemonTrace(QStringLiteral("Check wether server Ip changed."), true);
            checkServerAddress();
            trace.logDaemonTrace(QStringLiteral("Retrying.."), true);
            mEngineOneRetryFlag = true;
        }
        return;
    case RsyncErrorClassifier::Kind::Quota:
        if (engine && engine->isRunning()) {
            engine->stopProcess();
            misQuotaExceded = true;
            trace.logDaemonTrace(text, true);
        }
        return;
    case RsyncErrorClassifier::Kind::None:
        mSetErrors += text;
        return;
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
    QVariantMap details = PropertyList::readDictionary(userDetailsPath());
    const QString stored = details.value(Protocol::Ip).toString();
    const QString sharePath = details.value(Protocol::TMSharePath).toString();
    const QString found = fetchIP();
    if (found.isEmpty())
        return;
    trace.logDaemonTrace(QStringLiteral("plistIpAddress:%1 ipAddr:%2").arg(stored, found), true);
    if (stored == found)
        return;
    details.insert(Protocol::Ip, found);
    PropertyList::writeDictionary(userDetailsPath(), details, PropertyList::OwnerOnlyMode);
    mUserDetails.insert(Protocol::Ip, found);
    trace.logDaemonTrace(QStringLiteral("server Ip changed and update to plist."), true);
    trace.logDaemonTrace(QStringLiteral("mUserDetails:%1").arg(maskedDescription(mUserDetails)), true);
    if (delegate)
        delegate->serverAddressDidChange(found);
    mTimeMachineThreads.emplace_back([this, sharePath] { addBackupToTimeMachineList(sharePath); });
}

bool RSyncBackupManager::addBackupToTimeMachineList(const QString& sharePath) {
    if (sharePath.isEmpty())
        return false;
    const QVariantMap details = PropertyList::readDictionary(userDetailsPath());
    const QString user = details.value(Protocol::UserName).toString();
    const QString password = details.value(Protocol::Password).toString();
    const QString address = details.value(Protocol::Ip).toString();
    const QString destination =
        sharePath.startsWith(u'/')
            ? QStringLiteral("afp://%1:%2@%3%4").arg(user, password, address, sharePath)
            : QStringLiteral("afp://%1:%2@%3/%4").arg(user, password, address, sharePath);
    const TimeMachineTool tool(mServices.profile.snapshotToolPath);
    const TimeMachineTool::Result result = tool.run({QStringLiteral("setdestination"), destination});
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

void RSyncBackupManager::deletePasswordFile() {
    QFile::remove(appSupportFilePathsObjct->pathForApplicationFile(DaemonPath::BackupPasswordFile));
}

QStringList RSyncBackupManager::requeuePaths() const {
    QStringList lines;
    const QString syncUp = appSupportFilePathsObjct->pathForApplicationFile(DaemonPath::SyncUpFolder);
    const QFileInfoList entries =
        QDir(syncUp).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo& entry : entries)
        lines << readText(entry.absoluteFilePath()).split(u'\n', Qt::SkipEmptyParts);
    return lines;
}

void RSyncBackupManager::AddTheCurrentBackupSetIntoArray() {
    RezodeLoger& trace = *mServices.logger;
    trace.logDaemonTrace(QStringLiteral("AddTheCurrentBackupSetIntoArray called"), true);
    trace.logDaemonTrace(QStringLiteral("current set going on is:File_%1").arg(mBackupsetCountOnTheFly - 1),
                         true);
    const QStringList lines = requeuePaths();
    if (lines.isEmpty())
        return;
    const QString folder = appSupportFilePathsObjct->pathForApplicationFile(DaemonPath::BackupListsFolder);
    FileTools::makePath(folder);
    const QString target = QStringLiteral("%1/remainingFiles").arg(folder);
    // A "remainingFiles" nobody has taken yet is owed too: add to it rather than replace it.
    QStringList all = readText(target).split(u'\n', Qt::SkipEmptyParts);
    all << lines;
    if (!writeText(target, unique(all).join(u'\n')))
        trace.logDaemonTrace(QStringLiteral("Could not write %1").arg(target), true);
}

void RSyncBackupManager::endRunCancelled() {
    RezodeLoger& trace = *mServices.logger;
    trace.logDaemonTrace(QStringLiteral("Backup canceld in the middle."), true);
    trace.logDaemonTrace(QStringLiteral("onFliNumber:%1").arg(mBackupsetCountOnTheFly), true);
    AddTheCurrentBackupSetIntoArray();
    if (delegate)
        delegate->operationDidCancel(this);
    deletePasswordFile();
    removeTempFilePaths();
    mIsRunningFlag = false;
}

void RSyncBackupManager::endRunWithFailure(const QString& text, bool requeue) {
    if (requeue)
        AddTheCurrentBackupSetIntoArray();
    deletePasswordFile();
    if (delegate)
        delegate->operationDidFailWithError(text);
    removeTempFilePaths();
    mIsRunningFlag = false;
}

void RSyncBackupManager::endInitialBackup() {
    const QString started =
        appSupportFilePathsObjct->pathForApplicationFile(DaemonPath::InitialBackupStartedMarker);
    if (!QFileInfo::exists(started))
        return;
    mServices.logger->logDaemonTrace(QStringLiteral("Initial Backup Finished sucess full"), true);
    QFile::remove(started);
    if (delegate)
        delegate->initialBackupFinished(this);
}

void RSyncBackupManager::finishRun() {
    RezodeLoger& trace = *mServices.logger;
    trace.logDaemonTrace(backupFailureCount() < 1 ? QStringLiteral("Backup Finished sucess full")
                                                  : QStringLiteral("Backup finished partial check errors"),
                         true);
    endInitialBackup();
    mIsInitalBackupList = false;
    mIsRunningFlag = false;
    if (delegate)
        delegate->operationDidFinishSuccessfully(this);
    deletePasswordFile();
    removeTempFilePaths();
}

void RSyncBackupManager::processFinishedOfEngine(FreeNasCommandExecuter* engine) {
    // Whatever the child said last belongs to this set: the unfinished last lines, and the chunks
    // still waiting for the parser, come before the decision.
    const QString outRest = mOutJoiner.flush();
    if (!outRest.isEmpty()) {
        if (RsyncErrorClassifier::hasTransferSummary(outRest))
            mSetSawSummary = true;
        if (mIsBuiltinRsync) {
            const QStringList setPaths = uploadingFileList;
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

    RezodeLoger& trace = *mServices.logger;
    const bool mine = engine == mEngineOne.get();

    if (misQuotaExceded && mine) {
        trace.logDaemonTrace(QStringLiteral("Backup Stoped in the middle due to Quota Exceded."), true);
        if (delegate)
            delegate->quotaExceded(this);
        deletePasswordFile();
        removeTempFilePaths();
        mIsRunningFlag = false;
        const QString started =
            appSupportFilePathsObjct->pathForApplicationFile(DaemonPath::InitialBackupStartedMarker);
        if (QFileInfo::exists(started)) {
            trace.logDaemonTrace(QStringLiteral("Initial Backup File removed due to Quota Exceded"), true);
            QFile::remove(started);
        }
        return;
    }
    if (mIsBackupCanceld && mine) {
        endRunCancelled();
        return;
    }
    if (mine && mEngineOneRetryFlag && mRetryCountEngine1 < MaxRetries) {
        const std::chrono::milliseconds delay = mRetryCountEngine1 < FirstRetries
                                                    ? mServices.timings.firstRetryDelay
                                                    : mServices.timings.laterRetryDelay;
        ++mRetryCountEngine1;
        mScheduledRetryDelays << delay;
        trace.logDaemonTrace(QStringLiteral("RetryEnginOne will start after :%1 sec")
                                 .arg(std::chrono::duration_cast<std::chrono::seconds>(delay).count()),
                             true);
        mRetryTimer.start(delay);
        return;
    }
    if (!mEngineOneRetryFlag) {
        // rsync gave up, or ended before it had gone through the list, without any of the texts
        // above: that set was not sent, so the run is a failure and owes its paths.
        const bool partial =
            mSetFileErrors > 0 || (mSetSawSummary && RsyncErrorClassifier::isPartialTransfer(mSetErrors));
        const bool failed = !partial && (RsyncErrorClassifier::isRsyncFailure(mSetErrors) || !mSetSawSummary);
        if (failed) {
            const QString text = mSetErrors.trimmed().isEmpty()
                                     ? QStringLiteral("rsync ended before the backup set was sent.")
                                     : mSetErrors.trimmed();
            trace.logDaemonTrace(QStringLiteral("Backup set failed: %1").arg(text), true);
            endRunWithFailure(text, true);
            return;
        }
        if (partial && mSetFileErrors == 0)
            ++mFailureCount;
    }
    if (!mEngineOneRetryFlag && mBackupsetCountOnTheFly + 1 >= mBackupsetFileCount) {
        finishRun();
        return;
    }
    if (!mEngineOneRetryFlag && mine) {
        if (continueBackupEngine(engine)) {
            mNextSetTimer.start(mServices.timings.nextSetPause);
        } else {
            const QString text =
                QStringLiteral("Not able to continue backup some problem so setting backup running NO.");
            trace.logDaemonTrace(text, true);
            deletePasswordFile();
            if (delegate)
                delegate->operationDidFailWithError(text);
            removeTempFilePaths();
            mIsRunningFlag = false;
        }
        mRetryCountEngine1 = 0;
        return;
    }
    if (mEngineOneRetryFlag && mRetryCountEngine1 >= MaxRetries) {
        const QString text = QStringLiteral("10 retrys hapend so not able to continue operation");
        trace.logDaemonTrace(text, true);
        mEngineOneRetryFlag = false;
        mRetryCountEngine1 = 0;
        deletePasswordFile();
        if (isIntialBackuprunning()) {
            trace.logDaemonTrace(
                QStringLiteral(
                    "Initial Backup was going on after network connect user has to clik startbackup."),
                true);
            AddTheCurrentBackupSetIntoArray();
            if (mServices.notifications)
                mServices.notifications->postNotification(Protocol::IntialBackupFailedDueToNetworkConnection,
                                                          {}, Protocol::PostDeliverImmediatelyToAllSessions);
        } else {
            // The lists of this run are gone from the backup list folder; what it owed comes back
            // with a later run once the appliance answers again.
            AddTheCurrentBackupSetIntoArray();
        }
        if (delegate)
            delegate->operationDidFailWithError(text);
        removeTempFilePaths();
        mIsRunningFlag = false;
    }
}

void RSyncBackupManager::RetryEnginOne(FreeNasCommandExecuter* engine) {
    mServices.logger->logDaemonTrace(QStringLiteral("RetryEnginOne called"), true);
    mEngineOneRetryFlag = false;
    RsyncProcessLoadsharing(engine);
}
