#include "ReadController.h"
#include "BackupRunSupport.h"
#include "ExcludeManager.h"
#include "FileTools.h"
#include "PropertyList.h"

#include <Protocol.h>

#include <QDir>
#include <QFile>
#include <QSet>

#include <unistd.h>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

// The backup controller with the manager, the appliance and the application's side of the bus.
class ControllerRuns : public ::testing::Test {
  protected:
    bool start(Appliance::Options options = Appliance::Options()) {
        const QString reason = run.setUp(options);
        if (!reason.isEmpty()) {
            skipReason = reason;
            return false;
        }
        return true;
    }
    // passes: let the 5-second pass (shortened) run; otherwise the test calls ReadOperation itself.
    void init(bool passes, bool withExcludes = false) {
        Timings t = BackupRunSupport::shortTimings();
        if (!passes)
            t.backupPassInterval = std::chrono::hours(1);
        DaemonServices s = run.svc.services(t);
        if (withExcludes) {
            excludes = std::make_unique<ExcludeManager>(s, nullptr);
            excludes->setConsoleUserName(run.svc.user.name);
        }
        controller = std::make_unique<ReadController>(s, excludes.get());
        controller->initReaderController({{"ConsoleUser", run.svc.user.name}});
        controller->backupManager().setApplianceHostName(run.appliance->address());
    }
    bool waitFor(const QString& progressText, int ms = 60000) {
        return waitUntil([&] { return run.progressTexts().contains(progressText); }, ms);
    }
    bool waitIdleAndDelivered(int ms = 60000) {
        const bool idle = waitUntil([&] { return !controller->backupManager().mIsRunning(); }, ms);
        spinFor(300); // the last posts cross the bus
        return idle;
    }
    void expectOnAppliance(const QStringList& files) {
        int missing = 0;
        for (const QString& f : files)
            if (!QFile::exists(run.onAppliance(f)))
                ++missing;
        EXPECT_EQ(missing, 0) << "of " << files.size();
    }
    QString remainingFiles() const { return run.path(DaemonPath::BackupListsFolder) + "/remainingFiles"; }

    BackupRunSupport run;
    QString skipReason;
    std::unique_ptr<ExcludeManager> excludes;
    std::unique_ptr<ReadController> controller;
};

#define START_OR_SKIP(...)                                                                                   \
    if (!start(__VA_ARGS__))                                                                                 \
    GTEST_SKIP() << skipReason.toStdString()

TEST_F(ControllerRuns, OrdinaryRunOf2500PathsGoesInThreeSets) {
    START_OR_SKIP();
    const QStringList files = run.makeFiles("Documents/many", 2500);
    run.writeList("2024-01-01 10-00-00-000_0", files.mid(0, 1300));
    run.writeList("2024-01-01 10-00-00-000_1", files.mid(1200));
    init(true);
    ASSERT_TRUE(waitFor("Backup completed", 180000));
    ASSERT_TRUE(waitIdleAndDelivered());

    EXPECT_EQ(controller->backupManager().backupsetFileCount(), 3);
    expectOnAppliance(files);
    const QStringList texts = run.progressTexts();
    EXPECT_EQ(texts.first(), "Backing up files / folders to Zorvik Hollin device");
    EXPECT_EQ(texts.last(), "Backup completed");
    EXPECT_FALSE(texts.contains("Error"));
    EXPECT_EQ(run.dataPosts(), 2500);
    // Progress arrives in the order the files were reported: the same order as the session log's.
    QStringList posted;
    QString lastCount;
    for (const QVariantMap& p : run.progress) {
        if (p.value(Protocol::KeyBackupRunning).toString() != "1")
            continue;
        const QVariantMap d = p.value(Protocol::KeyProgress).toMap();
        EXPECT_EQ(d.size(), 3);
        lastCount = d.value(Protocol::KeyTotalFiles).toString();
        posted << d.value(Protocol::KeyUploadingFile).toString();
    }
    QFile session(run.svc.logger.sessionLogCurrentWriteFile());
    ASSERT_TRUE(session.open(QIODevice::ReadOnly));
    QStringList logged;
    for (const QString& line : QString::fromUtf8(session.readAll()).split('\n')) {
        const qsizetype at = line.indexOf("Backup completed for ");
        if (at >= 0)
            logged << line.mid(at + 21).trimmed();
    }
    EXPECT_EQ(posted, logged);
    EXPECT_TRUE(lastCount.endsWith(" out of 504")) << lastCount.toStdString();
    const QString trace = run.trace();
    EXPECT_TRUE(trace.contains("ExecuteBackup Called"));
    EXPECT_TRUE(trace.contains("Backup Finished sucess full"));
    EXPECT_FALSE(trace.contains(BackupRunSupport::Password));
    EXPECT_FALSE(QFile::exists(run.path(DaemonPath::BackupPasswordFile)));
    EXPECT_FALSE(QDir(run.path(DaemonPath::SyncUpFolder)).exists());
    EXPECT_TRUE(QDir(run.path(DaemonPath::BackupListsFolder)).isEmpty());
}

TEST_F(ControllerRuns, SystemRsyncRunWithOddNamesReportsItsDialect) {
    START_OR_SKIP();
    run.setDefaultRsync(true);
    QStringList files = run.makeFiles("Odd names", 5);
    const QString dir = run.home() + "/Odd names";
    for (const QString& name :
         {QStringLiteral("quote \"q\" 'x'.txt"), QStringLiteral("$(touch INJECTED).txt"),
          QStringLiteral("back`tick`;&|.txt")}) {
        QFile f(dir + "/" + name);
        f.open(QIODevice::WriteOnly);
        f.write("odd");
        files << dir + "/" + name;
    }
    run.writeList("2024-01-01 10-00-00-000_0", files);
    init(false);
    controller->ReadOperation();
    ASSERT_TRUE(waitIdleAndDelivered());
    expectOnAppliance(files);
    EXPECT_FALSE(QFile::exists(QDir::currentPath() + "/INJECTED"));
    EXPECT_EQ(run.progressTexts().last(), "Backup completed");
    QSet<QString> shown;
    for (const QVariantMap& p : run.progress)
        shown << p.value(Protocol::KeyProgress).toMap().value(Protocol::KeyUploadingFile).toString();
    EXPECT_TRUE(shown.contains(files.last().mid(1))) << "names are relative to /";
    EXPECT_TRUE(QFile(run.svc.logger.sessionLogCurrentWriteFile()).exists());
}

TEST_F(ControllerRuns, InitialBackupGoesInSetsOfFiveFoldersThenLists) {
    START_OR_SKIP();
    QStringList folders, files;
    for (int i = 0; i < 12; ++i) {
        files << run.makeFiles(QStringLiteral("Top%1").arg(i), 2);
        folders << run.home() + QStringLiteral("/Top%1").arg(i);
    }
    PropertyList::writeStringArray(run.path(DaemonPath::InitialBackupList), folders,
                                   PropertyList::PublicMode);
    FileTools::writeAtomically(run.path(DaemonPath::InitialSetReadyMarker), "1", 0644);
    run.writeList("2024-01-01 10-00-00-000_0", folders);
    init(false);
    controller->ReadOperation();
    EXPECT_TRUE(QFile::exists(run.path(DaemonPath::InitialBackupStartedMarker)));
    EXPECT_FALSE(QFile::exists(run.path(DaemonPath::InitialSetReadyMarker)));
    ASSERT_TRUE(waitIdleAndDelivered());

    EXPECT_EQ(controller->backupManager().backupsetFileCount(), 3);
    expectOnAppliance(files);
    EXPECT_FALSE(QFile::exists(run.path(DaemonPath::InitialBackupStartedMarker)));
    const QString trace = run.trace();
    EXPECT_TRUE(trace.contains("Initial Backup exist"));
    EXPECT_TRUE(trace.contains("Initial Backup started"));
    EXPECT_TRUE(trace.contains("Initial Backup Finished sucess full"));
    EXPECT_TRUE(trace.contains("Initial Listing Called")); // the listing follows the initial backup
    EXPECT_EQ(run.progressTexts().last(), "Backup completed");
    // During the initial backup the count is plain.
    for (const QVariantMap& p : run.progress) {
        if (p.contains(Protocol::KeyBackupRunning)) {
            EXPECT_FALSE(p.value(Protocol::KeyProgress)
                             .toMap()
                             .value(Protocol::KeyTotalFiles)
                             .toString()
                             .contains("out of"));
        }
    }
}

TEST_F(ControllerRuns, EveryPathExcludedSendsNothingAndCompletes) {
    START_OR_SKIP();
    const QStringList files = run.makeFiles("Private", 3);
    PropertyList::writeStringArray(run.path(DaemonPath::InitialExcludeList), {run.home() + "/Private"},
                                   PropertyList::PublicMode);
    run.writeList("2024-01-01 10-00-00-000_0", files);
    init(false, true);
    controller->ReadOperation();
    EXPECT_FALSE(controller->backupManager().mIsRunning());
    spinFor(300);
    EXPECT_EQ(run.progressTexts(),
              (QStringList{"Backing up files / folders to Zorvik Hollin device", "Backup completed"}));
    EXPECT_TRUE(run.trace().contains(
        "writeBackupFilesListToRsyncInputFile :No files present to do backup so stoping backup"));
    EXPECT_FALSE(QFile::exists(run.onAppliance(files.first())));
    EXPECT_FALSE(run.trace().contains("RSyncfire"));
}

TEST_F(ControllerRuns, VanishedAndUnreachableFilesEndPartial) {
    START_OR_SKIP();
    QStringList files = run.makeFiles("Docs", 4);
    QFile::remove(files[1]); // vanished after it was listed
    const QString notAFolder = files[0] + "/inside.txt";
    run.writeList("2024-01-01 10-00-00-000_0", files + QStringList{notAFolder});
    init(false);
    controller->ReadOperation();
    ASSERT_TRUE(waitIdleAndDelivered());
    expectOnAppliance({files[0], files[2], files[3]});
    const QStringList texts = run.progressTexts();
    EXPECT_TRUE(texts.contains("Error"));
    EXPECT_EQ(texts.last(), "Backup completed");
    bool namedIoError = false;
    for (const QVariantMap& p : run.progress)
        if (p.value(Protocol::KeyError).toString().contains("IOERROR"))
            namedIoError = true;
    EXPECT_TRUE(namedIoError);
    EXPECT_TRUE(run.trace().contains("Backup finished partial check errors"));
    EXPECT_GE(controller->backupManager().backupFailureCount(), 1);
    EXPECT_FALSE(QFile::exists(remainingFiles()));
}

TEST_F(ControllerRuns, RootOnlyFileIsReportedAndStaysHomeAFolderBringsANameWithALineFeed) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: only a root daemon runs rsync with the console user's rights";
    START_OR_SKIP();
    const QStringList files = run.makeFiles("Docs", 3);
    const QString secret = run.home() + "/Docs/root only.txt";
    ASSERT_TRUE(FileTools::writeAtomically(secret, "not for the user", 0600));
    // The watcher lists the folder of a name a list cannot hold; rsync brings the name along.
    const QString odd = run.makeFiles("Odd", 1).first();
    const QString twoLines = run.home() + "/Odd/two\nlines.txt";
    ASSERT_TRUE(QFile::rename(odd, twoLines));
    run.writeList("2024-01-01 10-00-00-000_0", files + QStringList{secret, run.home() + "/Odd"});
    init(false);
    controller->ReadOperation();
    ASSERT_TRUE(waitIdleAndDelivered());
    expectOnAppliance(files + QStringList{twoLines});
    EXPECT_FALSE(QFile::exists(run.onAppliance(secret)));
    EXPECT_EQ(run.progressTexts().last(), "Backup completed");
    EXPECT_TRUE(std::any_of(run.progress.begin(), run.progress.end(), [](const QVariantMap& p) {
        return p.value(Protocol::KeyError).toString().contains("root only.txt");
    }));
    EXPECT_FALSE(QFile::exists(remainingFiles()));
}

TEST_F(ControllerRuns, StoppedApplianceIsRetriedOnScheduleAndTheRunCompletesWhenItIsBack) {
    START_OR_SKIP();
    const QStringList files = run.makeFiles("Docs", 6);
    run.writeList("2024-01-01 10-00-00-000_0", files);
    run.appliance->stop();
    init(false);
    controller->ReadOperation();
    ASSERT_TRUE(
        waitUntil([&] { return controller->backupManager().scheduledRetryDelays().size() == 5; }, 30000));
    ASSERT_TRUE(run.appliance->start());
    ASSERT_TRUE(waitIdleAndDelivered());
    const auto delays = controller->backupManager().scheduledRetryDelays();
    ASSERT_GE(delays.size(), 5);
    EXPECT_EQ(delays.mid(0, 5), (QList<std::chrono::milliseconds>{100ms, 100ms, 100ms, 200ms, 200ms}));
    expectOnAppliance(files);
    const QStringList texts = run.progressTexts();
    EXPECT_EQ(texts.last(), "Backup completed");
    EXPECT_TRUE(run.progress[1].value(Protocol::KeyError).toString().contains("Connection refused"));
    const QString trace = run.trace();
    EXPECT_TRUE(trace.contains("Check wether server Ip changed."));
    EXPECT_TRUE(trace.contains("RetryEnginOne will start after :0 sec"));
    EXPECT_GE(trace.count("RetryEnginOne called"), 5);
}

TEST_F(ControllerRuns, AddressFoundByTheCheckIsUsedByLaterRuns) {
    START_OR_SKIP();
    qputenv("ZH_TMUTIL_STATE", (run.svc.root.path() + "/tmutil-state.plist").toUtf8());
    run.writeUserDetails({{Protocol::Ip, "127.0.0.254"}, {Protocol::TMSharePath, "/mnt/tm"}});
    const QStringList first = run.makeFiles("First", 2);
    run.writeList("2024-01-01 10-00-00-000_0", first);
    Timings t = BackupRunSupport::shortTimings();
    t.backupPassInterval = std::chrono::hours(1);
    DaemonServices s = run.svc.services(t);
    s.profile.snapshotToolPath = ZH_TMUTIL;
    controller = std::make_unique<ReadController>(s, nullptr);
    controller->initReaderController({{"ConsoleUser", run.svc.user.name}});
    controller->backupManager().setApplianceHostName(run.appliance->address());
    controller->ReadOperation();
    ASSERT_TRUE(waitIdleAndDelivered());
    expectOnAppliance(first);
    EXPECT_EQ(run.userDetails().value(Protocol::Ip).toString(), run.appliance->address());
    EXPECT_EQ(controller->cachedUserInfo().value(Protocol::Ip).toString(), run.appliance->address());
    const QString trace = run.trace();
    EXPECT_TRUE(trace.contains("server Ip changed and update to plist."));
    EXPECT_TRUE(trace.contains("password = \"********\";"));
    EXPECT_FALSE(trace.contains(BackupRunSupport::Password));

    // The next run goes straight to the new address: no failure, no retry.
    const int retriesBefore = trace.count("RetryEnginOne called");
    run.progress.clear();
    const QStringList second = run.makeFiles("Second", 2);
    run.writeList("2024-01-01 10-00-01-000_0", second);
    controller->ReadOperation();
    ASSERT_TRUE(waitIdleAndDelivered());
    expectOnAppliance(second);
    EXPECT_FALSE(run.progressTexts().contains("Error"));
    EXPECT_EQ(run.trace().count("RetryEnginOne called"), retriesBefore);
    // Time Machine was pointed at the new address, through the snapshot tool.
    EXPECT_TRUE(waitUntil(
        [&] {
            QFile state(run.svc.root.path() + "/tmutil-state.plist");
            return state.open(QIODevice::ReadOnly) &&
                   state.readAll().contains(run.appliance->address().toUtf8());
        },
        10000));
    qunsetenv("ZH_TMUTIL_STATE");
}

TEST_F(ControllerRuns, PauseCancelsTheRunRequeuesEveryPathOnceAndResumeSendsThem) {
    START_OR_SKIP();
    const QStringList files = run.makeFiles("Docs", 2500);
    run.writeList("2024-01-01 10-00-00-000_0", files);
    init(true);
    ASSERT_TRUE(waitUntil([&] { return run.dataPosts() > 0; }, 60000));
    run.writeUserDetails({{Protocol::PauseStateKey, "1"}});
    run.svc.appSide->postNotification(Protocol::PauseState);
    ASSERT_TRUE(waitFor("Backup canceled", 30000));
    ASSERT_TRUE(waitIdleAndDelivered());
    EXPECT_TRUE(controller->isPaused());
    EXPECT_FALSE(run.progressTexts().contains("Backup completed"));
    const QStringList remaining = run.readLines(remainingFiles());
    EXPECT_EQ(remaining.size(), 2500);
    EXPECT_EQ(QSet<QString>(remaining.begin(), remaining.end()), QSet<QString>(files.begin(), files.end()));
    EXPECT_TRUE(run.trace().contains("Backup canceld in the middle."));
    spinFor(400); // paused: the pending list stays
    EXPECT_TRUE(QFile::exists(remainingFiles()));

    run.writeUserDetails({{Protocol::PauseStateKey, "0"}});
    run.svc.appSide->postNotification(Protocol::PauseState);
    ASSERT_TRUE(waitFor("Backup completed", 180000));
    ASSERT_TRUE(waitIdleAndDelivered());
    expectOnAppliance(files);
    EXPECT_FALSE(QFile::exists(remainingFiles()));
    QFile session(run.svc.logger.sessionLogCurrentWriteFile());
    ASSERT_TRUE(session.open(QIODevice::ReadOnly));
    const QByteArray log = session.readAll();
    EXPECT_TRUE(log.contains("Pause state cancel backup"));
    EXPECT_TRUE(log.contains("Resume state cancel backup"));
}

TEST_F(ControllerRuns, WrongPasswordEndsInErrorNeverInSuccess) {
    START_OR_SKIP();
    const QStringList files = run.makeFiles("Docs", 3);
    run.writeUserDetails({{Protocol::Password, "not it"}});
    run.writeList("2024-01-01 10-00-00-000_0", files);
    init(false);
    controller->ReadOperation();
    ASSERT_TRUE(waitIdleAndDelivered());
    const QStringList texts = run.progressTexts();
    EXPECT_FALSE(texts.contains("Backup completed"));
    ASSERT_EQ(texts.last(), "Error");
    EXPECT_TRUE(run.progress.last().value(Protocol::KeyError).toString().contains("auth failed"));
    EXPECT_EQ(run.readLines(remainingFiles()).size(), 3);
    EXPECT_FALSE(run.trace().contains("Backup Finished sucess full"));
}

TEST_F(ControllerRuns, PendingListsAreTakenTenAtATimeWhenMoreThanFifteenWait) {
    START_OR_SKIP();
    const QStringList files = run.makeFiles("Docs", 16);
    for (int i = 0; i < 16; ++i)
        run.writeList(QStringLiteral("2024-01-01 10-00-%1-000_0").arg(i, 2, 10, QLatin1Char('0')),
                      {files[i]});
    run.writeList("2024-01-01 10-00-99-000_0.progress", {files[0]});
    init(false);
    controller->ReadOperation();
    EXPECT_EQ(controller->backupManager().fileSetForOperation().size(), 10);
    ASSERT_TRUE(waitIdleAndDelivered());
    controller->ReadOperation();
    EXPECT_EQ(controller->backupManager().fileSetForOperation().size(), 6);
    ASSERT_TRUE(waitIdleAndDelivered());
    expectOnAppliance(files);
    const QStringList left = QDir(run.path(DaemonPath::BackupListsFolder)).entryList(QDir::Files);
    EXPECT_EQ(left, (QStringList{"2024-01-01 10-00-99-000_0.progress"}));
}
