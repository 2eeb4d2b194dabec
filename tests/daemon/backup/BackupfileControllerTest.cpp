#include "BackupfileController.h"

#include "DaemonTestServices.h"

#include <QRegularExpression>

#include <unistd.h>

namespace {

class BackupfileControllerTest : public ::testing::Test {
  protected:
    DaemonTestServices env;
    const QString lists = env.path(DaemonPath::BackupListsFolder);
    QStringList listFiles() const { return QDir(lists).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
    QStringList linesOf(const QString& name) const { return readTrace(lists + u'/' + name).split(u'\n'); }
};

QSet<QString> toSet(const QStringList& list) {
    return QSet<QString>(list.cbegin(), list.cend());
}

QStringList numbered(int count, const QString& prefix) {
    QStringList out;
    for (int i = 0; i < count; ++i)
        out << prefix + QString::number(i);
    return out;
}

} // namespace

TEST_F(BackupfileControllerTest, ListsOfAThousandAtMostLoseNothingWhenTheyCannotBeWritten) {
    BackupfileController collector(env.services(),
                                   env.user.name); // no collector thread: flushes are called here
    QDir().mkpath(lists);
    for (const QString& p : numbered(1000, "/home/u/file ") + QStringList(50, "/home/u/file 7"))
        collector.addBackupFiles(p);
    collector.addBackupFiles(QStringLiteral("/private/var/x"));
    collector.addBackupFiles(QString());
    collector.timerFireMethod();
    // Exactly a thousand make one file, without a trailing line feed; repeats once, private paths never.
    ASSERT_EQ(listFiles().size(), 1);
    const QString first = listFiles().first();
    EXPECT_TRUE(first.endsWith(QStringLiteral("_1")));
    EXPECT_EQ(linesOf(first).size(), 1000);
    EXPECT_EQ(toSet(linesOf(first)), toSet(numbered(1000, "/home/u/file ")));
    collector.timerFireMethod(); // nothing pending: no new file
    EXPECT_EQ(listFiles(), QStringList{first});
    QFile::remove(lists + u'/' + first);

    const QStringList more = numbered(2500, QStringLiteral("/home/u/more \"'$(x) "));
    for (const QString& p : more)
        collector.addBackupFiles(p);
    // The folder is replaced by a plain file: nothing can be created in it, not even by root.
    QDir(lists).removeRecursively();
    ASSERT_TRUE(FileTools::writeAtomically(lists, "", 0644));
    collector.timerFireMethod();
    EXPECT_EQ(collector.pendingCount(), 2500);
    EXPECT_TRUE(env.trace().contains(QStringLiteral("could not be written")));
    QFile::remove(lists);
    QDir().mkpath(lists);
    collector.timerFireMethod();
    EXPECT_EQ(collector.pendingCount(), 0);
    const QStringList files = listFiles();
    ASSERT_EQ(files.size(), 3);
    // Named "yyyy-MM-dd HH-mm-ss-SSS_<n>", numbered from one; the last one holds the rest.
    const QString stem = files.first().chopped(2);
    EXPECT_TRUE(QRegularExpression(R"(^\d{4}-\d\d-\d\d \d\d-\d\d-\d\d-\d{3}$)").match(stem).hasMatch())
        << stem.toStdString();
    EXPECT_EQ(files, (QStringList{stem + "_1", stem + "_2", stem + "_3"}));
    EXPECT_EQ(linesOf(files[0]).size() + linesOf(files[1]).size(), 2000);
    EXPECT_EQ(toSet(env.listed()), toSet(more));
}

TEST_F(BackupfileControllerTest, CollectorThreadFlushesOnItsTimer) {
    Timings timings;
    timings.changeFlushInterval = 150ms;
    BackupfileController collector(env.services(timings), env.user.name);
    collector.initBackupfileController(env.user.name);
    collector.addBackupFiles(QStringLiteral("/home/u/new.txt"));
    EXPECT_TRUE(waitUntil([&] { return env.listed() == QStringList{"/home/u/new.txt"}; }, 3000));
    // The machine-wide state is not writable by everybody.
    EXPECT_FALSE(QFileInfo(env.root.profile().systemSupportFolder).permissions() & QFileDevice::WriteOther);
}

TEST_F(BackupfileControllerTest, PlannedExitWritesWhatIsPending) {
    BackupfileController collector(env.services(),
                                   env.user.name); // the standard 4-second timer never fires here
    collector.initBackupfileController(env.user.name);
    collector.addBackupFiles(QStringLiteral("/home/u/last words.txt"));
    env.restarter.exitProcess(1);
    EXPECT_EQ(env.exitStatus, 1);
    EXPECT_EQ(env.listed(), QStringList{"/home/u/last words.txt"});
}

TEST_F(BackupfileControllerTest, UnfinishedInitialBackupIsQueuedAgainAtStart) {
    const QString list = env.path(DaemonPath::InitialBackupList);
    const QString ready = env.path(DaemonPath::InitialSetReadyMarker);
    QDir().mkpath(QFileInfo(list).path());
    PropertyList::writeStringArray(list, {"/home/u", "/private/etc/x"}, PropertyList::PublicMode);
    QFile(env.path(DaemonPath::InitialBackupStartedMarker)).open(QIODevice::WriteOnly);
    BackupfileController collector(env.services(), env.user.name);
    collector.initBackupfileController(env.user.name);
    EXPECT_EQ(collector.pendingCount(), 2); // the initial list is not filtered
    EXPECT_EQ(readTrace(ready), "1");
    EXPECT_TRUE(env.trace().contains("Previous initial backup not happend properly so starts again"));
    // A missing initial list queues nothing but still sets the marker.
    QFile::remove(list);
    QFile::remove(ready);
    collector.writeInitialBackupList();
    EXPECT_TRUE(QFile::exists(ready));
}

TEST_F(BackupfileControllerTest, ReinitializeEmptiesOnlyTheUsersOwnAccountFolderAndAlwaysRestarts) {
    ZH_SKIP_IF(needs::root("the boundary only exists for a daemon running as root, against another account"));
    ASSERT_TRUE(env.startBus());
    const QString support = env.path(DaemonPath::UserSupportFolder);
    const QString record = env.path(DaemonPath::UserDetails);
    for (const QString& file : {support + "/ann/ann.db", support + "/ann/sub/x", support + "/keep.txt"}) {
        FileTools::makePath(QFileInfo(file).path());
        QFile(file).open(QIODevice::WriteOnly);
    }
    BackupfileController collector(env.services(), env.user.name);
    collector.initBackupfileController(env.user.name);
    const auto reinitializeAs = [&](const QVariantMap& details, bool now = true) {
        PropertyList::writeDictionary(record, details, PropertyList::OwnerOnlyMode);
        ASSERT_EQ(::lchown(QFile::encodeName(record).constData(), env.user.uid, env.user.gid), 0);
        if (now)
            collector.receiveReinitializeNotification();
    };
    // Without an appliance user name nothing is deleted; the daemon still restarts.
    reinitializeAs({{"ip", "1.2.3.4"}});
    EXPECT_EQ(env.exits, 1);
    EXPECT_TRUE(QFile::exists(support + "/ann/ann.db"));
    EXPECT_TRUE(QFile::exists(record));
    // Root's folder the attacks aim at: "../" in the name, a symlinked account folder, a symlinked
    // user support folder (what lies behind it is reached with the user's rights only).
    const QString victim = env.root.path() + QStringLiteral("/victim");
    QDir().mkpath(victim + "/sub");
    QFile(victim + "/sub/precious").open(QIODevice::WriteOnly);
    reinitializeAs({{"username", QDir(support).relativeFilePath(victim)}});
    EXPECT_TRUE(env.trace().contains("refused: not a single path component"));
    ASSERT_TRUE(QFile::link(victim, support + "/victim"));
    reinitializeAs({{"username", "victim"}});
    EXPECT_TRUE(env.trace().contains("is a symbolic link, not emptied"));
    EXPECT_TRUE(QFile::exists(victim + "/sub/precious"));

    // The user's own account folder is emptied, and the markers go, when asked over the bus.
    reinitializeAs({{"username", "ann"}}, false);
    for (int marker : {DaemonPath::InitialSetReadyMarker, DaemonPath::InitialBackupStartedMarker})
        QFile(env.path(marker)).open(QIODevice::WriteOnly);
    const int before = env.exits;
    env.appSide->postNotification(QStringLiteral("Reinitialize"));
    ASSERT_TRUE(waitUntil([&] { return env.exits == before + 1; }));
    EXPECT_EQ(env.exitStatus, 1);
    EXPECT_TRUE(QDir(support + "/ann").isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
    EXPECT_TRUE(QFile::exists(support + "/keep.txt"));
    EXPECT_FALSE(QFile::exists(env.path(DaemonPath::InitialSetReadyMarker)));
    EXPECT_FALSE(QFile::exists(env.path(DaemonPath::InitialBackupStartedMarker)));
    EXPECT_TRUE(QFile::exists(env.path(DaemonPath::InstalMarker)));
    EXPECT_TRUE(env.trace().contains(
        " : receiveReinitializeNotification  so restarting deamon, it will take care. \n"));
    // A symlinked user support folder.
    QDir(support).removeRecursively();
    ASSERT_TRUE(QFile::link(env.root.path(), support));
    reinitializeAs({{"username", "victim"}});
    EXPECT_TRUE(QFile::exists(victim + "/sub/precious"));
    EXPECT_EQ(env.exits, before + 2); // each one restarts, as a Reinitialize does
}

TEST_F(BackupfileControllerTest, BackupNowQueuesAPathThePersonCanSeeAndRefusesOthers) {
    ZH_SKIP_IF(needs::root("the person's rights are only taken on by a daemon running as root"));
    ASSERT_TRUE(env.startBus());
    QDir().mkpath(lists);
    BackupfileController collector(env.services(), env.user.name);
    collector.initBackupfileController(env.user.name);
    // A file the person made while the daemon was not running. Refused: what is not there for the
    // person (looked at with their rights), a relative path, one with "..", none.
    const QString mine = env.home() + QStringLiteral("/made while stopped.txt");
    QFile(mine).open(QIODevice::WriteOnly);
    const QString hidden = env.home() + QStringLiteral("/not there");

    // A line feed would make a second, unchecked path of a list line; a path longer than any can be
    // would only fill the trace.
    const QString twoLines = env.home() + QStringLiteral("/dir\n/etc/shadow");
    ASSERT_TRUE(QDir().mkpath(QFileInfo(twoLines).path()));
    QFile(twoLines).open(QIODevice::WriteOnly);
    env.user.handOver(env.home());
    const QString oversized = env.home() + u'/' + QString(100000, u'x');
    for (const QString& refused :
         {hidden + QStringLiteral("/secret"), QStringLiteral("relative/path"),
          env.home() + QStringLiteral("/../") + env.user.name, QString(), twoLines, oversized})
        EXPECT_FALSE(collector.receiveBackupNowNotification({{"path", refused}}))
            << refused.left(200).toStdString();
    EXPECT_EQ(collector.pendingCount(), 0);
    EXPECT_TRUE(env.trace().contains(QStringLiteral("BackupNow refused for \"%1/secret\"").arg(hidden)));
    // Refusals are the person's doing: at most a line a minute, each quoting at most a little.
    const qsizetype before = env.trace().size();
    for (int i = 0; i < 500; ++i)
        collector.receiveBackupNowNotification({{"path", oversized}});
    EXPECT_LT(env.trace().size() - before, 600) << env.trace().toStdString();
    EXPECT_FALSE(env.trace().contains(QStringLiteral("/etc/shadow\"")));

    // Over the bus, as the application sends it: written into a list the normal way.
    env.appSide->postNotification(QStringLiteral("BackupNow"), {{"path", mine}});
    ASSERT_TRUE(waitUntil([&] { return collector.pendingCount() == 1; }));
    collector.timerFireMethod();
    ASSERT_EQ(listFiles().size(), 1);
    EXPECT_EQ(linesOf(listFiles().first()), QStringList{mine});
}
