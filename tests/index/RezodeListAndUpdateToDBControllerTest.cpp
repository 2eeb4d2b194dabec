// The server listing: first-level and folder-wise listings as child processes into the index.
// Most cases run a scripted stand-in for rsync; the appliance case lists a real rsync daemon.

#include "RezodeListAndUpdateToDBController.h"
#include "Appliance.h"
#include "IndexTestSupport.h"
#include "RezodeLoger.h"

#include <QSet>

using namespace indextest;
using Lister = RezodeListAndUpdateToDBController;

namespace {

// Travels only in the password file; never in a command line or a log.
const QString kPassword = u"s3 cr'e\"t$(touch pwned)"_s;
const QString kPassEnd = u"No Folder Details  to call callFolderWiseRecursiveListing"_s;

QByteArray entry(const QByteArray& name, const QByteArray& size = "1", const char* perms = "-rw-r--r--") {
    return perms + QByteArray("  ") + size.rightJustified(13, ' ') + " 2016/03/04 05:06:07 " + name + "\n";
}
QByteArray dir(const QByteArray& name) {
    return entry(name, "4,096", "drwxr-xr-x");
}

class ListingControllerTest : public RequiringTest {
  protected:
    // A stand-in for rsync, called like the private copy: for a folder ("" at the first level) it prints
    // <folder>.1, after a pause <folder>.2 as a second chunk, then with a <folder>.hang waits to be killed.
    // It records each call's remote, the password it found and its file's mode.
    void prepare() override {
        mLogger.setLogWritePath(file(u"trace.log"_s));
        writeFile(file(u"rsync"_s),
                  "#!/bin/bash\nd='" + QFile::encodeName(mDir.path()) +
                      "'\nfor a; do case \"$a\" in --password-file=*) pw=\"${a#*=}\";; esac; done\n"
                      "remote=\"${@: -1}\"; printf '%s\\n' \"$remote\" >> \"$d/calls\"\n"
                      "cat \"$pw\" >> \"$d/passwords\"; stat -c %a \"$pw\" >> \"$d/modes\"\n"
                      "f=\"${remote#*::\\\"backup/alice/}\"; f=\"${f%\\\"}\"; f=\"$d/${f%/}\"\n"
                      "cat \"$f.1\"; if [ -s \"$f.2\" ]; then sleep 0.3; cat \"$f.2\"; fi\n"
                      "if [ -s \"$f.hang\" ]; then touch \"$d/hanging\"; exec sleep 60; fi\n");
        QFile::setPermissions(file(u"rsync"_s), QFileDevice::ExeOwner | QFileDevice::ReadOwner);
    }
    void serve(const QString& folder, const QByteArray& first, const QByteArray& second = {},
               const char* hang = "") {
        writeFile(file(folder + u".1"_s), first);
        writeFile(file(folder + u".2"_s), second);
        writeFile(file(folder + u".hang"_s), hang);
    }
    QString file(const QString& name) const { return mDir.filePath(name); }
    QStringList calls() const { return readTrace(file(u"calls"_s)).split(u'\n', Qt::SkipEmptyParts); }
    QString log() const { return readTrace(file(u"trace.log"_s)); }
    int logCount(const QString& message) const { return int(log().count(u" : "_s + message + u' ')); }
    // The trace's messages without their timestamps, joined by "|".
    QString messages() const {
        QStringList out;
        for (const QString& line : log().split(u" \n"_s, Qt::SkipEmptyParts))
            out << line.mid(line.indexOf(u" : "_s) + 3);
        return out.join(u'|');
    }
    QString master() const { return DataBaseWraper::masterPath(mRoot.path() + u"/support/alice"_s, kUser); }

    std::unique_ptr<Lister> make(Timings timings = quickTimings(), const QString& launch = {},
                                 const QString& address = u"127.0.0.1"_s) {
        auto lister = std::make_unique<Lister>(mRoot.profile(), mLogger, IndexThrottle(timings));
        lister->setUserName(kUser);
        lister->setUserPasswd(kPassword);
        lister->setServerIp(address);
        lister->setDbPath(mRoot.path() + u"/support"_s);
        lister->setLocalUser(processAccount());
        lister->setIsBuiltinRsync(launch == u"/bin/bash"_s);
        lister->setLaunchPath(launch.isEmpty() ? file(u"rsync"_s) : launch);
        return lister;
    }
    // Sets the first-level command the way the backup controller does, then starts a pass.
    static void startPass(Lister& lister) {
        lister.setArguments(Lister::firstLevelCommand(lister.isBuiltinRsync(), lister.getLaunchPath(),
                                                      lister.passwordFilePath(), kUser, lister.getServerIp())
                                .arguments);
        lister.initialListing();
    }
    static bool finish(Lister& lister, int ms = 30000) {
        return waitUntil([&] { return !lister.isRunning(); }, ms);
    }
    static bool runPass(Lister& lister, int ms = 30000) {
        startPass(lister);
        return finish(lister, ms);
    }

    TempRoot mRoot;
    QTemporaryDir mDir;
    RezodeLoger mLogger;
};

TEST_F(ListingControllerTest, ListsEachFolderInTurnIntoTheIndex) {
    serve(QString(), dir(".") + dir(".Trash") + dir("A") + dir("Office Mac") + entry("stray file"));
    serve(u"A"_s, entry("it's \"quoted\" $(x)", "7"));
    // Two chunks, cut inside a line and inside a character; no line end after the last line.
    serve(u"Office Mac"_s,
          dir(".") + dir("Docs") + entry("Docs/My File.txt", "1,234") +
              "-rw-r--r--  2,048 2016/03/04 05:06:07 Docs/Caf\xc3",
          "\xa9\n" + entry("Docs/bad\xff") + entry("Docs/new\\#012line") +
              "-rw-r--r--  6 2016/03/04 05:06:07 no line end");
    auto lister = make();
    ASSERT_TRUE(runPass(*lister));
    ASSERT_TRUE(waitUntil([&] { return rowCount(master()) == 7; })) << rowCount(master());

    EXPECT_EQ(calls(),
              QStringList({u"alice@127.0.0.1::\"backup/alice/\""_s, u"alice@127.0.0.1::\"backup/alice/A/\""_s,
                           u"alice@127.0.0.1::\"backup/alice/Office Mac/\""_s}))
        << "folders in the order the first level printed them";
    EXPECT_EQ(masterPaths(master()),
              QStringList({u"A/it's \"quoted\" $(x)"_s, u"Office Mac/Docs"_s, u"Office Mac/Docs/Café"_s,
                           u"Office Mac/Docs/My File.txt"_s, u"Office Mac/Docs/bad\\#377"_s,
                           u"Office Mac/Docs/new\nline"_s, u"Office Mac/no line end"_s}));
    EXPECT_EQ(field(master(), u"Office Mac/Docs/Café"_s, "FILE_SIZE"), u"2048"_s);
    EXPECT_EQ(field(master(), u"Office Mac/Docs"_s, "FILE_OR_FOLDER"), u"1"_s);
    const QString folder =
        u"Started callFolderWiseRecursiveListing for:%1|perforFolderRecursiveListing called|"
        "startFolderListTask called|startFolderListTask End|cleanupFolderListDetails Called|"
        "cleanupFolderListDetails END|remaining List:%2|"_s;
    EXPECT_EQ(
        messages(),
        u"Initial Listing Called|Initial Listing Finished|cleanupListDetails Called|cleanupListDetails Finished|"_s +
            // (a message's further lines are indented in the trace)
            folder.arg(u"A"_s, u"(\n        \"Office Mac\"\n    )"_s) +
            folder.arg(u"Office Mac"_s, u"(\n    )"_s) + kPassEnd);

    // Every child found the password in an owner-only file, which is gone now.
    EXPECT_EQ(readTrace(file(u"passwords"_s)), kPassword.repeated(3));
    // Read and written by its owner alone (as root the file is the person's, 0600; run by an account
    // without root, the daemon's own mode, which leaves execute bits only).
    const QStringList modes = readTrace(file(u"modes"_s)).split(u'\n', Qt::SkipEmptyParts);
    EXPECT_EQ(modes.size(), 3);
    for (const QString& mode : modes)
        EXPECT_EQ(mode.toUInt(nullptr, 8) & 0766, 0600u) << mode.toStdString();
    EXPECT_FALSE(QFile::exists(lister->passwordFilePath()));
    EXPECT_FALSE(log().contains(kPassword));
}

TEST_F(ListingControllerTest, RunningBetweenFoldersAndASecondStartIsIgnored) {
    serve(QString(), dir("One") + dir("Two"));
    serve(u"One"_s, entry("a"));
    serve(u"Two"_s, entry("b"));
    Timings timings = quickTimings();
    timings.listingFolderPause = std::chrono::milliseconds(400);
    auto lister = make(timings);
    int finished = 0;
    QObject::connect(lister.get(), &Lister::listingFinished, [&] { ++finished; });
    startPass(*lister);
    ASSERT_TRUE(waitUntil([&] { return logCount(u"cleanupFolderListDetails END"_s) == 1; }));
    EXPECT_TRUE(lister->isRunning()) << "the pause between folders is part of the pass";
    lister->initialListing();
    EXPECT_EQ(logCount(u"Initial Listing Called"_s), 1);
    lister->waituntilOperationDone();
    EXPECT_FALSE(lister->isRunning());
    EXPECT_EQ(calls().size(), 3);
    EXPECT_EQ(finished, 1);
    ASSERT_TRUE(runPass(*lister)) << "a later pass starts afresh";
    EXPECT_EQ(calls().size(), 6);
    EXPECT_FALSE(QFile::exists(lister->passwordFilePath())) << "the password file goes with the child";
}

TEST_F(ListingControllerTest, ChildThatIsKilledOrCannotStartIsCleanedUpOnce) {
    serve(QString(), dir("Slow") + dir("Quick"));
    serve(u"Slow"_s, entry("before the kill"), {}, "hang");
    serve(u"Quick"_s, entry("quick file"));
    auto lister = make();
    startPass(*lister);
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(file(u"hanging"_s)); }));
    lister->stopProcess();
    ASSERT_TRUE(finish(*lister)) << "the killed child ends its folder and the next one follows";
    ASSERT_TRUE(waitUntil([&] { return rowCount(master()) == 2; }));
    EXPECT_EQ(masterPaths(master()), QStringList({u"Quick/quick file"_s, u"Slow/before the kill"_s}));
    EXPECT_EQ(logCount(u"cleanupFolderListDetails Called"_s), 2) << "one clean-up per child";
    lister->stopProcess(); // nothing running: nothing happens

    lister->setLaunchPath(file(u"no-such-rsync"_s));
    ASSERT_TRUE(runPass(*lister));
    EXPECT_EQ(logCount(u"cleanupListDetails Called"_s), 2);
    EXPECT_TRUE(log().contains(u" : receivedErrorOfFirstLevelListing:"_s));
    EXPECT_EQ(logCount(kPassEnd), 2);
    EXPECT_FALSE(QFile::exists(lister->passwordFilePath()));
}

TEST_F(ListingControllerTest, PacedReadingLosesNoLine) {
    // Far more lines than the backlog may hold: the child waits while they are read.
    const int count = 3 * int(Lister::BacklogHighLines);
    QByteArray many;
    for (int i = 0; i < count; ++i)
        many += entry("f" + QByteArray::number(i));
    serve(QString(), dir("Mac"));
    serve(u"Mac"_s, many);
    Timings timings = quickTimings();
    timings.listingLinesPause = std::chrono::milliseconds(1);
    auto lister = make(timings);
    qsizetype largestBacklog = 0;
    QTimer alive;
    QObject::connect(&alive, &QTimer::timeout,
                     [&] { largestBacklog = std::max(largestBacklog, lister->pendingLines()); });
    alive.start(1);
    ASSERT_TRUE(runPass(*lister, 120000));
    ASSERT_TRUE(waitUntil([&] { return rowCount(master()) == count; }, 30000)) << rowCount(master());
    EXPECT_GT(largestBacklog, 0) << "the thread kept serving its events while lines waited";
    EXPECT_LT(largestBacklog, Lister::BacklogHighLines + 4000) << "bounded backlog";
}

class ApplianceListingTest : public ListingControllerTest {
  protected:
    QString requirements() override { return Appliance::skipReason(); }
    void prepare() override {
        ListingControllerTest::prepare();
        QString error;
        ASSERT_TRUE(mAppliance.addUser(kUser, kPassword) && mAppliance.start(&error)) << error.toStdString();
    }
    // A file in a machine's folder of the account; it and each folder on its way are entries.
    void put(const QString& machine, const QString& relative, qint64 size = 0) {
        ASSERT_TRUE(mAppliance.putFile(kUser + u'/' + machine + u'/' + relative, QByteArray(size, 'x')));
        QString path = machine;
        for (const QString& part : relative.split(u'/'))
            mExpected.insert(path += u'/' + part);
    }
    void expectIndexMatchesTheAccount(Lister& lister) {
        ASSERT_TRUE(runPass(lister, 120000));
        QStringList expected = mExpected.values();
        expected.sort();
        ASSERT_TRUE(waitUntil([&] { return masterPaths(master()) == expected; }, 60000))
            << rowCount(master()) << " of " << expected.size() << "\n"
            << log().toStdString();
        EXPECT_FALSE(log().contains(kPassword));
        EXPECT_FALSE(QFile::exists(lister.passwordFilePath()));
    }
    Appliance mAppliance;
    QSet<QString> mExpected;
};

TEST_F(ApplianceListingTest, EveryFileOfEveryMachineReachesTheMaster) {
    const QString big = u"Users/alice/Docs/My File.txt"_s;
    put(u"My Mac"_s, big, 1234567);
    for (const char* odd :
         {"a  b.txt", "it's", "q\"uote $(touch pwned) `id`", "new\nline", "Café", " lead", "back\\#123"})
        put(u"My Mac"_s, u"odd/"_s + QString::fromUtf8(odd));
    put(u"Mac \"$(touch pwned)\" `id`"_s, u"a.txt"_s);
    for (int d = 0; d < 60; ++d)
        for (int f = 0; f < 100; ++f)
            put(u"Office2"_s, u"home/bulk/d%1/f%2.txt"_s.arg(d).arg(f));
    // Not machines: a hidden folder and a plain file at the first level.
    ASSERT_TRUE(mAppliance.putFile(kUser + u"/.hidden Mac/x"_s, {}) &&
                mAppliance.putFile(kUser + u"/readme"_s, {}));

    auto lister = make(quickTimings(), u"/bin/bash"_s, mAppliance.address());
    expectIndexMatchesTheAccount(*lister);
    const QDateTime modified = QFileInfo(mAppliance.modulePath() + u"/alice/My Mac/"_s + big).lastModified();
    EXPECT_EQ(field(master(), u"My Mac/"_s + big, "FILE_LMD || '|' || FILE_SIZE || '|' || FILE_OR_FOLDER"),
              modified.toUTC().toString(u"yyyy-MM-dd HH:mm:ss"_s) + u" +0000|1234567|0"_s)
        << "rsync prints local time; the index keeps UTC";
    EXPECT_FALSE(QFile::exists(u"pwned"_s));

    // A second pass, through the private rsync, finds everything again and doubles nothing.
    lister->setIsBuiltinRsync(false);
    lister->setLaunchPath(QStringLiteral(ZH_TEST_PRIVATE_RSYNC));
    expectIndexMatchesTheAccount(*lister);

    // A wrong password, then no appliance at all: an error in the trace, nothing listed.
    lister->setUserPasswd(u"wrong"_s);
    ASSERT_TRUE(runPass(*lister));
    EXPECT_TRUE(log().contains(u" : receivedErrorOfFirstLevelListing:"_s)) << log().toStdString();
    mAppliance.stop();
    lister->setUserPasswd(kPassword);
    ASSERT_TRUE(runPass(*lister));
    EXPECT_EQ(logCount(kPassEnd), 4);
    EXPECT_EQ(rowCount(master()), mExpected.size());
    EXPECT_FALSE(QFile::exists(lister->passwordFilePath()));
}

} // namespace

namespace {

class BusyApplianceListingTest : public ListingControllerTest {
  protected:
    static Appliance::Options oneConnection() {
        Appliance::Options options;
        options.maxConnections = 1;
        return options;
    }
    QString requirements() override { return Appliance::skipReason(oneConnection()); }
    void prepare() override {
        ListingControllerTest::prepare();
        QString error;
        ASSERT_TRUE(mAppliance.addUser(kUser, kPassword) && mAppliance.start(&error)) << error.toStdString();
    }
    Appliance mAppliance{oneConnection()};
};

TEST_F(BusyApplianceListingTest, ABusyApplianceIsWaitedForAtEitherLevelAndEverythingIsListed) {
    ASSERT_TRUE(mAppliance.putFile(kUser + u"/My Mac/Docs/a.txt"_s, "a"));
    ASSERT_TRUE(mAppliance.putFile(kUser + u"/My Mac/Docs/b.txt"_s, "b"));
    Timings timings = quickTimings();
    timings.busyRetryDelay = std::chrono::milliseconds(100);
    timings.busyRetryMaxDelay = std::chrono::milliseconds(400);
    timings.listingFirstLevelGrace = std::chrono::seconds(5); // room to take the connection again
    auto lister = make(timings, QStringLiteral(ZH_TEST_PRIVATE_RSYNC), mAppliance.address());
    const auto count = [this](const QString& text) { return int(log().count(text)); };
    const QString again = u"the listing is tried again"_s;
    // Another client holds the appliance's one connection: the first level is turned away, again and
    // again, and the pass waits instead of ending with nothing listed.
    ASSERT_TRUE(mAppliance.holdConnection(kUser));
    startPass(*lister);
    ASSERT_TRUE(waitUntil([&] { return count(again) >= 3; }, 30000)) << log().toStdString();
    EXPECT_TRUE(lister->isRunning());
    EXPECT_FALSE(log().contains(kPassEnd));
    EXPECT_TRUE(QFile::exists(lister->passwordFilePath())) << "kept for the next try";
    mAppliance.releaseConnections();
    // The first level goes through; before the folder's listing the connection is taken again.
    ASSERT_TRUE(waitUntil([&] { return count(u"Initial Listing Finished"_s) > count(again); }, 30000))
        << log().toStdString();
    const int firstLevelTurnAways = count(again);
    ASSERT_TRUE(mAppliance.holdConnection(kUser));
    ASSERT_TRUE(waitUntil([&] { return count(again) > firstLevelTurnAways; }, 30000)) << log().toStdString();
    EXPECT_TRUE(log().contains(u"startFolderListTask called"_s));
    mAppliance.releaseConnections();
    ASSERT_TRUE(finish(*lister, 60000)) << log().toStdString();
    const QStringList expected{u"My Mac/Docs"_s, u"My Mac/Docs/a.txt"_s, u"My Mac/Docs/b.txt"_s};
    ASSERT_TRUE(waitUntil([&] { return masterPaths(master()) == expected; }, 30000))
        << masterPaths(master()).join(u' ').toStdString() << "\n"
        << log().toStdString();
    EXPECT_EQ(logCount(kPassEnd), 1);
    EXPECT_FALSE(QFile::exists(lister->passwordFilePath()));
    EXPECT_FALSE(log().contains(kPassword));
}

} // namespace
