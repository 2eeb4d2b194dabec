// The whole system under faults, each scenario asserting that nothing is lost and that nothing half
// done is reported as done: the appliance stopped mid-run or full, the daemon (zh-daemon-host) killed
// mid-run, hostile names backed up and restored from a snapshot the way the restore window runs rsync,
// a restore killed mid-file, and hostile state files.

#include "DaemonRig.h"
#include "RsyncConventions.h"

#include <gtest/gtest.h>

#include <QDateTime>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Files = QMap<QString, QByteArray>;

class WatcherDaemonFault : public DaemonRig {
  protected:
    Files expected;          // what must reach the appliance, byte for byte
    QList<int> missingAtEnd; // files of `expected` missing at each "Backup completed"

    void prepare() override {
        DaemonRig::prepare();
        onProgress = [this](const QString& text) {
            if (text == Protocol::ProgressBackupCompleted)
                missingAtEnd << int(missing(expected).size());
        };
    }
    void addDocuments(int folders, int size) {
        for (int folder = 0; folder < folders; ++folder)
            for (int file = 0; file < 5; ++file) {
                const QString path =
                    home + QStringLiteral("/Folder %1/Document '%2'.txt").arg(folder).arg(file);
                expected.insert(path, QByteArray(size + file, char('a' + folder % 26)));
                writeFile(path, expected.value(path));
            }
    }
    void startBackingUp() {
        writeDetails();
        startDaemon();
        ASSERT_TRUE(waitUntil([&] { return progress.contains(QStringLiteral("file")); }, 60000)) << hostLog();
    }
    // Everything arrived, a completion was reported, and none was reported with files missing.
    void expectAllArrivedAndCompletionsHonest() {
        EXPECT_TRUE(arrived(expected)) << missing(expected).join(u'\n').toStdString() << hostLog();
        ASSERT_TRUE(waitUntil([&] { return !missingAtEnd.isEmpty(); }, 30000)) << hostLog();
        EXPECT_EQ(missingAtEnd.count(0), missingAtEnd.size())
            << "a completion was reported with files missing";
        EXPECT_TRUE(waitUntil(
            [&] {
                return !QFile::exists(paths.pathForApplicationFile(DaemonPath::InitialBackupStartedMarker));
            },
            30000));
        EXPECT_FALSE(trace().contains(password));
    }
    // The restore of one item (a path below the module, "<snapshot>/<account>/<machine>/<path>" or
    // "<account>/<machine>/<path>") as the restore window runs it: with the user's rights, the private
    // copy getting each piece as an argument, the system rsync one bash command line.
    QStringList restoreCommand(const QString& item, const QString& destination,
                               RsyncConventions::Launch launch) {
        FilePathsController appPaths(FilePathsController::Table::Application, root.profile());
        appPaths.setM_ConsoleUserName(user.name);
        const QString passwordFile = appPaths.pathForApplicationFile(AppPath::PasswordFile);
        EXPECT_TRUE(RsyncConventions::writePasswordFile(passwordFile, password,
                                                        RsyncConventions::ApplicationPasswordFileMode));
        const bool snapshot = !item.startsWith(account + u'/');
        const QString remote = RsyncConventions::remotePath(
            snapshot ? RsyncConventions::RemoteForm::SnapshotItem : RsyncConventions::RemoteForm::UserItem,
            snapshot ? QStringList{account, appliance->address(), item}
                     : QStringList{account, appliance->address(), account, item.mid(account.size() + 1)},
            launch);
        const QStringList options{QStringLiteral("--progress"), QStringLiteral("--recursive"),
                                  QStringLiteral("--backup"),
                                  QStringLiteral("--suffix=.before-restore-20261207")};
        QStringList argv{QStringLiteral("setpriv"), QStringLiteral("--reuid=%1").arg(user.uid),
                         QStringLiteral("--regid=%1").arg(user.gid), QStringLiteral("--clear-groups")};
        if (launch == RsyncConventions::Launch::Shell)
            return argv << QStringLiteral("/bin/bash") << QStringLiteral("-c")
                        << QStringLiteral("rsync %1 --password-file=\"%2\" %3 \"%4\"")
                               .arg(options.join(u' '), RsyncConventions::shellInDoubleQuotes(passwordFile),
                                    remote, RsyncConventions::shellInDoubleQuotes(destination));
        return argv << root.profile().privateRsyncPath << options
                    << QStringLiteral("--password-file=\"%1\"").arg(passwordFile) << remote << destination;
    }
    // What "diff -r" finds between two trees: "" when they are the same byte for byte.
    static std::string differences(const QString& a, const QString& b) {
        QByteArray out;
        const int code = ChildProcess::run({QStringLiteral("diff"), QStringLiteral("-r"), a, b}, &out, &out);
        return code == 0 ? std::string() : "diff exit " + std::to_string(code) + ": " + out.toStdString();
    }
};

class FullApplianceFault : public WatcherDaemonFault {
  protected:
    Appliance::Options applianceOptions() const override { return {true, 4 * 1024 * 1024}; }
};

} // namespace

TEST_F(WatcherDaemonFault, ApplianceStoppedMidRunIsRetriedAndEverythingArrives) {
    addDocuments(30, 20000);
    startBackingUp();
    appliance->stop();
    // The run retries while the appliance is away and reports nothing as done.
    ASSERT_TRUE(waitUntil([&] { return trace().count(QStringLiteral("Retrying..")) >= 2; }, 30000))
        << hostLog();
    EXPECT_FALSE(progress.contains(Protocol::ProgressBackupCompleted));
    EXPECT_TRUE(QFile::exists(paths.pathForApplicationFile(DaemonPath::InitialBackupStartedMarker)));
    EXPECT_FALSE(trace().contains(QStringLiteral("Initial Backup Finished sucess full")));
    ASSERT_TRUE(appliance->start());
    expectAllArrivedAndCompletionsHonest();
    EXPECT_FALSE(daemonEnded());
}

TEST_F(FullApplianceFault, QuotaStopIsReportedAndEverythingArrivesOnceThereIsSpace) {
    ASSERT_TRUE(appliance->putFile(QStringLiteral("filler.bin"), QByteArray(3 * 1024 * 1024, 'f')));
    addDocuments(4, 100000);
    startBackingUp();
    ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressQuotaExceeded); }, 30000))
        << hostLog();
    // Runs after the back-off keep meeting the full appliance: still nothing reported as done.
    const QString stopped = QStringLiteral("Backup Stoped in the middle due to Quota Exceded.");
    ASSERT_TRUE(waitUntil([&] { return trace().count(stopped) >= 2; }, 30000)) << hostLog();
    EXPECT_FALSE(progress.contains(Protocol::ProgressBackupCompleted));
    EXPECT_FALSE(missing(expected).isEmpty());
    ASSERT_TRUE(QFile::remove(appliance->modulePath() + QStringLiteral("/filler.bin")));
    expectAllArrivedAndCompletionsHonest();
    // What the application was told last was true all along: every run announced to it ended for it,
    // and the full appliance was told again only after a run it heard of (not at every back-off).
    bool underWay = false;
    for (const QString& text : std::as_const(progress)) {
        if (text == Protocol::ProgressBackupStarts) {
            EXPECT_FALSE(underWay) << "a run announced without an end: " << progress.join(u'|').toStdString();
            underWay = true;
        } else if (text == Protocol::ProgressQuotaExceeded) {
            EXPECT_TRUE(underWay) << "told again with nothing in between: "
                                  << progress.join(u'|').toStdString();
            underWay = false;
        } else if (text == Protocol::ProgressBackupCompleted || text == Protocol::ProgressError) {
            underWay = false;
        }
    }
    EXPECT_FALSE(underWay);
}

TEST_F(WatcherDaemonFault, KilledMidRunAndStartedAgainLosesNothing) {
    const QString requeued = QStringLiteral("Unfinished backup sets found at start, re-queueing them.");
    const QString unclean = QStringLiteral("The last watch for %1 did not end cleanly").arg(user.name);
    const auto restart = [&](int status) {
        ASSERT_TRUE(waitForExit());
        EXPECT_EQ(exitStatuses.last(), status);
        startDaemon();
    };
    // As the service supervisor ends a crashed daemon: with everything it started (its rsync).
    const auto kill = [&] { ::kill(-daemon, SIGKILL); };
    // In the middle of the initial backup.
    addDocuments(30, 20000);
    startBackingUp();
    ASSERT_TRUE(QFile::exists(paths.pathForApplicationFile(DaemonPath::InitialBackupStartedMarker)));
    const QFileInfo marker(paths.pathForApplicationFile(DaemonPath::WatchMarker));
    ASSERT_TRUE(marker.exists());
    EXPECT_EQ(marker.ownerId(), ::geteuid());
    EXPECT_FALSE(marker.permissions() & (QFile::WriteGroup | QFile::WriteOther));
    kill();
    restart(128 + SIGKILL);
    expectAllArrivedAndCompletionsHonest();
    EXPECT_FALSE(QFile::exists(paths.pathForApplicationFile(DaemonPath::InitialSetReadyMarker)));
    EXPECT_EQ(trace().count(requeued), 1);

    // In the middle of an ordinary run, with the new paths still in the event stream and the collector:
    // the kernel does not report them again, the next watch finds them.
    for (int i = 0; i <= 1000; ++i) {
        const QString path = home + QStringLiteral("/Folder 1/many %1.txt").arg(i);
        expected.insert(path, QByteArray::number(i));
        writeFile(path, expected.value(path));
    }
    kill();
    restart(128 + SIGKILL);
    EXPECT_TRUE(arrived(expected)) << missing(expected).size() << " missing" << hostLog();
    EXPECT_EQ(trace().count(unclean), 2);

    // A planned restart (log-out) saves what the stream and the collector hold: no backup of the home.
    const QString late = home + QStringLiteral("/Folder 2/written just before the restart.txt");
    expected.insert(late, "late");
    writeFile(late, "late");
    appSide->postNotification(Protocol::LogOut);
    restart(1);
    EXPECT_TRUE(arrived(expected)) << missing(expected).join(u'\n').toStdString() << hostLog();
    EXPECT_EQ(trace().count(unclean), 2);

    // So is the supervisor's stop (SIGTERM, as at a shutdown).
    const QString stopped = home + QStringLiteral("/Folder 2/written just before the stop.txt");
    expected.insert(stopped, "stopped");
    writeFile(stopped, "stopped");
    ::kill(daemon, SIGTERM);
    restart(0);
    EXPECT_TRUE(arrived(expected)) << missing(expected).join(u'\n').toStdString() << hostLog();
    EXPECT_EQ(trace().count(unclean), 2);
    EXPECT_EQ(exitStatuses.size(), 4);
}

TEST_F(WatcherDaemonFault, HostileNamesAreBackedUpAndRestoredFromASnapshotByteForByte) {
    const QString tree = home + QStringLiteral("/Hostile");
    writeFile(tree + QStringLiteral("/start.txt"), "start");
    writeDetails();
    startDaemon();
    ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 60000))
        << hostLog();

    // Created while the daemon watches, so each name travels alone through a backup list.
    const QStringList names{QStringLiteral("it's \"quoted\".txt"),
                            QStringLiteral("$(touch zh-pwned).txt"),
                            QStringLiteral("`touch zh-pwned`.txt"),
                            QStringLiteral("  blanks at both ends  "),
                            QStringLiteral("📁 Ordner 😀.txt"),
                            QStringLiteral("-rf.txt"),
                            QStringLiteral("--help"),
                            QStringLiteral("-x/-y.txt")};
    for (const QString& name : names)
        writeFile(tree + u'/' + name, name.toUtf8() + "\n");
    // Names that cannot travel alone (a line feed, bytes that are not UTF-8) are restored with their folder.
    writeFile(tree + QStringLiteral("/odd bytes/line\nfeed.txt"), "line feed");
    const QByteArray latin1 = QFile::encodeName(tree + QStringLiteral("/odd bytes/")) + "caf\xe9 latin1.txt";
    const int fd = ::open(latin1.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "latin1", 6), 6);
    ::close(fd);
    // A path of about 4 KB on the appliance, in folders of 200 bytes.
    QString deep = tree + QStringLiteral("/deep");
    while (onAppliance(deep).toUtf8().size() < 4096 - 2 * 220)
        deep += u'/' + QString(200, u'd');
    writeFile(deep + QStringLiteral("/end.txt"), "deep");
    ChildProcess::run({QStringLiteral("chown"), QStringLiteral("-R"), user.name, tree});

    ASSERT_TRUE(waitUntil(
        [&] {
            return QFile::exists(onAppliance(deep + QStringLiteral("/end.txt"))) &&
                   differences(tree, onAppliance(tree)).empty();
        },
        60000))
        << differences(tree, onAppliance(tree)) << hostLog();
    EXPECT_FALSE(QFile::exists(QStringLiteral("/zh-pwned")));
    EXPECT_FALSE(QFile::exists(home + QStringLiteral("/zh-pwned")));

    // The restore: one rsync per top-level item from the snapshot, as the restore window builds it,
    // with the private copy (arguments) and the system rsync (a bash command line).
    ZH_SKIP_IF(needs::tool("setpriv", "util-linux"));
    const QString snapshot = QStringLiteral("auto-%1-hourly")
                                 .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd.HHmm")));
    ASSERT_TRUE(appliance->createSnapshot(snapshot));
    const QStringList items = QDir(tree).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const auto launch : {RsyncConventions::Launch::Direct, RsyncConventions::Launch::Shell}) {
        const bool shell = launch == RsyncConventions::Launch::Shell;
        const QString destination =
            home + (shell ? QStringLiteral("/Downloads/Restored \"$(here)\" by `bash`")
                          : QStringLiteral("/Downloads/Restored 'here' $(x)"));
        QDir().mkpath(destination);
        ChildProcess::run(
            {QStringLiteral("chown"), QStringLiteral("-R"), user.name, home + QStringLiteral("/Downloads")});
        for (const QString& item : items) {
            QByteArray err;
            const QString inModule =
                snapshot + u'/' + account + u'/' + UtilityClass::machineName() + tree + u'/' + item;
            EXPECT_EQ(ChildProcess::run(restoreCommand(inModule, destination, launch), nullptr, &err), 0)
                << item.toStdString() << ": " << err.toStdString();
        }
        EXPECT_EQ(differences(tree, destination), "") << (shell ? "system rsync" : "private copy");
    }
    EXPECT_FALSE(QFile::exists(QStringLiteral("/zh-pwned")));
    EXPECT_FALSE(QFile::exists(QDir::current().filePath(QStringLiteral("zh-pwned"))));
    EXPECT_FALSE(daemonEnded());
    // Read-only snapshots and paths near the system's limit: removed here, by a tool made for both.
    ChildProcess::run({QStringLiteral("rm"), QStringLiteral("-rf"), appliance->modulePath(), home});
}

TEST_F(WatcherDaemonFault, HostileStateFilesReadAsEmptyWithATraceLineAndTheDaemonGoesOn) {
    const QString details = paths.pathForApplicationFile(DaemonPath::UserDetails);
    const QString rootOnly = root.path() + QStringLiteral("/root-only.plist");
    ASSERT_TRUE(PropertyList::writeStringArray(rootOnly, {home}, 0600)); // would exclude everything
    const QByteArray truncated = PropertyList::dictionaryToXml({{Protocol::UserName, account}}).chopped(30);
    const auto plant = [&](const QString& path, int kind) {
        QFile::remove(path);
        switch (kind) {
        case 0:
            return writeFile(path, truncated);
        case 1:
            return writeFile(path, PropertyList::stringArrayToXml({account}));
        case 2:
            return writeFile(path, "<plist><array>" + QByteArray(2 * 1024 * 1024, ' ') + "</array></plist>");
        case 3:
            ::mkfifo(QFile::encodeName(path).constData(), 0644);
            return;
        default:
            QFile::link(rootOnly, path);
        }
    };
    startDaemon();
    for (int kind = 0; kind < 5; ++kind) {
        const int before = trace().count(Protocol::UserDetailsFile);
        plant(details, kind);
        EXPECT_TRUE(waitUntil([&] { return trace().count(Protocol::UserDetailsFile) > before; }, 10000))
            << "kind " << kind << hostLog();
        EXPECT_FALSE(daemonEnded()) << hostLog();
    }
    EXPECT_EQ(trace().count(Protocol::UserDetailsFile), 5) << "once per file and reason, however often read";
    EXPECT_FALSE(trace().contains(QStringLiteral("Watcher started")));

    // A good record among hostile exclusion lists: the daemon backs up, the lists count as empty.
    QFile::remove(details);
    ASSERT_TRUE(PropertyList::writeStringArray(paths.pathForApplicationFile(DaemonPath::InitialBackupList),
                                               {home + QStringLiteral("/Notes")}, PropertyList::PublicMode));
    writeFile(home + QStringLiteral("/Notes/first.txt"), "first");
    plant(paths.pathForApplicationFile(DaemonPath::InitialExcludeList), 0);
    plant(paths.pathForApplicationFile(DaemonPath::TimeMachineExclude), 4);
    writeDetails();
    ASSERT_TRUE(waitUntil([&] { return trace().contains(QStringLiteral("Watcher started")); }, 20000))
        << hostLog();
    const QString later = home + QStringLiteral("/Notes/later.txt");
    writeFile(later, "later");
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(onAppliance(later)); }, 30000)) << hostLog();
    EXPECT_TRUE(
        trace().contains(QFileInfo(paths.pathForApplicationFile(DaemonPath::InitialExcludeList)).fileName()));
    EXPECT_TRUE(
        trace().contains(QFileInfo(paths.pathForApplicationFile(DaemonPath::TimeMachineExclude)).fileName()));
    EXPECT_FALSE(daemonEnded());
}

TEST_F(WatcherDaemonFault, RestoreKilledMidFileLeavesNoHalfFileUnderItsName) {
    ZH_SKIP_IF(needs::tool("setpriv", "util-linux"));
    const QString inModule =
        account + u'/' + UtilityClass::machineName() + home + QStringLiteral("/Big/big.bin");
    const QByteArray big(200 * 1024 * 1024, 'n');
    ASSERT_TRUE(appliance->putFile(inModule, big));
    const QString destination = home + QStringLiteral("/Downloads");
    writeFile(destination + QStringLiteral("/big.bin"), "the older copy");
    ChildProcess::run({QStringLiteral("chown"), QStringLiteral("-R"), user.name, destination});
    const auto download = [&] {
        return ChildProcess::spawn(restoreCommand(inModule, destination, RsyncConventions::Launch::Direct));
    };
    // The application (its process group, rsync included) killed once the download is under way.
    const pid_t restore = download();
    ASSERT_TRUE(waitUntil(
        [&] {
            return !QDir(destination)
                        .entryList({QStringLiteral(".big.bin.*")}, QDir::Files | QDir::Hidden)
                        .isEmpty();
        },
        30000));
    ::kill(-restore, SIGKILL);
    ChildProcess::terminate(restore);
    EXPECT_EQ(contentOf(destination + QStringLiteral("/big.bin")), "the older copy");
    // Done again, it completes, and the older copy is kept beside it.
    const pid_t again = download();
    ASSERT_TRUE(waitUntil([&] { return !ChildProcess::isAlive(again); }, 60000));
    EXPECT_TRUE(contentOf(destination + QStringLiteral("/big.bin")) == big);
    EXPECT_EQ(contentOf(destination + QStringLiteral("/big.bin.before-restore-20261207")), "the older copy");
}
