// Protection the person can see, with the whole daemon against the appliance: what is not yet safe
// while the appliance is away, sleep delayed for the last changes (logind played on the bus), and the
// restore check against a snapshot the test damages.
#include "DaemonRig.h"
#include "FakeLogind.h"

#include <QScopeGuard>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace PS = Protocol::PendingState;

namespace {

class ProtectionEndToEnd : public DaemonRig {
  protected:
    void prepare() override {
        DaemonRig::prepare();
        if (HasFatalFailure())
            return;
        appSide->addObserver(&application, Protocol::PendingStateChanged,
                             [this](const QString&, const QVariantMap&) { ++stateChanges; });
        appSide->addObserver(&application, Protocol::RestoreCheckFailed,
                             [this](const QString&, const QVariantMap&) { ++checkFailures; });
    }
    QString stateFile() const {
        return paths.pathForApplicationFile(DaemonPath::UserSupportFolder) + u'/' +
               Protocol::PendingStateFile;
    }
    QVariantMap state() const { return PropertyList::readDictionary(stateFile()); }
    QString value(const QString& key) const { return state().value(key).toString(); }
    bool stateIs(const QString& key, const QString& want, int timeoutMs = 60000) const {
        return waitUntil([&] { return value(key) == want; }, timeoutMs);
    }
    // The first backup of the home is done and nothing waits.
    void startAndSettle() {
        writeDetails();
        startDaemon();
        ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 60000))
            << hostLog();
        ASSERT_TRUE(stateIs(PS::Count, "0")) << hostLog();
    }
    void pause(bool on) {
        writeDetails({{Protocol::PauseStateKey, on ? QStringLiteral("1") : QStringLiteral("0")}});
        appSide->postNotification(Protocol::PauseState);
        ASSERT_TRUE(stateIs(PS::Paused, on ? "1" : "0"));
    }
    QString inSnapshot(const QString& snapshot, const QString& localPath) const {
        return appliance->modulePath() + QStringLiteral("/.zfs/snapshot/") + snapshot + u'/' + account +
               u'/' + UtilityClass::machineName() + localPath;
    }
    // A snapshot the appliance took a minute from now, as far as its name goes: everything sent so far
    // is in it (the fixture copies the module at once).
    QString takeSnapshot(int minutesAhead) {
        const QString name = QStringLiteral("auto-%1-2w")
                                 .arg(QDateTime::currentDateTime()
                                          .addSecs(60 * minutesAhead)
                                          .toString(QStringLiteral("yyyyMMdd.HHmm")));
        EXPECT_TRUE(appliance->createSnapshot(name));
        return name;
    }
    // Asks for a check as the application does and waits for its outcome.
    QVariantMap check() {
        const QString before = value(PS::VerifyAttempted);
        appSide->postNotification(Protocol::VerifyRestorable);
        EXPECT_TRUE(waitUntil(
            [&] {
                const QVariantMap s = state();
                return s.value(PS::VerifyAttempted).toString() != before &&
                       s.value(PS::VerifyState).toString() != PS::VerifyRunning;
            },
            60000))
            << trace().toStdString();
        return state();
    }

    int stateChanges = 0;
    int checkFailures = 0;
};

} // namespace

TEST_F(ProtectionEndToEnd, WhatWaitsRisesWhileTheApplianceIsAwayAndFallsToZeroWhenItIsBack) {
    writeFile(home + QStringLiteral("/Notes/a.txt"), "a");
    startAndSettle();
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(stateFile()).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, user.uid);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(value(PS::Oldest), "");
    EXPECT_EQ(value(PS::Paused), "0");
    EXPECT_TRUE(value(PS::Watch) == PS::WatchDisk || value(PS::Watch) == PS::WatchUsers)
        << value(PS::Watch).toStdString();
    EXPECT_GT(stateChanges, 0);

    appliance->stop();
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    QMap<QString, QByteArray> files;
    for (const char* name : {"b", "c", "d"}) {
        const QString path = home + QStringLiteral("/Notes/%1.txt").arg(QLatin1String(name));
        writeFile(path, name);
        files.insert(path, name);
    }
    ASSERT_TRUE(
        waitUntil([&] { return value(PS::Count).toInt() >= 3 && !value(PS::Oldest).isEmpty(); }, 30000))
        << hostLog();
    const QString oldest = value(PS::Oldest);
    const QDateTime oldestTime = QDateTime::fromString(oldest, Qt::ISODate);
    EXPECT_EQ(oldestTime.timeSpec(), Qt::UTC);
    EXPECT_GE(oldestTime, before);
    EXPECT_LE(oldestTime, QDateTime::currentDateTimeUtc());
    // The run fails and gives up: what it took is owed, still with the time of the oldest change.
    ASSERT_TRUE(waitUntil([&] { return value(PS::Owed).toInt() >= 3; }, 60000)) << trace().toStdString();
    EXPECT_EQ(value(PS::Oldest), oldest);

    for (const char* name : {"e", "f"}) {
        const QString path = home + QStringLiteral("/Notes/%1.txt").arg(QLatin1String(name));
        writeFile(path, name);
        files.insert(path, name);
    }
    ASSERT_TRUE(waitUntil([&] { return value(PS::Count).toInt() >= 5; }, 30000));
    EXPECT_EQ(value(PS::Oldest), oldest);
    EXPECT_GE(QDateTime::fromString(value(PS::Newest), Qt::ISODate), oldestTime);

    ASSERT_TRUE(appliance->start());
    ASSERT_TRUE(stateIs(PS::Count, "0", 90000)) << trace().toStdString();
    EXPECT_EQ(value(PS::Oldest), "");
    EXPECT_EQ(value(PS::Owed), "0");
    EXPECT_TRUE(missing(files).isEmpty()) << missing(files).join(u' ').toStdString();
}

TEST_F(ProtectionEndToEnd, SleepWaitsForYoungChangesUntilTheyAreSentOrAtMostTheLimit) {
    FakeLogind logind(bus.connect(QStringLiteral("logind")));
    ASSERT_TRUE(logind.isRegistered());
    writeFile(home + QStringLiteral("/Notes/a.txt"), "a");
    startAndSettle();
    ASSERT_TRUE(waitUntil([&] { return logind.heldCount() == 0; }));

    // A change waits: the lock is taken, and let go once it is sent.
    const QString fresh = home + QStringLiteral("/Notes/fresh.txt");
    writeFile(fresh, "fresh");
    ASSERT_TRUE(waitUntil([&] { return logind.heldCount() == 1; }, 20000)) << trace().toStdString();
    const FakeLogind::Call call = logind.calls().last();
    EXPECT_EQ(call.what, "sleep:shutdown");
    EXPECT_EQ(call.who, "Zorvik Hollin");
    EXPECT_EQ(call.mode, "delay");
    EXPECT_TRUE(
        waitUntil([&] { return QFile::exists(onAppliance(fresh)) && logind.heldCount() == 0; }, 30000));

    // The appliance is out of reach: the lock stays while the change is young, and an announced sleep
    // waits for it at most the limit (2 s here, 10 s in the field).
    appliance->stop();
    const QString late = home + QStringLiteral("/Notes/late.txt");
    writeFile(late, "late");
    ASSERT_TRUE(waitUntil([&] { return logind.heldCount() == 1; }, 20000));
    EXPECT_TRUE(stateIs(PS::SleepDelayed, "1", 10000));
    spinFor(1500);
    EXPECT_EQ(logind.heldCount(), 1);
    logind.announceSleep(true);
    ASSERT_TRUE(waitUntil([&] { return logind.heldCount() == 0; }, 15000));
    EXPECT_TRUE(waitUntil([&] {
        return trace().contains(QStringLiteral("Sleep announced, sending the")) &&
               trace().contains(QStringLiteral("changes could not be sent within 2000 ms"));
    }));
    const int calls = logind.callCount();
    spinFor(1500);
    EXPECT_EQ(logind.callCount(), calls) << "no new lock while the machine goes to sleep";

    // Back from sleep with the change still young and waiting: held again until it is sent.
    logind.announceSleep(false);
    ASSERT_TRUE(waitUntil([&] { return logind.heldCount() == 1; }, 20000));
    ASSERT_TRUE(appliance->start());
    EXPECT_TRUE(waitUntil([&] { return QFile::exists(onAppliance(late)) && logind.heldCount() == 0; }, 90000))
        << trace().toStdString();
    EXPECT_TRUE(stateIs(PS::SleepDelayed, "0", 10000));
}

TEST_F(ProtectionEndToEnd, TheRestoreCheckFindsDamagedCopiesQueuesThemAgainAndSkipsLocalChanges) {
    QMap<QString, QByteArray> files;
    for (const char* name : {"alpha", "bravo", "charlie", "delta"}) {
        const QString path = home + QStringLiteral("/Docs/%1.txt").arg(QLatin1String(name));
        writeFile(path, name);
        files.insert(path, name);
    }
    const QString alpha = home + "/Docs/alpha.txt", bravo = home + "/Docs/bravo.txt",
                  charlie = home + "/Docs/charlie.txt", delta = home + "/Docs/delta.txt";
    startAndSettle();
    ASSERT_TRUE(missing(files).isEmpty());

    // Paused, so that a file changed locally stays unsent while the check runs.
    pause(true);
    writeFile(delta, "delta, changed since it was sent");
    const QString snapshot = takeSnapshot(1);
    writeFile(inSnapshot(snapshot, bravo), "BRAVO"); // damaged in the snapshot
    ASSERT_TRUE(QFile::remove(inSnapshot(snapshot, charlie)));

    const QVariantMap outcome = check();
    EXPECT_EQ(outcome.value(PS::VerifyState).toString(), PS::VerifyFailed) << trace().toStdString();
    EXPECT_EQ(outcome.value(PS::VerifiedSnapshot).toString(), snapshot);
    EXPECT_EQ(outcome.value(PS::VerifiedFiles).toString(), "1");
    EXPECT_EQ(outcome.value(PS::VerifiedFailed).toString(), "2");
    EXPECT_EQ(outcome.value(PS::VerifiedSkipped).toString(), "1");
    QStringList failures = outcome.value(PS::VerifiedFailures).toStringList();
    failures.sort();
    EXPECT_EQ(failures, (QStringList{bravo, charlie}));
    EXPECT_TRUE(outcome.value(PS::VerifiedText).toString().startsWith("Restore check on "));
    EXPECT_TRUE(waitUntil([&] { return checkFailures == 1; }));
    const QString logs = sessionLogs();
    EXPECT_TRUE(logs.contains(
        QStringLiteral("Restore check: %1 differs from its copy in the snapshot %2, backing it up again")
            .arg(bravo, snapshot)))
        << logs.toStdString();
    EXPECT_TRUE(
        logs.contains(QStringLiteral("Restore check: %1 is missing from the snapshot %2, backing it up again")
                          .arg(charlie, snapshot)));
    EXPECT_FALSE(logs.contains(delta + QStringLiteral(" differs"))) << "a local change is no failure";

    // Queued again the normal way: the two wait in a backup list (with the local change) while paused…
    const auto queued = [&] {
        QString lists;
        const QDir folder(paths.pathForApplicationFile(DaemonPath::BackupListsFolder));
        for (const QString& name : folder.entryList(QDir::Files))
            lists += contentOf(folder.filePath(name)) + '\n';
        return lists;
    };
    ASSERT_TRUE(waitUntil([&] { return queued().contains(bravo) && queued().contains(charlie); }, 20000));
    EXPECT_GE(value(PS::Count).toInt(), 3);
    // …and are sent once backup resumes.
    const int sentBefore = sessionLogs().count(QStringLiteral("charlie.txt"));
    pause(false);
    ASSERT_TRUE(stateIs(PS::Count, "0")) << trace().toStdString();
    // (The session log takes a run's lines in batches: its last one may follow the run's end.)
    EXPECT_TRUE(waitUntil([&] { return sessionLogs().count(QStringLiteral("charlie.txt")) > sentBefore; }))
        << sessionLogs().toStdString();
    EXPECT_EQ(contentOf(onAppliance(delta)), QByteArray("delta, changed since it was sent"));

    // Against a snapshot taken after that, everything checks out; the least recently checked go first.
    const QString later = takeSnapshot(2);
    const QVariantMap second = check();
    EXPECT_EQ(second.value(PS::VerifyState).toString(), PS::VerifyPassed) << trace().toStdString();
    EXPECT_EQ(second.value(PS::VerifiedSnapshot).toString(), later);
    EXPECT_EQ(second.value(PS::VerifiedFiles).toString(), "4");
    EXPECT_EQ(second.value(PS::VerifiedFailed).toString(), "0");
    EXPECT_TRUE(second.value(PS::VerifiedFailures).toStringList().isEmpty());
    EXPECT_EQ(second.value(PS::VerifiedText).toString(),
              QStringLiteral("Verified restorable on %1: 4 files")
                  .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd"))));
    EXPECT_EQ(checkFailures, 1);

    // The record of files sent is the person's, in the account folder.
    const QString record = paths.pathForApplicationFile(DaemonPath::UserSupportFolder) + u'/' + account +
                           QStringLiteral("/RecentlySent.txt");
    ASSERT_TRUE(waitUntil([&] { return contentOf(record).contains(alpha.toUtf8()); }, 10000));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(record).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, user.uid);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_FALSE(trace().contains(password));
}

// Without an appliance to ask, a check says so and keeps the last outcome.
TEST_F(ProtectionEndToEnd, ACheckThatCannotReachTheApplianceSaysWhy) {
    writeFile(home + QStringLiteral("/Docs/a.txt"), "a");
    startAndSettle();
    appliance->stop();
    const QVariantMap outcome = check();
    EXPECT_EQ(outcome.value(PS::VerifyState).toString(), PS::VerifyUnavailable);
    EXPECT_TRUE(
        outcome.value(PS::VerifyReason)
            .toString()
            .startsWith(QStringLiteral("The snapshots on the Zorvik Hollin device could not be listed")))
        << outcome.value(PS::VerifyReason).toString().toStdString();
    EXPECT_EQ(outcome.value(PS::Verified).toString(), "");
    EXPECT_EQ(checkFailures, 0);
}

// A frozen appliance (a NAS gone to sleep) takes the check's connection and never answers: the check
// ends as unavailable, saying why, instead of waiting for its whole allowance.
TEST_F(ProtectionEndToEnd, ACheckAgainstAFrozenApplianceEndsAndSaysWhy) {
    writeFile(home + QStringLiteral("/Docs/a.txt"), "a");
    startAndSettle();
    appliance->stall();
    const QVariantMap outcome = check();
    appliance->resume();
    EXPECT_EQ(outcome.value(PS::VerifyState).toString(), PS::VerifyUnavailable);
    EXPECT_TRUE(
        outcome.value(PS::VerifyReason)
            .toString()
            .startsWith(QStringLiteral("The snapshots on the Zorvik Hollin device could not be listed")))
        << outcome.value(PS::VerifyReason).toString().toStdString();
    EXPECT_EQ(checkFailures, 0);
}

// At rest, with all of this running and the field's intervals, the daemon costs next to nothing: its
// memory stays small, and its CPU time over a minute is recorded (not asserted: a shared machine).
// At rest nothing changes, so nothing is written: the passes, the index and the listing go on, and the
// state file stays as it is. (Idle CPU and memory are measured by bench_daemon.)
TEST_F(ProtectionEndToEnd, AtRestTheStateFileIsNotRewritten) {
    for (int i = 0; i < 50; ++i)
        writeFile(home + QStringLiteral("/Docs/file %1.txt").arg(i), QByteArray(1000, 'x'));
    writeDetails();
    startDaemon();
    ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 120000))
        << hostLog();
    ASSERT_TRUE(stateIs(PS::Count, "0"));
    spinFor(3000); // the index settles
    const int writesBefore = stateChanges;
    spinFor(5000); // many passes of the short timings
    EXPECT_EQ(stateChanges, writesBefore) << "the state file was rewritten while nothing changed";
}
