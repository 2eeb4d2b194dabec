#include "BackupfileController.h"

#include "DaemonTestServices.h"
#include "FileTools.h"
#include "PropertyList.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QRegularExpression>
#include <QSet>

#include <unistd.h>

using namespace std::chrono_literals;

namespace {

class BackupfileControllerTest : public ::testing::Test {
  protected:
    DaemonTestServices env;
    FilePathsController paths{FilePathsController::Table::Daemon, env.root.profile()};

    void SetUp() override { paths.setM_ConsoleUserName(env.user.name); }

    QString listFolder() const { return paths.pathForApplicationFile(DaemonPath::BackupListsFolder); }
    QStringList listFiles() const {
        return QDir(listFolder()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }
    QStringList linesOf(const QString& name) const {
        QFile f(listFolder() + u'/' + name);
        f.open(QIODevice::ReadOnly);
        const QByteArray data = f.readAll();
        return data.isEmpty() ? QStringList() : QString::fromUtf8(data).split(u'\n');
    }
    QStringList allListedPaths() const {
        QStringList all;
        for (const QString& name : listFiles())
            all << linesOf(name);
        return all;
    }
    // A controller with its folder but without its collector thread: flushes are called by hand.
    std::unique_ptr<BackupfileController> handDriven() {
        auto c = std::make_unique<BackupfileController>(env.services());
        QDir().mkpath(listFolder());
        return c;
    }
};

QSet<QString> toSet(const QStringList& list) {
    return QSet<QString>(list.cbegin(), list.cend());
}

QStringList numbered(int count, const QString& prefix = QStringLiteral("/home/u/file ")) {
    QStringList out;
    for (int i = 0; i < count; ++i)
        out << prefix + QString::number(i);
    return out;
}

} // namespace

TEST_F(BackupfileControllerTest, ChunksOfAThousandNumberedFromOne) {
    auto collector = handDriven();
    for (const QString& p : numbered(2500))
        collector->addBackupFiles(p);
    collector->timerFireMethod();
    const QStringList files = listFiles();
    ASSERT_EQ(files.size(), 3);
    QList<int> sizes;
    for (const QString& f : files)
        sizes << linesOf(f).size();
    std::sort(sizes.begin(), sizes.end());
    EXPECT_EQ(sizes, (QList<int>{500, 1000, 1000}));
    const QString stem = files.first().left(files.first().lastIndexOf(u'_'));
    EXPECT_EQ(files, (QStringList{stem + "_1", stem + "_2", stem + "_3"}));
    // "yyyy-MM-dd HH-mm-ss-SSS"
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d-\\d\\d-\\d\\d-\\d{3}$"))
                    .match(stem)
                    .hasMatch())
        << stem.toStdString();
    EXPECT_EQ(toSet(allListedPaths()).size(), 2500);
    EXPECT_EQ(collector->pendingCount(), 0);
}

TEST_F(BackupfileControllerTest, ExactlyAThousandMakeOneFileWithoutTrailingLineFeed) {
    auto collector = handDriven();
    for (const QString& p : numbered(1000))
        collector->addBackupFiles(p);
    collector->timerFireMethod();
    ASSERT_EQ(listFiles().size(), 1);
    EXPECT_TRUE(listFiles().first().endsWith(QStringLiteral("_1")));
    QFile f(listFolder() + u'/' + listFiles().first());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray data = f.readAll();
    EXPECT_FALSE(data.endsWith('\n'));
    EXPECT_EQ(data.count('\n'), 999);
}

TEST_F(BackupfileControllerTest, RepeatsAreWrittenOnceAndPrivatePathsDropped) {
    auto collector = handDriven();
    for (int i = 0; i < 50; ++i)
        collector->addBackupFiles(QStringLiteral("/home/u/report.docx"));
    collector->addBackupFiles(QStringLiteral("/private/var/x"));
    collector->addBackupFiles(QString());
    collector->addBackupFiles(QStringLiteral("/home/u/odd name \"'$(x)\nline"));
    collector->timerFireMethod();
    const QStringList listed = allListedPaths();
    EXPECT_EQ(listed.count(QStringLiteral("/home/u/report.docx")), 1);
    EXPECT_FALSE(listed.contains(QStringLiteral("/private/var/x")));
    collector->timerFireMethod(); // nothing pending: no new file
    EXPECT_EQ(listFiles().size(), 1);
}

TEST_F(BackupfileControllerTest, AFileThatCannotBeWrittenLosesNothing) {
    auto collector = handDriven();
    for (const QString& p : numbered(1500))
        collector->addBackupFiles(p);
    // The folder is replaced by a plain file: nothing can be created in it, not even by root.
    QDir(listFolder()).removeRecursively();
    QFile blocker(listFolder());
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    collector->timerFireMethod();
    EXPECT_EQ(collector->pendingCount(), 1500);
    EXPECT_TRUE(env.trace().contains(QStringLiteral("could not be written")));

    QFile::remove(listFolder());
    QDir().mkpath(listFolder());
    collector->timerFireMethod();
    const QStringList listed = allListedPaths();
    EXPECT_EQ(toSet(listed), toSet(numbered(1500)));
    for (const QString& f : listFiles())
        EXPECT_FALSE(f.endsWith(QStringLiteral(".progress"))) << f.toStdString();
}

TEST_F(BackupfileControllerTest, CollectorThreadFlushesOnItsTimer) {
    Timings timings;
    timings.changeFlushInterval = 150ms;
    BackupfileController collector(env.services(timings));
    collector.initBackupfileController(env.user.name);
    collector.addBackupFiles(QStringLiteral("/home/u/new.txt"));
    ASSERT_TRUE(waitUntil([&] { return !listFiles().isEmpty(); }, 3000));
    EXPECT_EQ(allListedPaths(), QStringList{QStringLiteral("/home/u/new.txt")});
    // The machine-wide state is not writable by everybody.
    EXPECT_FALSE(QFileInfo(env.root.profile().systemSupportFolder).permissions() & QFileDevice::WriteOther);
}

TEST_F(BackupfileControllerTest, PlannedExitWritesWhatIsPending) {
    BackupfileController collector(env.services()); // the standard 4-second timer never fires here
    collector.initBackupfileController(env.user.name);
    collector.addBackupFiles(QStringLiteral("/home/u/last words.txt"));
    env.restarter.exitProcess(1);
    EXPECT_EQ(env.exitStatus, 1);
    EXPECT_EQ(allListedPaths(), QStringList{QStringLiteral("/home/u/last words.txt")});
}

TEST_F(BackupfileControllerTest, InitialListIsQueuedWithItsMarkerOnInitialbackup) {
    const QStringList initial{QStringLiteral("/home/u"), QStringLiteral("/private/etc/x"),
                              QStringLiteral("/srv/data")};
    QDir().mkpath(env.root.profile().systemSupportFolder);
    PropertyList::writeStringArray(paths.pathForApplicationFile(DaemonPath::InitialBackupList), initial,
                                   PropertyList::PublicMode);
    auto collector = std::make_unique<BackupfileController>(env.services());
    collector->initBackupfileController(env.user.name);
    EXPECT_EQ(collector->pendingCount(), 0);
    env.local.postNotification(QStringLiteral("Initialbackup"));
    EXPECT_EQ(collector->pendingCount(), 3); // the initial list is not filtered
    QFile marker(paths.pathForApplicationFile(DaemonPath::InitialSetReadyMarker));
    ASSERT_TRUE(marker.open(QIODevice::ReadOnly));
    EXPECT_EQ(marker.readAll(), "1");
    collector->timerFireMethod();
    const QStringList listed = allListedPaths();
    EXPECT_EQ(toSet(listed), toSet(initial));
    EXPECT_TRUE(
        env.trace().contains(QStringLiteral("mInitialBackupSetReady writeInitialBackupList called.")));
}

TEST_F(BackupfileControllerTest, UnfinishedInitialBackupIsQueuedAgainAtStart) {
    QDir().mkpath(env.root.profile().systemSupportFolder);
    PropertyList::writeStringArray(paths.pathForApplicationFile(DaemonPath::InitialBackupList),
                                   {QStringLiteral("/home/u")}, PropertyList::PublicMode);
    QFile started(paths.pathForApplicationFile(DaemonPath::InitialBackupStartedMarker));
    ASSERT_TRUE(started.open(QIODevice::WriteOnly));
    started.close();
    BackupfileController collector(env.services());
    collector.initBackupfileController(env.user.name);
    EXPECT_EQ(collector.pendingCount(), 1);
    EXPECT_TRUE(
        env.trace().contains(QStringLiteral("Previous initial backup not happend properly so starts again")));
    // A missing initial list queues nothing but still sets the marker.
    QFile::remove(paths.pathForApplicationFile(DaemonPath::InitialBackupList));
    QFile::remove(paths.pathForApplicationFile(DaemonPath::InitialSetReadyMarker));
    collector.writeInitialBackupList();
    EXPECT_TRUE(QFile::exists(paths.pathForApplicationFile(DaemonPath::InitialSetReadyMarker)));
}

TEST_F(BackupfileControllerTest, ReinitializeOverTheBusEmptiesTheAccountAndRestarts) {
    ASSERT_TRUE(env.startBus());
    const QString support = paths.pathForApplicationFile(DaemonPath::UserSupportFolder);
    FileTools::makePath(support + QStringLiteral("/ann/sub")); // the user's, as in a real home
    QFile(support + QStringLiteral("/ann/ann.db")).open(QIODevice::WriteOnly);
    QFile(support + QStringLiteral("/ann/sub/x")).open(QIODevice::WriteOnly);
    QFile(support + QStringLiteral("/keep.txt")).open(QIODevice::WriteOnly);
    PropertyList::writeDictionary(paths.pathForApplicationFile(DaemonPath::UserDetails),
                                  {{QStringLiteral("username"), QStringLiteral("ann")}},
                                  PropertyList::OwnerOnlyMode);
    BackupfileController collector(env.services());
    collector.initBackupfileController(env.user.name);
    for (int marker : {DaemonPath::InitialSetReadyMarker, DaemonPath::InitialBackupStartedMarker})
        QFile(paths.pathForApplicationFile(marker)).open(QIODevice::WriteOnly);

    env.appSide->postNotification(QStringLiteral("Reinitialize"));
    ASSERT_TRUE(waitUntil([&] { return env.exits > 0; }));
    EXPECT_EQ(env.exitStatus, 1);
    EXPECT_TRUE(QDir(support + QStringLiteral("/ann"))
                    .isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden));
    EXPECT_TRUE(QFile::exists(support + QStringLiteral("/keep.txt")));
    EXPECT_FALSE(QFile::exists(paths.pathForApplicationFile(DaemonPath::InitialSetReadyMarker)));
    EXPECT_FALSE(QFile::exists(paths.pathForApplicationFile(DaemonPath::InitialBackupStartedMarker)));
    EXPECT_TRUE(QFile::exists(paths.pathForApplicationFile(DaemonPath::InstalMarker)));
    EXPECT_TRUE(env.trace().contains(
        QStringLiteral(" : receiveReinitializeNotification  so restarting deamon, it will take care. \n")));
}

TEST_F(BackupfileControllerTest, ReinitializeWithoutAnAccountNameDeletesNothing) {
    const QString support = paths.pathForApplicationFile(DaemonPath::UserSupportFolder);
    QDir().mkpath(support);
    QFile(support + QStringLiteral("/InitialExcludeList.txt")).open(QIODevice::WriteOnly);
    PropertyList::writeDictionary(paths.pathForApplicationFile(DaemonPath::UserDetails),
                                  {{QStringLiteral("ip"), QStringLiteral("1.2.3.4")}},
                                  PropertyList::OwnerOnlyMode);
    BackupfileController collector(env.services());
    collector.initBackupfileController(env.user.name);
    collector.receiveReinitializeNotification();
    EXPECT_TRUE(QFile::exists(support + QStringLiteral("/InitialExcludeList.txt")));
    EXPECT_TRUE(QFile::exists(paths.pathForApplicationFile(DaemonPath::UserDetails)));
    EXPECT_EQ(env.exitStatus, 1);
}

TEST_F(BackupfileControllerTest, ReinitializeEmptiesNothingOutsideTheUsersAccountFolder) {
    if (geteuid() != 0 || env.user.uid == 0)
        GTEST_SKIP() << "the boundary only exists for a daemon running as root, against another account";
    const QString support = paths.pathForApplicationFile(DaemonPath::UserSupportFolder);
    FileTools::makePath(support);
    // Root's folder the attacks aim at.
    const QString victim = env.root.path() + QStringLiteral("/victim");
    QDir().mkpath(victim + QStringLiteral("/sub"));
    QFile(victim + QStringLiteral("/sub/precious")).open(QIODevice::WriteOnly);
    BackupfileController collector(env.services());
    collector.initBackupfileController(env.user.name);
    const auto reinitializeAs = [&](const QString& account) {
        const QString record = paths.pathForApplicationFile(DaemonPath::UserDetails);
        PropertyList::writeDictionary(record, {{QStringLiteral("username"), account}},
                                      PropertyList::OwnerOnlyMode);
        ASSERT_EQ(::lchown(QFile::encodeName(record).constData(), env.user.uid, env.user.gid), 0);
        collector.receiveReinitializeNotification();
    };

    // "../" in the name, pointing from the user support folder to the victim.
    reinitializeAs(QDir(support).relativeFilePath(victim));
    EXPECT_TRUE(env.trace().contains(QStringLiteral("refused: not a single path component")));
    // A symlinked account folder.
    ASSERT_TRUE(QFile::link(victim, support + QStringLiteral("/ann")));
    reinitializeAs(QStringLiteral("ann"));
    EXPECT_TRUE(env.trace().contains(QStringLiteral("is a symbolic link, not emptied")));
    // A symlinked user support folder: what lies behind it is reached with the user's rights only.
    QDir(support).removeRecursively();
    ASSERT_TRUE(QFile::link(env.root.path(), support));
    reinitializeAs(QStringLiteral("victim"));

    EXPECT_TRUE(QFile::exists(victim + QStringLiteral("/sub/precious")));
    EXPECT_EQ(env.exits, 3); // each one still restarts, as a Reinitialize does
}
