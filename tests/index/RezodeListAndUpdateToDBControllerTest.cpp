// The server listing: first-level and folder-wise listings as child processes into the index.
// Most cases run a scripted stand-in for rsync; the appliance cases list a real rsync daemon.

#include "RezodeListAndUpdateToDBController.h"
#include "Appliance.h"
#include "EventLoopWait.h"
#include "IndexTestSupport.h"
#include "RezodeLoger.h"
#include "TestRoots.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QSet>
#include <QTemporaryDir>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace indextest;

namespace {

const QString kUser = QStringLiteral("alice");
// Travels only in the password file; never in a command line or a log.
const QString kPassword = QStringLiteral("s3 cr'e\"t$(touch pwned)");

QByteArray line(const QByteArray& perms, const QByteArray& size, const QByteArray& name) {
    return perms + "  " + size.rightJustified(13, ' ') + " 2016/03/04 05:06:07 " + name + "\n";
}

// A scripted rsync with the private copy's calling form: the first level prints a fixed text; a
// folder listing prints that folder's text, optionally in two parts with a pause between them
// (two chunks), optionally then waits until killed. It records each call and the password file
// it was given.
class FakeRsync {
  public:
    struct Folder {
        QByteArray first;
        QByteArray second; // sent after a pause, when not empty
        bool hang = false;
    };

    FakeRsync() {
        mScript = mDir.filePath(QStringLiteral("fake-rsync"));
        QFile f(mScript);
        f.open(QIODevice::WriteOnly);
        f.write("#!/bin/bash\n"
                "dir='" +
                QFile::encodeName(mDir.path()) +
                "'\n"
                "recursive=0\n"
                "for a in \"$@\"; do case \"$a\" in --recursive) recursive=1;; "
                "--password-file=*) pw=\"${a#--password-file=}\";; esac; done\n"
                "remote=\"${@: -1}\"\n"
                "printf '%s\\n' \"$remote\" >> \"$dir/calls\"\n"
                "cat \"$pw\" > \"$dir/password.$recursive\"; stat -c %a \"$pw\" >> \"$dir/modes\"\n"
                "if [ $recursive = 0 ]; then cat \"$dir/first\"; exit 0; fi\n"
                "folder=\"${remote#*::\\\"backup/alice/}\"; folder=\"${folder%/\\\"}\"\n"
                "key=$(printf %s \"$folder\" | md5sum | cut -c1-12)\n"
                "cat \"$dir/$key.1\" 2>/dev/null\n"
                "if [ -e \"$dir/$key.2\" ]; then sleep 0.3; cat \"$dir/$key.2\"; fi\n"
                "if [ -e \"$dir/$key.hang\" ]; then touch \"$dir/hanging\"; exec sleep 60; fi\n"
                "exit 0\n");
        f.close();
        ::chmod(QFile::encodeName(mScript).constData(), 0755);
    }

    QString path() const { return mScript; }
    void setFirstLevel(const QByteArray& text) { put(QStringLiteral("first"), text); }
    void setFolder(const QString& name, const Folder& folder) {
        const QString key = QString::fromLatin1(
            QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Md5).toHex().left(12));
        put(key + QStringLiteral(".1"), folder.first);
        if (!folder.second.isEmpty())
            put(key + QStringLiteral(".2"), folder.second);
        if (folder.hang)
            put(key + QStringLiteral(".hang"), "");
    }
    QStringList calls() const {
        return QString::fromUtf8(read(QStringLiteral("calls"))).split(u'\n', Qt::SkipEmptyParts);
    }
    QByteArray read(const QString& name) const {
        QFile f(mDir.filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    bool hanging() const { return QFile::exists(mDir.filePath(QStringLiteral("hanging"))); }
    void clearHanging() { QFile::remove(mDir.filePath(QStringLiteral("hanging"))); }

  private:
    void put(const QString& name, const QByteArray& data) {
        QFile f(mDir.filePath(name));
        f.open(QIODevice::WriteOnly);
        f.write(data);
    }
    QTemporaryDir mDir;
    QString mScript;
};

class ListingControllerTest : public ::testing::Test {
  protected:
    void SetUp() override { mLogger.setLogWritePath(mDir.filePath(QStringLiteral("trace.log"))); }

    QString log() const {
        QFile f(mDir.filePath(QStringLiteral("trace.log")));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
    int logCount(const QString& message) const {
        return int(log().count(QStringLiteral(" : ") + message + u' '));
    }
    // The messages of the trace, in order, each without its timestamp.
    QStringList messages() const {
        QStringList out;
        for (const QString& entry : log().split(QStringLiteral(" \n"), Qt::SkipEmptyParts))
            out << entry.mid(entry.indexOf(QStringLiteral(" : ")) + 3);
        return out;
    }
    QString support() const { return mRoot.path() + QStringLiteral("/support"); }
    QString folder() const { return support() + u'/' + kUser; }
    QString master() const { return DataBaseWraper::masterPath(folder(), kUser); }

    std::unique_ptr<RezodeListAndUpdateToDBController>
    make(const QString& launch, bool builtin, const QString& address, Timings timings = quickTimings()) {
        auto lister = std::make_unique<RezodeListAndUpdateToDBController>(mRoot.profile(), mLogger,
                                                                          IndexThrottle(timings));
        lister->setUserName(kUser);
        lister->setUserPasswd(kPassword);
        lister->setServerIp(address);
        lister->setDbPath(support());
        lister->setIsBuiltinRsync(builtin);
        lister->setLaunchPath(launch);
        const auto command = RezodeListAndUpdateToDBController::firstLevelCommand(
            builtin, launch, lister->passwordFilePath(), kUser, address);
        lister->setArguments(command.arguments);
        return lister;
    }
    std::unique_ptr<RezodeListAndUpdateToDBController> makeFake(const FakeRsync& fake,
                                                                Timings timings = quickTimings()) {
        return make(fake.path(), false, QStringLiteral("127.0.0.1"), timings);
    }
    static bool finish(RezodeListAndUpdateToDBController& lister, int ms = 30000) {
        return waitUntil([&] { return !lister.isRunning(); }, ms);
    }

    TempRoot mRoot;
    QTemporaryDir mDir;
    RezodeLoger mLogger;
};

TEST_F(ListingControllerTest, OnlyHiddenFoldersEndThePassAtOnce) {
    FakeRsync fake;
    fake.setFirstLevel(line("drwxr-xr-x", "4,096", ".") + line("drwxr-xr-x", "4,096", ".Trash") +
                       line("drwxr-xr-x", "4,096", ".zfs") + line("-rw-r--r--", "12", "notes.txt"));
    auto lister = makeFake(fake);
    int finished = 0;
    QObject::connect(lister.get(), &RezodeListAndUpdateToDBController::listingFinished, [&] { ++finished; });
    lister->initialListing();
    EXPECT_TRUE(lister->isRunning());
    ASSERT_TRUE(finish(*lister));
    EXPECT_EQ(finished, 1);
    EXPECT_TRUE(lister->listingFolderList().isEmpty());
    EXPECT_EQ(messages(),
              QStringList(
                  {QStringLiteral("Initial Listing Called"), QStringLiteral("Initial Listing Finished"),
                   QStringLiteral("cleanupListDetails Called"), QStringLiteral("cleanupListDetails Finished"),
                   QStringLiteral("No Folder Details  to call callFolderWiseRecursiveListing")}));
    EXPECT_FALSE(QFile::exists(lister->passwordFilePath())) << "the password file goes with the child";
    EXPECT_FALSE(QFileInfo::exists(folder())) << "no folder listed, no index touched";
}

TEST_F(ListingControllerTest, ListsEachFolderInTurnIntoTheIndex) {
    FakeRsync fake;
    fake.setFirstLevel(line("drwxr-xr-x", "4,096", ".") + line("drwxr-xr-x", "4,096", "Office Mac") +
                       line("drwxr-xr-x", "4,096", "A") + line("-rw-r--r--", "1", "stray file"));
    FakeRsync::Folder office;
    office.first = line("drwxr-xr-x", "4,096", ".") + line("drwxr-xr-x", "4,096", "Docs") +
                   line("-rw-r--r--", "1,234", "Docs/My File.txt") + "-rw-r--r--         2,0";
    office.second = "48 2016/03/04 05:06:07 Docs/cut between chunks\n" +
                    line("-rw-r--r--", "5", "Docs/bad\xff") + line("-rw-r--r--", "5", "Docs/new\\#012line") +
                    "-rw-r--r--  6 2016/03/04 05:06:07 no line end";
    fake.setFolder(QStringLiteral("Office Mac"), office);
    fake.setFolder(QStringLiteral("A"), {line("-rw-r--r--", "7", "it's \"quoted\" $(x)"), {}, false});

    auto lister = makeFake(fake);
    lister->initialListing();
    ASSERT_TRUE(finish(*lister));
    ASSERT_TRUE(waitUntil([&] { return rowCount(master()) == 7; }, 10000)) << rowCount(master());

    EXPECT_EQ(fake.calls(), QStringList({QStringLiteral("alice@127.0.0.1::\"backup/alice/\""),
                                         QStringLiteral("alice@127.0.0.1::\"backup/alice/Office Mac/\""),
                                         QStringLiteral("alice@127.0.0.1::\"backup/alice/A/\"")}))
        << "folders in the order the first level printed them";
    QStringList paths = masterPaths(master());
    paths.sort();
    EXPECT_EQ(paths,
              QStringList(
                  {QStringLiteral("A/it's \"quoted\" $(x)"), QStringLiteral("Office Mac/Docs"),
                   QStringLiteral("Office Mac/Docs/My File.txt"), QStringLiteral("Office Mac/Docs/bad\\#377"),
                   QStringLiteral("Office Mac/Docs/cut between chunks"),
                   QStringLiteral("Office Mac/Docs/new\nline"), QStringLiteral("Office Mac/no line end")}));
    const QVariantMap cut = masterRow(master(), QStringLiteral("Office Mac/Docs/cut between chunks"));
    EXPECT_EQ(cut.value(QStringLiteral("FILE_SIZE")), QStringLiteral("2048"))
        << "the cut line was read whole";
    const QVariantMap docs = masterRow(master(), QStringLiteral("Office Mac/Docs"));
    EXPECT_EQ(docs.value(QStringLiteral("FILE_OR_FOLDER")), QStringLiteral("1"));
    EXPECT_EQ(docs.value(QStringLiteral("FILE_LMD")), QStringLiteral("2016-03-04 05:06:07 +0000"));

    const QStringList expected{QStringLiteral("Initial Listing Called"),
                               QStringLiteral("Initial Listing Finished"),
                               QStringLiteral("cleanupListDetails Called"),
                               QStringLiteral("cleanupListDetails Finished"),
                               QStringLiteral("Started callFolderWiseRecursiveListing for:Office Mac"),
                               QStringLiteral("perforFolderRecursiveListing called"),
                               QStringLiteral("startFolderListTask called"),
                               QStringLiteral("startFolderListTask End"),
                               QStringLiteral("cleanupFolderListDetails Called"),
                               QStringLiteral("cleanupFolderListDetails END"),
                               QStringLiteral("remaining List:(\n    A\n)"),
                               QStringLiteral("Started callFolderWiseRecursiveListing for:A"),
                               QStringLiteral("perforFolderRecursiveListing called"),
                               QStringLiteral("startFolderListTask called"),
                               QStringLiteral("startFolderListTask End"),
                               QStringLiteral("cleanupFolderListDetails Called"),
                               QStringLiteral("cleanupFolderListDetails END"),
                               QStringLiteral("remaining List:(\n)"),
                               QStringLiteral("No Folder Details  to call callFolderWiseRecursiveListing")};
    EXPECT_EQ(messages(), expected);

    // Every child found the password, owner-only, and it is gone now.
    EXPECT_EQ(QString::fromUtf8(fake.read(QStringLiteral("password.0"))), kPassword);
    EXPECT_EQ(QString::fromUtf8(fake.read(QStringLiteral("password.1"))), kPassword);
    EXPECT_EQ(fake.read(QStringLiteral("modes")), QByteArray("611\n611\n611\n"));
    EXPECT_FALSE(QFile::exists(lister->passwordFilePath()));
    EXPECT_FALSE(log().contains(kPassword));
}

TEST_F(ListingControllerTest, StopProcessKillsTheChildAndTheNextFolderFollows) {
    FakeRsync fake;
    fake.setFirstLevel(line("drwxr-xr-x", "4,096", "Slow") + line("drwxr-xr-x", "4,096", "Quick"));
    fake.setFolder(QStringLiteral("Slow"), {line("-rw-r--r--", "1", "before the kill"), {}, true});
    fake.setFolder(QStringLiteral("Quick"), {line("-rw-r--r--", "1", "quick file"), {}, false});
    auto lister = makeFake(fake);
    lister->initialListing();
    ASSERT_TRUE(waitUntil([&] { return fake.hanging(); }, 10000));
    EXPECT_TRUE(lister->isRunning());
    EXPECT_GT(lister->processId(), 0);
    lister->stopProcess();
    ASSERT_TRUE(finish(*lister, 15000)) << "the killed child ends its folder";
    ASSERT_TRUE(waitUntil([&] { return rowCount(master()) == 2; }, 10000));
    EXPECT_EQ(logCount(QStringLiteral("cleanupFolderListDetails Called")), 2) << "one clean-up per child";
    EXPECT_TRUE(masterPaths(master()).contains(QStringLiteral("Slow/before the kill")));
    lister->stopProcess(); // nothing running: nothing happens
}

TEST_F(ListingControllerTest, ChildThatCannotStartIsCleanedUpOnce) {
    FakeRsync fake;
    auto lister = make(mDir.filePath(QStringLiteral("no-such-rsync")), false, QStringLiteral("127.0.0.1"));
    lister->initialListing();
    ASSERT_TRUE(finish(*lister));
    EXPECT_EQ(logCount(QStringLiteral("cleanupListDetails Called")), 1);
    EXPECT_TRUE(log().contains(QStringLiteral(" : receivedErrorOfFirstLevelListing:")));
    EXPECT_EQ(logCount(QStringLiteral("No Folder Details  to call callFolderWiseRecursiveListing")), 1);
    EXPECT_FALSE(QFile::exists(lister->passwordFilePath()));
}

TEST_F(ListingControllerTest, RunningBetweenFoldersAndASecondStartIsIgnored) {
    FakeRsync fake;
    fake.setFirstLevel(line("drwxr-xr-x", "4,096", "One") + line("drwxr-xr-x", "4,096", "Two"));
    fake.setFolder(QStringLiteral("One"), {line("-rw-r--r--", "1", "a"), {}, false});
    fake.setFolder(QStringLiteral("Two"), {line("-rw-r--r--", "1", "b"), {}, false});
    Timings timings = quickTimings();
    timings.listingFolderPause = std::chrono::milliseconds(400);
    auto lister = makeFake(fake, timings);
    lister->initialListing();
    ASSERT_TRUE(
        waitUntil([&] { return logCount(QStringLiteral("cleanupFolderListDetails END")) == 1; }, 10000));
    EXPECT_TRUE(lister->isRunning()) << "the pause between folders is part of the pass";
    lister->initialListing();
    EXPECT_EQ(logCount(QStringLiteral("Initial Listing Called")), 1);
    lister->waituntilOperationDone();
    EXPECT_FALSE(lister->isRunning());
    EXPECT_EQ(fake.calls().size(), 3);

    // A later pass starts afresh.
    lister->setArguments(
        RezodeListAndUpdateToDBController::firstLevelCommand(false, fake.path(), lister->passwordFilePath(),
                                                             kUser, QStringLiteral("127.0.0.1"))
            .arguments);
    lister->initialListing();
    ASSERT_TRUE(finish(*lister));
    EXPECT_EQ(logCount(QStringLiteral("Initial Listing Called")), 2);
    EXPECT_EQ(fake.calls().size(), 6);
}

TEST_F(ListingControllerTest, PacedReadingLosesNoLine) {
    FakeRsync fake;
    fake.setFirstLevel(line("drwxr-xr-x", "4,096", "Mac"));
    // Far more lines than the backlog may hold: the child waits while they are read.
    const int count = 3 * int(RezodeListAndUpdateToDBController::BacklogHighLines);
    QByteArray many;
    for (int i = 0; i < count; ++i)
        many += line("-rw-r--r--", "1", "f" + QByteArray::number(i));
    fake.setFolder(QStringLiteral("Mac"), {many, {}, false});
    Timings timings = quickTimings();
    timings.listingLinesPause = std::chrono::milliseconds(1);
    auto lister = makeFake(fake, timings);
    int timerTicks = 0;
    qsizetype largestBacklog = 0;
    QTimer alive;
    QObject::connect(&alive, &QTimer::timeout, [&] {
        ++timerTicks;
        largestBacklog = std::max(largestBacklog, lister->pendingLines());
    });
    alive.start(1);
    lister->initialListing();
    ASSERT_TRUE(finish(*lister, 120000));
    ASSERT_TRUE(waitUntil([&] { return rowCount(master()) == count; }, 30000)) << rowCount(master());
    EXPECT_GT(timerTicks, 0) << "the thread kept serving its events";
    EXPECT_LT(largestBacklog, RezodeListAndUpdateToDBController::BacklogHighLines + 4000)
        << "bounded backlog";
}

// ---- a real appliance ----

struct Tree {
    QString base; // the account's area in the module
    QSet<QString> expected;
    QList<QByteArray> rawPaths;

    // Qt cannot name what is no UTF-8, so those files are removed here.
    ~Tree() {
        for (const QByteArray& path : rawPaths)
            ::unlink(path.constData());
    }

    void folder(const QString& machine, const QString& relative) {
        QDir().mkpath(base + u'/' + machine + u'/' + relative);
        QString path;
        for (const QString& part : relative.split(u'/')) {
            path += (path.isEmpty() ? QString() : QStringLiteral("/")) + part;
            expected.insert(machine + u'/' + path);
        }
    }
    void file(const QString& machine, const QString& relative, qint64 size = 0) {
        const int slash = int(relative.lastIndexOf(u'/'));
        if (slash > 0)
            folder(machine, relative.left(slash));
        QFile f(base + u'/' + machine + u'/' + relative);
        f.open(QIODevice::WriteOnly);
        f.resize(size);
        expected.insert(machine + u'/' + relative);
    }
    // A name that is no UTF-8; the index holds it in rsync's escaped form.
    void rawFile(const QString& machine, const QByteArray& name, const QString& indexed) {
        const QByteArray path = QFile::encodeName(base + u'/' + machine) + '/' + name;
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT, 0644);
        if (fd >= 0)
            ::close(fd);
        rawPaths << path;
        expected.insert(machine + u'/' + indexed);
    }
};

class ApplianceListingTest : public ListingControllerTest {
  protected:
    void SetUp() override {
        ListingControllerTest::SetUp();
        const QString reason = Appliance::skipReason();
        if (!reason.isEmpty())
            GTEST_SKIP() << reason.toStdString();
        ASSERT_TRUE(mAppliance.addUser(kUser, kPassword));
        QString error;
        ASSERT_TRUE(mAppliance.start(&error)) << error.toStdString();
        mTree.base = mAppliance.modulePath() + u'/' + kUser;
    }
    void expectIndexMatchesTree(RezodeListAndUpdateToDBController& lister, int ms) {
        lister.initialListing();
        ASSERT_TRUE(finish(lister, ms));
        const qint64 expected = mTree.expected.size();
        ASSERT_TRUE(waitUntil([&] { return rowCount(master()) == expected; }, ms))
            << rowCount(master()) << " of " << expected << "\n"
            << log().toStdString();
        const QStringList paths = masterPaths(master());
        EXPECT_EQ(QSet<QString>(paths.cbegin(), paths.cend()), mTree.expected);
        EXPECT_FALSE(log().contains(kPassword));
        EXPECT_FALSE(QFile::exists(lister.passwordFilePath()));
    }
    Appliance mAppliance;
    Tree mTree;
};

TEST_F(ApplianceListingTest, EveryFileOfEveryMachineReachesTheMaster) {
    mTree.file(QStringLiteral("My Mac"), QStringLiteral("Users/alice/Docs/My File.txt"), 1234567);
    mTree.file(QStringLiteral("My Mac"), QStringLiteral("Users/alice/a  b.txt"));
    mTree.file(QStringLiteral("My Mac"), QStringLiteral("odd/it's"));
    mTree.file(QStringLiteral("My Mac"), QStringLiteral("odd/q\"uote $(touch pwned) `id`"));
    mTree.file(QStringLiteral("My Mac"), QStringLiteral("odd/new\nline"));
    mTree.file(QStringLiteral("My Mac"), QStringLiteral("odd/Café"));
    mTree.file(QStringLiteral("My Mac"), QStringLiteral("odd/ lead"));
    mTree.file(QStringLiteral("My Mac"), QStringLiteral("odd/back\\#123"));
    mTree.rawFile(QStringLiteral("My Mac"), "odd/bad\xff", QStringLiteral("odd/bad\\#377"));
    for (int d = 0; d < 100; ++d)
        for (int f = 0; f < 100; ++f) {
            mTree.file(QStringLiteral("My Mac"), QStringLiteral("bulk/d%1/f%2.txt").arg(d).arg(f));
            mTree.file(QStringLiteral("Office2"), QStringLiteral("home/bulk/d%1/f%2.txt").arg(d).arg(f));
        }
    // Not machines: a hidden folder and a plain file at the first level.
    QDir().mkpath(mTree.base + QStringLiteral("/.hidden Mac/x"));
    QFile(mTree.base + QStringLiteral("/readme.txt")).open(QIODevice::WriteOnly);

    auto lister = make(QStringLiteral("/bin/bash"), true, mAppliance.address());
    expectIndexMatchesTree(*lister, 120000);
    EXPECT_GE(mTree.expected.size(), 20000);

    const QVariantMap big = masterRow(master(), QStringLiteral("My Mac/Users/alice/Docs/My File.txt"));
    EXPECT_EQ(big.value(QStringLiteral("FILE_SIZE")), QStringLiteral("1234567"));
    EXPECT_EQ(big.value(QStringLiteral("FILE_OR_FOLDER")), QStringLiteral("0"));
    const QDateTime modified =
        QFileInfo(mTree.base + QStringLiteral("/My Mac/Users/alice/Docs/My File.txt")).lastModified();
    EXPECT_EQ(big.value(QStringLiteral("FILE_LMD")).toString(),
              modified.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral(" +0000"))
        << "rsync prints the appliance's local time; it is stored as printed";
    EXPECT_EQ(masterRow(master(), QStringLiteral("Office2/home")).value(QStringLiteral("FILE_OR_FOLDER")),
              QStringLiteral("1"));
    EXPECT_EQ(logCount(QStringLiteral("Started callFolderWiseRecursiveListing for:My Mac")), 1);
    EXPECT_EQ(logCount(QStringLiteral("Started callFolderWiseRecursiveListing for:Office2")), 1);
    EXPECT_FALSE(log().contains(QStringLiteral("for:.hidden")));
    EXPECT_FALSE(QFile::exists(QStringLiteral("pwned")));

    // A second pass finds everything again and doubles nothing.
    lister->setArguments(RezodeListAndUpdateToDBController::firstLevelCommand(
                             true, QString(), lister->passwordFilePath(), kUser, mAppliance.address())
                             .arguments);
    expectIndexMatchesTree(*lister, 120000);
}

TEST_F(ApplianceListingTest, ThroughThePrivateRsync) {
#ifndef ZH_TEST_PRIVATE_RSYNC
    GTEST_SKIP() << "the private rsync adapter is not part of this build";
#else
    mTree.file(QStringLiteral("My Mac"), QStringLiteral("Users/alice/Docs/My File.txt"), 1234567);
    mTree.file(QStringLiteral("My Mac"), QStringLiteral("odd/it's \"q\" $(x)"));
    mTree.file(QStringLiteral("Office Mac"), QStringLiteral("home/a  b.txt"));
    auto lister = make(QStringLiteral(ZH_TEST_PRIVATE_RSYNC), false, mAppliance.address());
    expectIndexMatchesTree(*lister, 60000);
#endif
}

TEST_F(ApplianceListingTest, WrongPasswordOrNoApplianceListNothing) {
    mTree.file(QStringLiteral("My Mac"), QStringLiteral("a.txt"));
    auto lister = make(QStringLiteral("/bin/bash"), true, mAppliance.address());
    lister->setUserPasswd(QStringLiteral("wrong"));
    lister->initialListing();
    ASSERT_TRUE(finish(*lister));
    EXPECT_TRUE(log().contains(QStringLiteral(" : receivedErrorOfFirstLevelListing:")))
        << log().toStdString();
    EXPECT_EQ(logCount(QStringLiteral("No Folder Details  to call callFolderWiseRecursiveListing")), 1);

    mAppliance.stop();
    lister->setUserPasswd(kPassword);
    lister->setArguments(RezodeListAndUpdateToDBController::firstLevelCommand(
                             true, QString(), lister->passwordFilePath(), kUser, mAppliance.address())
                             .arguments);
    lister->initialListing();
    ASSERT_TRUE(finish(*lister));
    EXPECT_EQ(logCount(QStringLiteral("No Folder Details  to call callFolderWiseRecursiveListing")), 2);
    EXPECT_EQ(rowCount(master()), -1);
    EXPECT_FALSE(QFile::exists(lister->passwordFilePath()));
}

} // namespace
