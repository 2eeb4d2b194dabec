#include "RSyncBackupManager.h"
#include "BackupRunSupport.h"
#include "FileTools.h"
#include "PropertyList.h"
#include "RsyncConventions.h"
#include "UtilityClass.h"

#include <Protocol.h>

#include <QDir>
#include <QFile>
#include <QSet>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {
// Records what the manager reports, for runs without the controller.
struct RecordingDelegate : RSyncBackupManagerDelegate {
    QStringList events;
    QStringList failures;
    void operationDidStart(RSyncBackupManager*) override { events << "start"; }
    void operationDidReceiveData(const QVariantMap&) override {}
    void operationDidReceiveErrors(const QString&, const QString&) override { events << "fileErrors"; }
    void operationDidFailWithError(const QString& text) override {
        events << "fail";
        failures << text;
    }
    void quotaExceded(RSyncBackupManager*) override { events << "quota"; }
    void operationDidCancel(RSyncBackupManager*) override { events << "cancel"; }
    void initialBackupFinished(RSyncBackupManager*) override { events << "initialFinished"; }
    void operationDidFinishSuccessfully(RSyncBackupManager*) override { events << "finished"; }
};

} // namespace

TEST(BackupCommandLine, PrivateCopyGetsEightArgumentsAndTheShellFormIsEscaped) {
    DaemonTestServices svc;
    RSyncBackupManager manager(svc.services(BackupRunSupport::shortTimings()), nullptr);
    manager.initializeApplicationSupportPaths(svc.user.name, QStringLiteral("alice"));
    manager.setMDestinationPath(QStringLiteral("MyMac"));
    manager.setMBackupExecutorPath(QStringLiteral("/opt/zh/ZorvikHollin_ver_001"));
    manager.setMUserDetails({{Protocol::UserName, QStringLiteral("o'brien $(id)")},
                             {Protocol::Password, QStringLiteral("pw")},
                             {Protocol::Ip, QStringLiteral("10.0.0.2")}});
    const FilePathsController& paths = manager.paths();
    const QString pw = paths.pathForApplicationFile(DaemonPath::BackupPasswordFile);

    auto direct = manager.backupCommand();
    EXPECT_EQ(direct.program, "/opt/zh/ZorvikHollin_ver_001");
    EXPECT_EQ(direct.arguments, (QStringList{"--progress", "--dirs", "--recursive", "-v",
                                             "--password-file=" + pw, "--files-from=" + manager.sourceAPath(),
                                             "/", "o'brien $(id)@10.0.0.2::\"backup/o'brien $(id)/MyMac\""}));

    manager.setIsBuiltinRsync(true);
    auto shell = manager.backupCommand();
    EXPECT_EQ(shell.program, "/bin/bash");
    ASSERT_EQ(shell.arguments.size(), 2);
    EXPECT_EQ(shell.arguments[0], "-c");
    EXPECT_TRUE(shell.arguments[1].startsWith("rsync --progress --dirs --recursive -v --password-file=\""));
    // The user name cannot leave its quotes: the shell sees no command substitution.
    EXPECT_FALSE(shell.arguments[1].contains("$(id)@"));
    QProcess echo;
    echo.start("/bin/bash",
               {"-c", "printf '%s\\n' " + shell.arguments[1].mid(QStringLiteral("rsync ").size())});
    ASSERT_TRUE(echo.waitForFinished());
    const QStringList words = QString::fromUtf8(echo.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(words.last(), "o'brien $(id)@10.0.0.2::backup/o'brien $(id)/MyMac");
}

TEST(BackupDetails, TheTraceNeverShowsThePassword) {
    const QString text = RSyncBackupManager::maskedDescription(
        {{Protocol::UserName, "alice"}, {Protocol::Password, "topsecret"}, {Protocol::Ip, "1.2.3.4"}});
    EXPECT_FALSE(text.contains("topsecret"));
    EXPECT_TRUE(text.contains("password = \"********\";"));
    EXPECT_TRUE(text.contains("ip = \"1.2.3.4\";"));
}

TEST(BackupStartUp, SetsOfARunCutShortAreRequeuedBeforeTheFolderIsCleared) {
    DaemonTestServices svc;
    FilePathsController paths(FilePathsController::Table::Daemon, svc.root.profile());
    paths.setM_ConsoleUserName(svc.user.name);
    const QString syncUp = paths.pathForApplicationFile(DaemonPath::SyncUpFolder);
    const QString lists = paths.pathForApplicationFile(DaemonPath::BackupListsFolder);
    FileTools::makePath(syncUp);
    FileTools::makePath(lists);
    FileTools::writeAtomically(syncUp + "/File_0", "/h/a\n/h/b", 0644);
    FileTools::writeAtomically(syncUp + "/File_1", "/h/c", 0644);
    FileTools::writeAtomically(syncUp + "/SourceA", "/h/b", 0644);
    FileTools::writeAtomically(lists + "/remainingFiles", "/h/old\n/h/a", 0644);

    RSyncBackupManager manager(svc.services(BackupRunSupport::shortTimings()), nullptr);
    manager.initializeApplicationSupportPaths(svc.user.name, QStringLiteral("alice"));

    QFile f(lists + "/remainingFiles");
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    QStringList lines = QString::fromUtf8(f.readAll()).split('\n');
    lines.sort();
    EXPECT_EQ(lines, (QStringList{"/h/a", "/h/b", "/h/c", "/h/old"}));
    EXPECT_TRUE(QDir(syncUp).exists());
    EXPECT_TRUE(QDir(syncUp).isEmpty());
    EXPECT_TRUE(svc.trace().contains("AddTheCurrentBackupSetIntoArray called"));
}

TEST(BackupStop, StopWhileIdleChangesNothingButTheCounters) {
    DaemonTestServices svc;
    RSyncBackupManager manager(svc.services(BackupRunSupport::shortTimings()), nullptr);
    RecordingDelegate delegate;
    manager.setDelegate(&delegate);
    manager.initializeApplicationSupportPaths(svc.user.name, QStringLiteral("alice"));
    manager.StopOnGoingBackup();
    EXPECT_TRUE(delegate.events.isEmpty());
    EXPECT_FALSE(manager.mIsRunning());
    EXPECT_TRUE(svc.trace().contains("StopOnGoingBackup called."));
}

// Runs against the appliance without the controller: retries, give-up, cancel while waiting, quota.
class ManagerRuns : public ::testing::Test {
  protected:
    void start(Appliance::Options options = Appliance::Options()) {
        const QString reason = run.setUp(options);
        if (!reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        manager = std::make_unique<RSyncBackupManager>(run.services(), nullptr);
        manager->setDelegate(&delegate);
        manager->initializeApplicationSupportPaths(run.svc.user.name, "alice");
        manager->setMDestinationPath(UtilityClass::machineName());
        manager->setApplianceHostName(run.appliance->address());
    }
    void go(const QStringList& paths) {
        manager->setFileSetForOperation(paths);
        manager->setMUserDetails(run.userDetails());
        manager->setMBackupExecutorPath(run.path(DaemonPath::PrivateRsync));
        manager->startBackup();
    }
    void markInitialBackup(const QStringList& paths) {
        PropertyList::writeStringArray(run.path(DaemonPath::InitialBackupList), paths,
                                       PropertyList::PublicMode);
        FileTools::writeAtomically(run.path(DaemonPath::InitialSetReadyMarker), "1", 0644);
    }
    bool waitIdle(int ms) {
        return waitUntil([&] { return !manager->mIsRunning(); }, ms);
    }

    BackupRunSupport run;
    RecordingDelegate delegate;
    std::unique_ptr<RSyncBackupManager> manager;
};

TEST_F(ManagerRuns, ElevenNetworkFailuresGiveUpAndRequeueTheInitialBackup) {
    start();
    if (IsSkipped())
        return;
    const QStringList folders = {run.home() + "/A", run.home() + "/B"};
    run.makeFiles("A", 2);
    run.makeFiles("B", 2);
    markInitialBackup(folders);
    run.appliance->stop();
    go(folders);
    ASSERT_TRUE(waitIdle(60000));

    QList<std::chrono::milliseconds> expected(3, 100ms);
    expected << QList<std::chrono::milliseconds>(7, 200ms);
    EXPECT_EQ(manager->scheduledRetryDelays(), expected);
    EXPECT_EQ(delegate.events.last(), "fail");
    EXPECT_EQ(delegate.failures.last(), "10 retrys hapend so not able to continue operation");
    EXPECT_EQ(delegate.failures.count(), 2); // the refused connection, told once, and the give-up
    EXPECT_TRUE(delegate.failures.first().contains("Connection refused"));
    const QString trace = run.trace();
    EXPECT_EQ(trace.count("RetryEnginOne called"), 10);
    EXPECT_TRUE(
        trace.contains("Initial Backup was going on after network connect user has to clik startbackup."));
    EXPECT_TRUE(
        trace.contains("plistIpAddress:" + run.appliance->address() + " ipAddr:" + run.appliance->address()));
    QStringList remaining = run.readLines(run.path(DaemonPath::BackupListsFolder) + "/remainingFiles");
    remaining.sort();
    EXPECT_EQ(remaining, folders);
    EXPECT_TRUE(waitUntil([&] { return run.initialBackupFailedPosts == 1; }, 5000));
    EXPECT_TRUE(QFile::exists(run.path(DaemonPath::InitialBackupStartedMarker)));
    EXPECT_FALSE(QFile::exists(run.path(DaemonPath::BackupPasswordFile)));
    EXPECT_FALSE(QDir(run.path(DaemonPath::SyncUpFolder)).exists());
}

TEST_F(ManagerRuns, PauseWhileWaitingForARetryEndsTheRunAsCancelled) {
    start();
    if (IsSkipped())
        return;
    const QStringList files = run.makeFiles("Docs", 3);
    run.appliance->stop();
    go(files);
    ASSERT_TRUE(waitUntil([&] { return manager->scheduledRetryDelays().size() == 1; }, 20000));
    manager->StopOnGoingBackup();
    EXPECT_FALSE(manager->mIsRunning());
    EXPECT_EQ(delegate.events.last(), "cancel");
    spinFor(400); // no retry starts behind the user's back
    EXPECT_EQ(run.trace().count("RetryEnginOne called"), 0);
    QStringList remaining = run.readLines(run.path(DaemonPath::BackupListsFolder) + "/remainingFiles");
    remaining.sort();
    EXPECT_EQ(remaining, files);
}

TEST_F(ManagerRuns, FullApplianceStopsTheRunKillsRsyncAndRemovesTheMarker) {
    Appliance::Options options;
    options.tmpfs = true;
    options.tmpfsBytes = 2 * 1024 * 1024;
    start(options);
    if (IsSkipped())
        return;
    const QString dir = run.home() + "/Big";
    QDir().mkpath(dir);
    QFile big(dir + "/blob.bin");
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    QByteArray chunk(1024 * 1024, 0);
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < chunk.size(); ++j)
            chunk[j] = char((j * 7919 + i * 104729) >> 3);
        big.write(chunk);
    }
    big.close();
    markInitialBackup({dir});
    go({dir});
    ASSERT_TRUE(waitIdle(60000));
    EXPECT_EQ(delegate.events.last(), "quota");
    const QString trace = run.trace();
    EXPECT_TRUE(trace.contains("Backup Stoped in the middle due to Quota Exceded."));
    EXPECT_TRUE(trace.contains("Initial Backup File removed due to Quota Exceded"));
    // The paths wait until there is space again.
    EXPECT_EQ(run.readLines(run.path(DaemonPath::BackupListsFolder) + "/remainingFiles"), QStringList{dir});
    EXPECT_TRUE(manager->isBackingOff());
    EXPECT_FALSE(QFile::exists(run.path(DaemonPath::InitialBackupStartedMarker)));
    EXPECT_FALSE(QFile::exists(run.path(DaemonPath::BackupPasswordFile)));
    EXPECT_FALSE(manager->engine()->isRunning());
    // The private copy is killed; the rsync it ran ends once its pipes are gone.
    EXPECT_TRUE(waitUntil(
        [&] {
            return RsyncConventions::strayRsyncProcesses({run.path(DaemonPath::BackupPasswordFile)})
                .isEmpty();
        },
        10000));
}

TEST_F(ManagerRuns, WrongPasswordIsAFailureWithItsTextAndTheSetIsRequeued) {
    start();
    if (IsSkipped())
        return;
    const QStringList files = run.makeFiles("Docs", 4);
    run.writeUserDetails({{Protocol::Password, "wrong one"}});
    go(files);
    ASSERT_TRUE(waitIdle(30000));
    ASSERT_FALSE(delegate.events.contains("finished"));
    EXPECT_EQ(delegate.events.last(), "fail");
    EXPECT_TRUE(delegate.failures.last().contains("auth failed")) << delegate.failures.last().toStdString();
    QStringList remaining = run.readLines(run.path(DaemonPath::BackupListsFolder) + "/remainingFiles");
    remaining.sort();
    EXPECT_EQ(remaining, files);
    EXPECT_FALSE(QFile::exists(run.onAppliance(files.first())));
    EXPECT_FALSE(run.trace().contains("wrong one"));
}

TEST_F(ManagerRuns, RsyncThatCannotStartIsAFailureNotASuccess) {
    start();
    if (IsSkipped())
        return;
    const QStringList files = run.makeFiles("Docs", 2);
    manager->setFileSetForOperation(files);
    manager->setMUserDetails(run.userDetails());
    manager->setMBackupExecutorPath(run.svc.root.path() + "/no/such/rsync");
    manager->startBackup();
    ASSERT_TRUE(waitIdle(10000));
    EXPECT_EQ(delegate.events.last(), "fail");
    EXPECT_EQ(delegate.failures.last(), "rsync ended before the backup set was sent.");
    EXPECT_EQ(run.readLines(run.path(DaemonPath::BackupListsFolder) + "/remainingFiles").size(), 2);
}
