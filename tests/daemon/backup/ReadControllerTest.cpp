#include "ReadController.h"
#include "BackupRunSupport.h"
#include "RezodeListAndUpdateToDBController.h"
#include "RsyncConventions.h"

#include <fcntl.h>
#include <sys/stat.h>

// Whole runs of the backup controller and its manager against the appliance, as the application
// sees them on the bus.
class ControllerRuns : public BackupRunTest {
  protected:
    QString requirements() override { return Appliance::skipReason(); }
    bool waitFor(const QString& progressText, int ms = 60000) {
        return waitUntil([&] { return count(progressText) > 0; }, ms);
    }
    void pauseOverTheBus(bool on) {
        run.writeUserDetails({{Protocol::PauseStateKey, on ? "1" : "0"}});
        run.svc.appSide->postNotification(Protocol::PauseState);
        ASSERT_TRUE(waitUntil([&] { return controller->isPaused() == on; }));
    }
    QStringList onAppliance(const QStringList& files) const { // those of files that reached it
        QStringList there;
        std::copy_if(files.begin(), files.end(), std::back_inserter(there),
                     [&](const QString& f) { return QFile::exists(run.onAppliance(f)); });
        return there;
    }
    QStringList remaining() const { // the pending paths, each once
        QStringList lines = sorted(run.readLines(run.remainingFiles()));
        EXPECT_EQ(lines.removeDuplicates(), 0);
        return lines;
    }
    // Whether every item of part appears in whole, in the same order.
    static bool inOrderWithin(const QStringList& part, const QStringList& whole) {
        qsizetype at = 0;
        for (const QString& item : part) {
            at = whole.indexOf(item, at);
            if (at < 0)
                return false;
            ++at;
        }
        return true;
    }
    QString errors() const {
        QString all;
        for (const QVariantMap& p : run.progress)
            all += p.value(Protocol::KeyError).toString();
        return all;
    }
};

TEST_F(ControllerRuns, PausedRunKeepsEveryPathOnceAndTheResumedRunSendsThemInThreeSetsInTheLogsOrder) {
    ASSERT_EQ(run.setUp(), "");
    const QStringList files = run.makeFiles("Documents/many", 2500);
    run.writeList("2024-01-01 10-00-00-000_0", files.mid(0, 1300));
    run.writeList("2024-01-01 10-00-00-000_1", files.mid(1200));
    init(true);
    ASSERT_TRUE(waitUntil([&] { return run.progress.size() > 1; }, 60000)); // the first file is on its way
    pauseOverTheBus(true);
    ASSERT_TRUE(waitFor("Backup canceled", 30000));
    ASSERT_TRUE(waitIdleAndDelivered());
    EXPECT_FALSE(run.progressTexts().contains("Backup completed"));
    EXPECT_EQ(remaining(), sorted(files));
    EXPECT_TRUE(run.trace().contains("Backup canceld in the middle."));

    run.progress.clear();
    pauseOverTheBus(false);
    ASSERT_TRUE(waitFor("Backup completed", 180000));
    ASSERT_TRUE(waitIdleAndDelivered());
    EXPECT_EQ(manager().backupsetFileCount(), 3);
    EXPECT_EQ(onAppliance(files), files);
    EXPECT_EQ(run.progressTexts(),
              (QStringList{"Backing up files / folders to Zorvik Hollin device", "Backup completed"}));
    // Progress arrives in the order the files were reported: the same order as the session log's
    // (the figures of files reported together come as the newest of them), and ends with the last.
    QStringList posted;
    QString lastCount;
    QVariantMap last;
    for (const QVariantMap& p : run.progress) {
        if (p.value(Protocol::KeyBackupRunning).toString() != "1")
            continue;
        const QVariantMap d = p.value(Protocol::KeyProgress).toMap();
        EXPECT_EQ(d.size(), 5);
        lastCount = d.value(Protocol::KeyTotalFiles).toString();
        posted << d.value(Protocol::KeyUploadingFile).toString();
        last = d;
    }
    // The last figures hold the whole run (three sets): every file and every byte sent.
    EXPECT_EQ(last.value(Protocol::KeySentFiles).toString(), "2500");
    EXPECT_EQ(last.value(Protocol::KeySentBytes).toString(), QString::number(2500 * 16));
    const QString log = readTrace(run.svc.logger.sessionLogCurrentWriteFile());
    QStringList logged;
    for (const QString& line : log.split('\n'))
        if (const qsizetype at = line.indexOf("Backup completed for "); at >= 0)
            logged << line.mid(at + 21).trimmed();
    ASSERT_FALSE(posted.isEmpty());
    EXPECT_TRUE(inOrderWithin(posted, logged));
    EXPECT_EQ(posted.last(), logged.last());
    EXPECT_TRUE(lastCount.endsWith(" out of 504")) << lastCount.toStdString();
    EXPECT_TRUE(log.contains("Pause state cancel backup"));
    EXPECT_TRUE(log.contains("Resume state cancel backup"));
    EXPECT_TRUE(run.trace().contains("Backup Finished sucess full"));
    EXPECT_FALSE(run.trace().contains(BackupRunSupport::Password));
    EXPECT_FALSE(QDir(run.path(DaemonPath::SyncUpFolder)).exists());
    EXPECT_TRUE(QDir(run.path(DaemonPath::BackupListsFolder)).isEmpty());
}

TEST_F(ControllerRuns, InitialBackupAtAStaleAddressGivesUpIsPausedWhileWaitingAndRecoversAtTheNewAddress) {
    ASSERT_EQ(run.setUp(), "");
    const QString toolState = run.svc.root.path() + "/tmutil-state.plist";
    qputenv("ZH_TMUTIL_STATE", toolState.toUtf8());
    run.writeUserDetails({{Protocol::Ip, "127.0.0.254"}, {Protocol::TMSharePath, "/mnt/tm"}});
    QStringList folders, files;
    for (int i = 0; i < 12; ++i) {
        files << run.makeFiles(QStringLiteral("Top%1").arg(i), 2);
        folders << run.svc.home() + QStringLiteral("/Top%1").arg(i);
    }
    run.queueInitialBackup(folders);
    run.appliance->stop();
    Timings t = BackupRunSupport::shortTimings();
    t.firstRetryDelay = 300ms; // room to pause while a retry is waiting
    init(false, t);
    controller->ReadOperation();
    EXPECT_TRUE(QFile::exists(run.path(DaemonPath::InitialBackupStartedMarker)));
    EXPECT_FALSE(QFile::exists(run.path(DaemonPath::InitialSetReadyMarker)));
    EXPECT_EQ(manager().backupsetFileCount(), 3); // sets of five folders
    ASSERT_TRUE(waitIdleAndDelivered());

    // Eleven tries on the retry schedule, then the run gives up and keeps its paths.
    QList<std::chrono::milliseconds> schedule(3, 300ms);
    schedule << QList<std::chrono::milliseconds>(7, 200ms);
    EXPECT_EQ(manager().scheduledRetryDelays(), schedule);
    QString trace = run.trace();
    EXPECT_EQ(trace.count("RetryEnginOne called"), 10);
    EXPECT_TRUE(
        trace.contains("Initial Backup was going on after network connect user has to clik startbackup."));
    EXPECT_EQ(run.progressTexts().count("Error"), 2); // the refused connection told once, and the give-up
    EXPECT_TRUE(run.progress[1].value(Protocol::KeyError).toString().contains("Connection refused"));
    EXPECT_EQ(run.progress.last()[Protocol::KeyError].toString(),
              "10 retrys hapend so not able to continue operation");
    EXPECT_EQ(remaining(), sorted(folders));
    EXPECT_TRUE(waitUntil([&] { return run.initialBackupFailedPosts == 1; }, 5000));
    EXPECT_TRUE(QFile::exists(run.path(DaemonPath::InitialBackupStartedMarker)));
    // The address check found the appliance elsewhere: the record and the controller take the address.
    EXPECT_TRUE(trace.contains("plistIpAddress:127.0.0.254 ipAddr:" + run.appliance->address()));
    EXPECT_TRUE(trace.contains("server Ip changed and update to plist."));
    EXPECT_TRUE(trace.contains("password = \"********\";"));
    EXPECT_FALSE(trace.contains(BackupRunSupport::Password));
    EXPECT_EQ(run.userDetails().value(Protocol::Ip).toString(), run.appliance->address());
    EXPECT_EQ(controller->cachedUserInfo().value(Protocol::Ip).toString(), run.appliance->address());

    // Paused while a retry waits, the run ends as cancelled; no retry starts behind the user's back.
    ASSERT_TRUE(waitUntil([&] { return !manager().isBackingOff(); }));
    run.progress.clear();
    controller->ReadOperation();
    ASSERT_TRUE(waitUntil([&] { return manager().scheduledRetryDelays().size() == 1; }, 20000));
    run.writeUserDetails({{Protocol::PauseStateKey, "1"}});
    controller->receivePauseNotification({});
    ASSERT_TRUE(waitFor("Backup canceled", 20000));
    const int retries = int(run.trace().count("RetryEnginOne called"));
    spinFor(500);
    EXPECT_EQ(run.trace().count("RetryEnginOne called"), retries);
    EXPECT_FALSE(manager().mIsRunning());
    EXPECT_EQ(remaining(), sorted(folders));

    // Resumed, the next run reaches the appliance once it is back, at the new address.
    run.writeUserDetails({{Protocol::PauseStateKey, "0"}});
    controller->receivePauseNotification({});
    run.progress.clear();
    controller->ReadOperation();
    ASSERT_TRUE(waitUntil([&] { return manager().scheduledRetryDelays().size() == 1; }, 20000));
    ASSERT_TRUE(run.appliance->start());
    ASSERT_TRUE(waitIdleAndDelivered());
    EXPECT_EQ(onAppliance(files), files);
    EXPECT_EQ(run.progressTexts().last(), "Backup completed");
    EXPECT_FALSE(QFile::exists(run.path(DaemonPath::InitialBackupStartedMarker)));
    trace = run.trace();
    EXPECT_TRUE(trace.contains("Initial Backup Finished sucess full"));
    EXPECT_TRUE(trace.contains("Initial Listing Called")); // the listing follows the initial backup
    for (const QVariantMap& p : run.progress)              // during the initial backup the count is plain
        EXPECT_FALSE(p[Protocol::KeyProgress].toMap()[Protocol::KeyTotalFiles].toString().contains("out of"));
    // Time Machine was pointed at the new address, through the snapshot tool.
    EXPECT_TRUE(waitUntil([&] { return readTrace(toolState).contains(run.appliance->address()); }));
    qunsetenv("ZH_TMUTIL_STATE");
}

TEST_F(ControllerRuns, FileProblemsEndPartialAndListsAreTakenTenAtATime) {
    ASSERT_EQ(run.setUp(), "");
    QStringList files = run.makeFiles("Docs", 14);
    QFile::remove(files[1]); // vanished after it was listed
    const QString notAFolder = files[0] + "/inside.txt";
    const QString secret = run.svc.home() + "/Docs/root only.txt";
    ASSERT_TRUE(FileTools::writeAtomically(secret, "not for the user", 0600));
    ASSERT_TRUE(::chown(QFile::encodeName(secret).constData(), 0, 0) == 0);
    // The watcher lists the folder of a name a list cannot hold; rsync brings the name along.
    const QString twoLines = run.svc.home() + "/Odd/two\nlines.txt";
    ASSERT_TRUE(QFile::rename(run.makeFiles("Odd", 1).first(), twoLines));
    const QStringList items = files + QStringList{notAFolder, secret, run.svc.home() + "/Odd"};
    for (int i = 0; i < items.size(); ++i)
        run.writeList(QStringLiteral("2024-01-01 10-00-%1-000_0").arg(i, 2, 10, QLatin1Char('0')),
                      {items[i]});
    run.writeList("2024-01-01 10-00-99-000_0.progress", {files[0]});
    init(false);
    controller->ReadOperation();
    EXPECT_EQ(manager().fileSetForOperation().size(), 10);
    ASSERT_TRUE(waitIdleAndDelivered());
    controller->ReadOperation();
    EXPECT_EQ(manager().fileSetForOperation().size(), 7);
    ASSERT_TRUE(waitIdleAndDelivered());
    files.removeAt(1);
    EXPECT_EQ(onAppliance(items + QStringList{twoLines}),
              (files + QStringList{run.svc.home() + "/Odd", twoLines}));
    EXPECT_EQ(run.progressTexts().count("Backup completed"), 2);
    EXPECT_TRUE(errors().contains("IOERROR"));
    EXPECT_TRUE(errors().contains("root only.txt"));
    EXPECT_TRUE(run.trace().contains("Backup finished partial check errors"));
    EXPECT_GE(manager().backupFailureCount(), 1);
    EXPECT_FALSE(QFile::exists(run.remainingFiles()));
    EXPECT_EQ(QDir(run.path(DaemonPath::BackupListsFolder)).entryList(QDir::Files),
              QStringList{"2024-01-01 10-00-99-000_0.progress"});
}

TEST_F(ControllerRuns, SystemRsyncRunWithOddNamesReportsItsDialectAndAnExcludedListSendsNothing) {
    ASSERT_EQ(run.setUp(), "");
    PropertyList::writeDictionary(run.path(DaemonPath::RsyncVersion), {{Protocol::DefaultRsync, "1"}},
                                  PropertyList::PublicMode);
    PropertyList::writeStringArray(run.path(DaemonPath::InitialExcludeList), {run.svc.home() + "/Private"},
                                   PropertyList::PublicMode);
    QStringList files = run.makeFiles("Odd names", 5);
    for (const QString& name :
         {QStringLiteral("quote \"q\" 'x'.txt"), QStringLiteral("$(touch INJECTED).txt"),
          QStringLiteral("back`tick`;&|.txt")}) {
        files << run.svc.home() + "/Odd names/" + name;
        ASSERT_TRUE(FileTools::writeAtomically(files.last(), "odd", 0644));
    }
    run.writeList("2024-01-01 10-00-00-000_0", files);
    init(false);
    controller->ReadOperation();
    ASSERT_TRUE(waitIdleAndDelivered());
    EXPECT_EQ(onAppliance(files), files);
    EXPECT_FALSE(QFile::exists(QDir::currentPath() + "/INJECTED"));
    EXPECT_EQ(run.progressTexts().last(), "Backup completed");
    // The figures (the newest at each post) name files of the set relative to "/".
    QStringList relative;
    for (const QString& file : files)
        relative << file.mid(1);
    QStringList shown;
    for (const QVariantMap& p : run.progress)
        if (const QString name =
                p.value(Protocol::KeyProgress).toMap().value(Protocol::KeyUploadingFile).toString();
            !name.isEmpty())
            shown << name;
    ASSERT_FALSE(shown.isEmpty());
    for (const QString& name : shown)
        EXPECT_TRUE(relative.contains(name)) << "names are relative to /: " << name.toStdString();
    EXPECT_TRUE(QFile(run.svc.logger.sessionLogCurrentWriteFile()).exists());

    // A list whose every path is excluded sends nothing and still completes.
    const int fired = int(run.trace().count("RSyncfire"));
    run.progress.clear();
    const QStringList hidden = run.makeFiles("Private", 3);
    run.writeList("2024-01-01 10-00-00-000_1", hidden);
    controller->ReadOperation();
    EXPECT_FALSE(manager().mIsRunning());
    ASSERT_TRUE(waitUntil([&] { return run.progressTexts().size() == 2; }));
    EXPECT_EQ(run.progressTexts(),
              (QStringList{"Backing up files / folders to Zorvik Hollin device", "Backup completed"}));
    EXPECT_TRUE(run.trace().contains(
        "writeBackupFilesListToRsyncInputFile :No files present to do backup so stoping backup"));
    EXPECT_FALSE(QFile::exists(run.onAppliance(hidden.first())));
    EXPECT_EQ(run.trace().count("RSyncfire"), fired);
}

TEST_F(ControllerRuns, FullApplianceStopsTheRunKillsRsyncAndRemovesTheMarker) {
    Appliance::Options options;
    options.tmpfs = true;
    options.tmpfsBytes = 2 * 1024 * 1024;
    ZH_SKIP_IF(Appliance::skipReason(options));
    ASSERT_EQ(run.setUp(options), "");
    const QString dir = run.svc.home() + "/Big";
    QDir().mkpath(dir);
    ASSERT_TRUE(FileTools::writeAtomically(dir + "/blob.bin", QByteArray(8 << 20, 'z'), 0644));
    run.queueInitialBackup({dir});
    Timings t = BackupRunSupport::shortTimings();
    t.firstRetryDelay = t.laterRetryDelay = 2s; // the back-off after a full appliance
    init(false, t);
    controller->ReadOperation();
    ASSERT_TRUE(waitIdleAndDelivered());
    EXPECT_TRUE(run.progressTexts().contains("Quota exceeded"));
    EXPECT_FALSE(run.progressTexts().contains("Backup completed"));
    const QString trace = run.trace();
    EXPECT_TRUE(trace.contains("Backup Stoped in the middle due to Quota Exceded."));
    EXPECT_TRUE(trace.contains("Initial Backup File removed due to Quota Exceded"));
    // The paths wait until there is space again.
    EXPECT_EQ(remaining(), QStringList{dir});
    EXPECT_TRUE(manager().isBackingOff());
    EXPECT_FALSE(QFile::exists(run.path(DaemonPath::InitialBackupStartedMarker)));
    EXPECT_FALSE(manager().engine()->isRunning());
    // The private copy is killed with the rsync it ran.
    EXPECT_TRUE(waitUntil([&] {
        return RsyncConventions::markedRsyncProcesses(run.path(DaemonPath::SystemSupportFolder)).isEmpty();
    }));

    // Still full at the next run, which sends a part of the file before it stops: the application,
    // which heard figures of it, hears again that the appliance is full; it is never left with a
    // backup "under way" that has ended.
    ASSERT_TRUE(waitUntil([&] { return !manager().isBackingOff(); }, 10000));
    controller->ReadOperation();
    ASSERT_TRUE(waitIdleAndDelivered());
    EXPECT_EQ(run.trace().count("Backup Stoped in the middle due to Quota Exceded."), 2);
    EXPECT_EQ(run.progressTexts(), (QStringList{Protocol::ProgressBackupStarts, "Quota exceeded",
                                                Protocol::ProgressBackupStarts, "Quota exceeded"}));
    EXPECT_EQ(run.progress.last().value(Protocol::KeyProgress).toString(), "Quota exceeded");

    // Room again (the file shrank): the run sends, and the last word the application hears is true.
    ASSERT_TRUE(FileTools::writeAtomically(dir + "/blob.bin", QByteArray(1024, 'z'), 0644));
    ASSERT_TRUE(waitUntil([&] { return !manager().isBackingOff(); }, 10000));
    controller->ReadOperation();
    ASSERT_TRUE(waitIdleAndDelivered());
    EXPECT_EQ(run.progressTexts().last(), "Backup completed");
    EXPECT_TRUE(QFile::exists(run.onAppliance(dir + "/blob.bin")));
}

TEST_F(ControllerRuns, RefusedPasswordIsToldOnceAndWaitsForTheNewOneInsteadOfRetryingEveryMinute) {
    ASSERT_EQ(run.setUp(), "");
    const QStringList files = run.makeFiles("Docs", 2);
    init(true);
    // Someone changes the account's password on the appliance while the daemon runs.
    ASSERT_TRUE(run.appliance->setPassword(BackupRunSupport::ApplianceUser, "n3w \"secret\""));
    run.writeList("2024-01-01 10-00-00-000_1", files);
    ASSERT_TRUE(waitUntil([&] { return count("Error") == 1 && !manager().mIsRunning(); }, 30000));
    EXPECT_TRUE(run.progress.last().value(Protocol::KeyError).toString().contains("refused the password"))
        << errors().toStdString();
    // Passes and the retry schedule (a tenth of a second here) go by: the same password is not tried
    // again, and nothing more is told.
    spinFor(1500);
    EXPECT_EQ(run.trace().count("ExecuteBackup Called"), 1);
    EXPECT_EQ(count("Error"), 1);
    EXPECT_EQ(count(Protocol::ProgressBackupStarts), 1);
    EXPECT_EQ(remaining(), sorted(files));
    EXPECT_FALSE(run.trace().contains("n3w"));

    // The person logs in again with the new password: the next pass sends what waited.
    run.writeUserDetails({{Protocol::Password, "n3w \"secret\""}});
    ASSERT_TRUE(waitFor("Backup completed", 30000)) << run.trace().toStdString();
    EXPECT_EQ(onAppliance(files), files);
    EXPECT_TRUE(run.trace().contains("The password in the account record changed, backing up again"));
}

// The password was changed on the appliance and put back (an administrator's slip): after the refusal,
// which the application hears once, a log-in in the application with the same password sends what
// waited at once, long before the refused password's own wait is over.
TEST_F(ControllerRuns, RefusedPasswordGoesAtOnceAfterALogInWithTheSamePassword) {
    ASSERT_EQ(run.setUp(), "");
    const QStringList files = run.makeFiles("Docs", 2);
    Timings t = BackupRunSupport::shortTimings();
    t.refusedFirstRetryDelay = std::chrono::minutes(10);
    init(true, t);
    ASSERT_TRUE(run.appliance->setPassword(BackupRunSupport::ApplianceUser, "changed by the admin"));
    run.writeList("2024-01-01 10-00-00-000_1", files);
    ASSERT_TRUE(waitUntil([&] { return count("Error") == 1 && !manager().mIsRunning(); }, 30000))
        << run.trace().toStdString();
    EXPECT_TRUE(run.trace().contains("The refused password is tried again in 600 sec"))
        << run.trace().toStdString();

    // Put back on the appliance: nothing goes by itself before the wait is over.
    ASSERT_TRUE(run.appliance->setPassword(BackupRunSupport::ApplianceUser, BackupRunSupport::Password));
    spinFor(1500);
    EXPECT_EQ(run.trace().count("ExecuteBackup Called"), 1);
    EXPECT_TRUE(onAppliance(files).isEmpty());

    // The person logs in again with the same password: the application writes the record (the same as
    // before) and then says so.
    run.writeUserDetails({});
    run.svc.appSide->postNotification(Protocol::LogIn);
    ASSERT_TRUE(waitFor("Backup completed", 30000)) << run.trace().toStdString();
    EXPECT_EQ(onAppliance(files), files);
    EXPECT_EQ(count("Error"), 1);
    EXPECT_TRUE(run.trace().contains("The person logged in to the appliance, backing up again at once"));
    EXPECT_TRUE(readTrace(run.svc.logger.sessionLogCurrentWriteFile()).contains("logged in sucessfully"));
    EXPECT_FALSE(run.trace().contains("changed by the admin"));
}

// Whatever the application was told last is true. A failure it heard of, then a run cancelled by a
// pause, or a run with nothing to send, and the failure that persists is told again: the window is not
// left on "Backup canceled" or "Backup completed" while the appliance is away or refuses the account.
TEST_F(ControllerRuns, AFailureThatPersistsIsToldAgainAfterACancelledOrAnEmptyRun) {
    ASSERT_EQ(run.setUp(), "");
    const QStringList docs = run.makeFiles("Docs", 2), notes = run.makeFiles("Notes", 2);
    Timings t = BackupRunSupport::shortTimings();
    // A network failure is tried again only when the test lets it (the field's minute and more).
    t.firstRetryDelay = t.laterRetryDelay = std::chrono::hours(1);
    t.refusedFirstRetryDelay = 200ms;
    t.refusedRetryDelay = 1s;
    init(true, t);
    const auto texts = [&] { return run.progressTexts().join(" | ").toStdString(); };

    // The appliance is away: the failure is told, the run waits for its retry.
    run.appliance->stop();
    run.writeList("2024-01-01 10-00-00-000_1", docs);
    ASSERT_TRUE(waitUntil([&] { return count("Error") == 1; }, 30000)) << texts();
    // Paused meanwhile: the run is cancelled and the application shows that.
    pauseOverTheBus(true);
    ASSERT_TRUE(waitFor("Backup canceled")) << texts();
    pauseOverTheBus(false);
    // Resumed with the appliance still away: the next run meets the failure again, and says so.
    ASSERT_TRUE(waitUntil([&] { return count("Error") == 2; }, 30000)) << texts();
    spinFor(300);
    EXPECT_EQ(run.progressTexts().last(), "Error") << texts();
    EXPECT_EQ(count("Backing up files / folders to Zorvik Hollin device"), 2) << texts();

    // The appliance back (a pause and resume instead of the hour's retry): sent.
    ASSERT_TRUE(run.appliance->start());
    pauseOverTheBus(true);
    pauseOverTheBus(false);
    ASSERT_TRUE(waitFor("Backup completed", 30000)) << texts();
    EXPECT_EQ(onAppliance(docs), docs);

    // Now the appliance refuses the account: told once, tried again now and then, told no more.
    ASSERT_TRUE(run.appliance->setPassword(BackupRunSupport::ApplianceUser, "changed by the admin"));
    run.writeList("2024-01-01 10-00-01-000_1", notes);
    ASSERT_TRUE(waitUntil([&] { return run.trace().count("Trying the refused password") >= 2; }, 30000))
        << run.trace().toStdString();
    EXPECT_EQ(count("Error"), 3) << texts();
    // The folder that waits is excluded meanwhile: the next try has nothing to send, and says so.
    const int completed = count("Backup completed");
    ASSERT_TRUE(PropertyList::writeStringArray(run.path(DaemonPath::InitialExcludeList),
                                               {run.svc.home() + "/Notes"}, PropertyList::OwnerOnlyMode));
    run.svc.appSide->postNotification(Protocol::Exclude,
                                      {{Protocol::KeyType, QString(Protocol::ExcludeTypeUser)}});
    ASSERT_TRUE(waitUntil([&] { return count("Backup completed") > completed; }, 30000)) << texts();
    // A new document still meets the refusal: the application, told "Backup completed" last, hears it.
    const QStringList more = run.makeFiles("Docs/more", 1);
    run.writeList("2024-01-01 10-00-02-000_1", more);
    ASSERT_TRUE(waitUntil([&] { return count("Error") == 4; }, 30000)) << texts();
    // Refused again on the next tries (each trace line opens one), and not told again.
    const qsizetype tries = run.trace().count("Trying the refused password");
    ASSERT_TRUE(
        waitUntil([&] { return run.trace().count("Trying the refused password") >= tries + 2; }, 30000));
    EXPECT_EQ(count("Error"), 4) << texts();
    EXPECT_EQ(run.progressTexts().last(), "Error") << texts();

    // Put right on the appliance: the next try sends it, without a log-in.
    ASSERT_TRUE(run.appliance->setPassword(BackupRunSupport::ApplianceUser, BackupRunSupport::Password));
    ASSERT_TRUE(waitUntil([&] { return !onAppliance(more).isEmpty(); }, 30000)) << run.trace().toStdString();
    EXPECT_TRUE(onAppliance(notes).isEmpty());
}

TEST_F(ControllerRuns, BusyApplianceIsWaitedForWithoutAnErrorAndWithoutGivingUp) {
    Appliance::Options options;
    options.maxConnections = 1;
    ASSERT_EQ(run.setUp(options), "");
    QString error;
    ASSERT_TRUE(run.appliance->holdConnection(BackupRunSupport::ApplianceUser, &error))
        << error.toStdString();
    const QStringList files = run.makeFiles("Docs", 3);
    Timings t = BackupRunSupport::shortTimings();
    t.busyRetryDelay = 20ms;
    t.busyRetryMaxDelay = 80ms;
    init(true, t);
    run.writeList("2024-01-01 10-00-00-000_1", files);
    // Turned away more often than a network failure would be retried: still waiting, nothing told.
    ASSERT_TRUE(waitUntil([&] { return run.trace().count("The appliance is busy") >= 12; }, 30000))
        << run.trace().toStdString();
    EXPECT_EQ(count("Error"), 0) << errors().toStdString();
    EXPECT_TRUE(manager().mIsRunning());
    EXPECT_FALSE(run.trace().contains("10 retrys hapend"));

    run.appliance->releaseConnections();
    ASSERT_TRUE(waitFor("Backup completed", 30000)) << run.trace().toStdString();
    EXPECT_EQ(onAppliance(files), files);
    EXPECT_EQ(count("Error"), 0);
}

TEST_F(ControllerRuns, FiguresOfAFastRunComeAsTheNewestNotOnePerFileAndBeforeTheEnd) {
    ASSERT_EQ(run.setUpFakeRsync(), "");
    // rsync reports 3000 files at once, as a run of small documents does.
    run.step("echo '3000 files to consider'; for i in $(seq 1 3000); do "
             "echo \"Sent file 16 bytes 100% [Full Backup]/home/x/file $i.txt\"; done; exit 0");
    run.writeList("2024-01-01 10-00-00-000_0", run.makeFiles("Docs", 2));
    init(false);
    controller->ReadOperation();
    ASSERT_TRUE(waitIdleAndDelivered());
    ASSERT_EQ(run.progressTexts(),
              (QStringList{"Backing up files / folders to Zorvik Hollin device", "Backup completed"}));
    QStringList figures;
    for (const QVariantMap& p : run.progress)
        if (p.value(Protocol::KeyBackupRunning).toString() == "1")
            figures << p.value(Protocol::KeyProgress).toMap().value(Protocol::KeyTotalFiles).toString();
    // Not one post per file: the newest figures, the last of them those of the last file, and all of
    // them between the start and the end.
    ASSERT_FALSE(figures.isEmpty());
    EXPECT_LT(figures.size(), 1500);
    EXPECT_EQ(figures.last(), "3000 out of 3000");
    EXPECT_EQ(run.progress.last().value(Protocol::KeyProgress).toString(), "Backup completed");
    EXPECT_EQ(run.progress.first().value(Protocol::KeyProgress).toString(),
              "Backing up files / folders to Zorvik Hollin device");
    int previous = 0;
    for (const QString& f : figures) {
        const int shown = f.section(' ', 0, 0).toInt();
        EXPECT_GT(shown, previous) << f.toStdString();
        previous = shown;
    }
    // The session log still names every file, once.
    const QString log = readTrace(run.svc.logger.sessionLogCurrentWriteFile());
    EXPECT_EQ(log.count("Backup completed for "), 3000);
    EXPECT_EQ(log.count("Backup completed for /home/x/file 3000.txt"), 1);
}

TEST_F(ControllerRuns, AChangeOfTheSameSizeInTheSecondTheFileWasSentIsSentToo) {
    ASSERT_EQ(run.setUp(), "");
    const QString file = run.makeFiles("Docs", 1).first();
    init(true);
    run.writeList("2024-01-01 10-00-00-000_1", {file});
    ASSERT_TRUE(waitFor("Backup completed")) << run.trace().toStdString();
    const QString copy = run.onAppliance(file);
    ASSERT_EQ(readTrace(copy), QString(16, u'a'));

    // Saved again within the second the copy was written, at the same size: rsync's quick check
    // (size and whole seconds) would take the copy for this version.
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(16, 'b'));
    }
    struct stat there {};
    ASSERT_EQ(::stat(QFile::encodeName(copy).constData(), &there), 0);
    const timespec times[2] = {there.st_atim, there.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(file).constData(), times, 0), 0);
    run.progress.clear();
    run.writeList("2024-01-01 10-00-01-000_1", {file});
    ASSERT_TRUE(waitFor("Backup completed")) << run.trace().toStdString();
    EXPECT_EQ(readTrace(copy), QString(16, u'b'));
}

// The network goes away in the middle of a transfer: the appliance took the connection and part of a
// large file, then nothing more comes through, either way. The set ends (rsync's own time-out, the
// runner's watch behind it) as a network failure told once, is retried on the schedule with its paths,
// and everything arrives once the network is back.
TEST_F(ControllerRuns, ATransferCutOffMidwayEndsAsANetworkFailureAndEverythingArrivesOnceTheNetworkIsBack) {
    Appliance::Options options;
    options.relay = true;
    ASSERT_EQ(run.setUp(options), "");
    QStringList files = run.makeFiles("Docs", 5);
    const QString clip = run.svc.home() + "/Video/clip.bin";
    QDir().mkpath(QFileInfo(clip).path());
    QByteArray bytes(12 << 20, '\0');
    for (qsizetype i = 0; i < bytes.size(); i += 4)
        bytes[i] = char(i * 2654435761u >> 24);
    ASSERT_TRUE(FileTools::writeAtomically(clip, bytes, 0644));
    files << clip;
    Timings t = BackupRunSupport::shortTimings();
    t.rsyncStallTimeout = 3s;
    t.firstRetryDelay = t.laterRetryDelay = 300ms;
    init(true, t);
    run.appliance->goSilentAfter(3 << 20); // part of the file gets through
    run.writeList("2024-01-01 10-00-00-000_1", files);

    ASSERT_TRUE(waitUntil([&] { return count("Error") == 1; }, 60000)) << run.trace().toStdString();
    EXPECT_TRUE(run.appliance->wentSilent());
    EXPECT_TRUE(manager().mIsRunning()); // waiting for its retry, with its paths
    // rsync's own "timeout in data send/receive", or the runner's watch if that came first.
    EXPECT_TRUE(errors().contains("timeout") || errors().contains("stopped answering"))
        << errors().toStdString();
    ASSERT_TRUE(waitUntil([&] { return manager().scheduledRetryDelays().size() >= 2; }, 60000));
    run.appliance->speak();
    ASSERT_TRUE(waitFor("Backup completed", 120000)) << run.trace().toStdString();
    ASSERT_TRUE(waitIdleAndDelivered());
    EXPECT_EQ(onAppliance(files), files);
    QFile copy(run.onAppliance(clip));
    ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
    EXPECT_TRUE(copy.readAll() == bytes);
    EXPECT_EQ(count("Error"), 1); // the network failure told once, however many tries it took
    const QString trace = run.trace();
    EXPECT_TRUE(trace.contains("RetryEnginOne will start after :0 sec"));
    EXPECT_FALSE(trace.contains("10 retrys hapend"));
    EXPECT_FALSE(QFileInfo::exists(run.remainingFiles()));
}

// A frozen appliance (a NAS gone to sleep, a stopped rsync daemon) takes the connection and never
// answers; the system rsync's set ends as a network failure as well, and goes once it wakes.
TEST_F(ControllerRuns, AFrozenApplianceEndsTheSystemRsyncsSetAsANetworkFailureUntilItWakes) {
    ASSERT_EQ(run.setUp(), "");
    PropertyList::writeDictionary(run.path(DaemonPath::RsyncVersion), {{Protocol::DefaultRsync, "1"}},
                                  PropertyList::PublicMode);
    const QStringList files = run.makeFiles("Docs", 4);
    Timings t = BackupRunSupport::shortTimings();
    t.rsyncStallTimeout = 3s;
    t.firstRetryDelay = t.laterRetryDelay = 300ms;
    init(true, t);
    run.appliance->stall();
    run.writeList("2024-01-01 10-00-00-000_1", files);
    ASSERT_TRUE(waitUntil([&] { return count("Error") == 1; }, 60000)) << run.trace().toStdString();
    ASSERT_TRUE(waitUntil([&] { return manager().scheduledRetryDelays().size() >= 2; }, 60000));
    EXPECT_EQ(onAppliance(files), QStringList());
    run.appliance->resume();
    ASSERT_TRUE(waitFor("Backup completed", 120000)) << run.trace().toStdString();
    EXPECT_EQ(onAppliance(files), files);
    EXPECT_EQ(count("Error"), 1);
}

// The copies on the appliance carry the files' own modification times, with the private copy and with
// the system rsync, so what the restore and "Versions…" list, and what a restore writes back, is the
// file's time and not the upload's.
TEST_F(ControllerRuns, CopiesCarryTheFilesOwnModificationTimesWithEitherRsync) {
    ASSERT_EQ(run.setUp(), "");
    const auto mtime = [](const QString& path) {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? qint64(st.st_mtim.tv_sec) : -1;
    };
    const auto age = [](const QStringList& files, qint64 seconds) {
        for (const QString& file : files) {
            const timespec when[2] = {{seconds, 0}, {seconds, 0}};
            ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(file).constData(), when, 0), 0);
        }
    };
    const QStringList privately = run.makeFiles("Private copy", 3);
    age(privately, 1'400'000'000); // May 2014
    init(false);
    run.writeList("2024-01-01 10-00-00-000_1", privately);
    controller->ReadOperation();
    ASSERT_TRUE(waitIdleAndDelivered());
    ASSERT_EQ(onAppliance(privately), privately);
    for (const QString& file : privately)
        EXPECT_EQ(mtime(run.onAppliance(file)), 1'400'000'000) << file.toStdString();

    PropertyList::writeDictionary(run.path(DaemonPath::RsyncVersion), {{Protocol::DefaultRsync, "1"}},
                                  PropertyList::PublicMode);
    const QStringList systemly = run.makeFiles("System rsync", 3);
    age(systemly, 1'500'000'000); // July 2017
    init(false);
    run.writeList("2024-01-01 10-00-01-000_1", systemly);
    controller->ReadOperation();
    ASSERT_TRUE(waitIdleAndDelivered());
    ASSERT_EQ(onAppliance(systemly), systemly);
    for (const QString& file : systemly)
        EXPECT_EQ(mtime(run.onAppliance(file)), 1'500'000'000) << file.toStdString();
    EXPECT_TRUE(readTrace(run.svc.logger.sessionLogCurrentWriteFile()).contains("setIsBuiltinRsync yes"));
}

// The appliance password reaches rsync in its environment: no password file is written, under the
// machine's /etc or anywhere else, while a backup and a listing run or after them, and no trace holds it.
TEST_F(ControllerRuns, ThePasswordTravelsInRsyncsEnvironmentNeverInAFileOrATrace) {
    ASSERT_EQ(run.setUp(), "");
    const QStringList files = run.makeFiles("Docs", 30);
    const QString etc = run.svc.root.path() + "/etc";
    QStringList seen;
    const auto look = [&] {
        for (const QString& name : QDir(etc).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot))
            if (!seen.contains(name))
                seen << name;
    };
    init(false);
    run.writeList("2024-01-01 10-00-00-000_1", files);
    controller->ReadOperation();
    EXPECT_TRUE(waitUntil(
        [&] {
            look();
            return !manager().mIsRunning();
        },
        60000));
    EXPECT_TRUE(waitFor("Backup completed"));
    EXPECT_EQ(onAppliance(files), files);

    controller->startListingDailyOnceUpdateToDatabase();
    EXPECT_TRUE(waitUntil(
        [&] {
            look();
            return !controller->lister().isRunning();
        },
        60000));
    EXPECT_TRUE(
        run.trace().contains("Started callFolderWiseRecursiveListing for:" + UtilityClass::machineName()))
        << run.trace().toStdString();
    EXPECT_EQ(seen, QStringList()) << "files written in /etc during the runs";
    const QString password = BackupRunSupport::Password;
    EXPECT_FALSE(run.trace().contains(password));
    EXPECT_FALSE(readTrace(run.svc.logger.sessionLogCurrentWriteFile()).contains(password));
}
