// "Versions…" of the restore window against the appliance fixture: one listing names every copy of a
// file or folder (live and in each snapshot), identical neighbours are one row, a version is restored
// beside its original or into a folder with its own bytes and nothing replaced, an item in no snapshot
// says so, and names with the module's wildcard characters stay plain. The command lines themselves
// are checked without an appliance.

#include "AppTestSupport.h"
#include "PropertyList.h"
#include "QtPrinters.h"
#include "RestoreViewController.h"
#include "RezodeLoger.h"
#include "RsyncCommand.h"
#include "UtilityClass.h"
#include "VersionsDialog.h"

#include <QPushButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

namespace {

const QString Account = QStringLiteral("veracct");
const QString TestPassword = QStringLiteral("fixture-only");

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QString snapshotName(int day) {
    return QStringLiteral("auto-202401%1.1200-daily").arg(day, 2, 10, QChar(u'0'));
}

class VersionsTest : public RequiringTest {
  protected:
    static inline std::unique_ptr<Appliance> appliance;
    static inline QString applianceSkip;
    static inline std::unique_ptr<QTemporaryDir> originals; // where the originals live on "this computer"

    // Another computer of the account: its folder on the appliance, then the path of its original.
    static QString otherMachine() {
        return UtilityClass::machineName() == QLatin1String("Mac") ? QStringLiteral("OtherMac")
                                                                   : QStringLiteral("Mac");
    }
    static QString item(const QString& below) { return otherMachine() + originals->path() + u'/' + below; }
    // The same below this computer's own folder.
    static QString ownItem(const QString& below) {
        return UtilityClass::machineName() + originals->path() + u'/' + below;
    }
    static const QByteArray& content(int version) {
        static const QByteArray v[] = {"one\n", "two two\n", "three three three\n"};
        return v[version];
    }

    static void SetUpTestSuite() {
        if (!(applianceSkip = Appliance::skipReason()).isEmpty())
            return;
        originals = std::make_unique<QTemporaryDir>();
        appliance = std::make_unique<Appliance>();
        QString error;
        if (!appliance->start(&error))
            applianceSkip = QStringLiteral("appliance did not start: ") + error;
        appliance->addUser(Account, TestPassword);
        // 30 snapshots; the file changes before the 1st, the 11th and the 21st, the folder holds it.
        for (int day = 1; day <= 30; ++day) {
            if (day == 1 || day == 11 || day == 21)
                for (const QString& path :
                     {item(QStringLiteral("Docs/report.txt")), ownItem(QStringLiteral("Docs/report.txt"))})
                    appliance->putFile(Account + u'/' + path, content((day - 1) / 10));
            if (day == 21) { // in the last 10 snapshots, under this computer's own folder
                appliance->putFile(Account + u'/' + ownItem(QStringLiteral("Docs/checked.txt")), "checked\n");
                // Another computer's folder that this computer does not have.
                appliance->putFile(Account + u'/' + item(QStringLiteral("Only there/old.txt")), "old\n");
            }
            if (day == 5)
                appliance->putFile(Account + u'/' + item(QStringLiteral("Docs/we[1] *.txt")), "wild\n");
            if (day == 6)
                appliance->putFile(Account + u'/' + item(QStringLiteral("Docs/we1 x.txt")), "other\n");
            appliance->createSnapshot(snapshotName(day));
        }
        appliance->putFile(Account + u'/' + item(QStringLiteral("Docs/new.txt")), "not yet in a snapshot\n");
    }
    static void TearDownTestSuite() {
        appliance.reset();
        originals.reset();
    }

    QString requirements() override { return applianceSkip; }
    void prepare() override {
        user = FixtureUser::get();
        root.createHome(user);
        paths =
            std::make_unique<FilePathsController>(FilePathsController::Table::Application, root.profile());
        paths->setM_ConsoleUserName(user.name);
        QDir().mkpath(paths->pathForApplicationFile(AppPath::UserSupportFolder));
        QDir().mkpath(QFileInfo(paths->pathForApplicationFile(AppPath::PrivateRsync)).absolutePath());
        QFile::copy(QStringLiteral(ZH_PRIVATE_RSYNC), paths->pathForApplicationFile(AppPath::PrivateRsync));
        trace.setLogWritePath(root.path() + QStringLiteral("/InteractiveTrace.txt"));
        useSystemRsync(true);
    }

    void useSystemRsync(bool system) {
        PropertyList::writeDictionary(paths->pathForApplicationFile(AppPath::RsyncVersion),
                                      {{Protocol::DefaultRsync, system ? "1" : "0"}},
                                      PropertyList::PublicMode);
    }

    std::unique_ptr<RestoreViewController> open() {
        PropertyList::writeDictionary(paths->pathForApplicationFile(AppPath::UserDetails),
                                      {{Protocol::UserName, Account},
                                       {Protocol::Password, TestPassword},
                                       {Protocol::Ip, appliance->address()}},
                                      PropertyList::OwnerOnlyMode);
        auto w = std::make_unique<RestoreViewController>(root.profile(), user.name, &trace, nullptr,
                                                         RestoreTimings{100, 2000});
        w->show();
        EXPECT_TRUE(waitUntil([&] { return !w->isBusy(); }, 120000));
        return w;
    }

    static VersionsDialog* versions(RestoreViewController* w, const QString& path, bool folder = false) {
        w->showVersions(path, folder);
        VersionsDialog* d = w->versionsDialog();
        EXPECT_NE(d, nullptr);
        EXPECT_TRUE(waitUntil([&] { return d && d->isListed() && !w->isBusy(); }, 120000));
        return d;
    }

    // Clicks a restore button of the dialog and waits for the restore's end; the names that failed.
    static QStringList restoreWith(RestoreViewController* w, QPushButton* button) {
        int finished = 0;
        QStringList failed;
        const auto c =
            QObject::connect(w, &RestoreViewController::restoreFinished, [&](const QStringList& f) {
                ++finished;
                failed = f;
            });
        button->click();
        EXPECT_TRUE(waitUntil([&] { return finished > 0 && !w->isBusy(); }, 120000));
        QObject::disconnect(c);
        return finished == 1 ? failed : QStringList{QStringLiteral("<not finished>")};
    }

    TempRoot root;
    FixtureUser user;
    std::unique_ptr<FilePathsController> paths;
    RezodeLoger trace;
};

} // namespace

TEST(RsyncCommandTest, VersionsListingIsOneConnectionInEitherDialect) {
    using Launch = RsyncConventions::Launch;
    // The private copy: the module's root through filters. No wildcard in the names: the live patterns
    // take them as they are, the snapshots' escape them.
    const RsyncCommand::Listing direct = RsyncCommand::versionsListing(
        QStringLiteral("u"), QStringLiteral("10.0.0.2"), QStringLiteral("Mac/a b/x\\y.txt"), Launch::Direct);
    EXPECT_EQ(direct.remotes, QStringList{"u@10.0.0.2::backup/"});
    EXPECT_EQ(direct.options,
              (QStringList{"--list-only", "--recursive", "--include=/u/", "--include=/u/Mac/",
                           "--include=/u/Mac/a b/", "--include=/u/Mac/a b/x\\y.txt", "--include=/.zfs/",
                           "--include=/.zfs/snapshot/", "--include=/.zfs/snapshot/*/",
                           "--include=/.zfs/snapshot/*/u/", "--include=/.zfs/snapshot/*/u/Mac/",
                           "--include=/.zfs/snapshot/*/u/Mac/a b/",
                           "--include=/.zfs/snapshot/*/u/Mac/a b/x\\\\y.txt", "--exclude=*"}));
    const RsyncCommand::Listing wild = RsyncCommand::versionsListing(
        QStringLiteral("u"), QStringLiteral("10.0.0.2"), QStringLiteral("Mac/it [1] *?.txt"), Launch::Direct);
    EXPECT_TRUE(wild.options.contains(QStringLiteral("--include=/u/Mac/it \\[1] \\*\\?.txt")));
    // The system rsync: the live path and the snapshots' wildcard, the name escaped, in bash's quotes.
    const RsyncCommand::Listing shell = RsyncCommand::versionsListing(
        QStringLiteral("u"), QStringLiteral("10.0.0.2"), QStringLiteral("Mac/$x `y`[z].txt"), Launch::Shell);
    EXPECT_EQ(shell.options, (QStringList{"--list-only", "--relative", "--no-implied-dirs"}));
    EXPECT_EQ(shell.remotes, (QStringList{"u@10.0.0.2::\"backup/u/Mac/\\$x \\`y\\`\\\\[z].txt\"",
                                          "::\"backup/.zfs/snapshot/*/u/Mac/\\$x \\`y\\`\\\\[z].txt\""}));

    const RsyncCommand::Command run =
        RsyncCommand::restoreRun(true, QStringLiteral("/private/rsync"), QStringLiteral("/s/pw file"),
                                 {QStringLiteral("--list-only")}, direct.remotes, QStringLiteral("/to/$x"));
    EXPECT_EQ(run.program, QStringLiteral("/bin/bash"));
    EXPECT_EQ(
        run.arguments.value(1),
        QStringLiteral("rsync --list-only --password-file=\"/s/pw file\" u@10.0.0.2::backup/ \"/to/\\$x\""));
    const RsyncCommand::Command login = RsyncCommand::loginCheck(
        false, QStringLiteral("/private/rsync"), QStringLiteral("/s/pw"), QStringLiteral("u"),
        QStringLiteral("10.0.0.2"), RsyncConventions::Dialect{3, 2, 7}, 7);
    EXPECT_EQ(login.program, QStringLiteral("/private/rsync"));
    EXPECT_EQ(login.arguments, (QStringList{"--list-only", "--timeout=7", "--contimeout=7",
                                            "--password-file=/s/pw", "u@10.0.0.2::backup/u/"}));
    // The old system rsync (2.6.9) refuses --contimeout and with it the whole check.
    const RsyncCommand::Command old =
        RsyncCommand::loginCheck(true, QString(), QStringLiteral("/s/pw"), QStringLiteral("u"),
                                 QStringLiteral("10.0.0.2"), RsyncConventions::Dialect{2, 6, 9}, 7);
    EXPECT_EQ(
        old.arguments.value(1),
        QStringLiteral("rsync --list-only --timeout=7 --password-file=\"/s/pw\" u@10.0.0.2::backup/u/"));
}

TEST(ItemVersionsTest, NamesBesideTheOriginalKeepTheExtensionLast) {
    EXPECT_EQ(ItemVersions::besideName(QStringLiteral("report.final.txt"), snapshotName(3)),
              QStringLiteral("report.final (2024-01-03 12.00).txt"));
    EXPECT_EQ(ItemVersions::besideName(QStringLiteral(".bashrc"), snapshotName(3)),
              QStringLiteral(".bashrc (2024-01-03 12.00)"));
    EXPECT_EQ(ItemVersions::besideName(QStringLiteral("Notes"), QStringLiteral("manual")),
              QStringLiteral("Notes (manual)"));
    // Lines that are not exactly the item, live or in one snapshot, are not versions of it.
    const QList<ItemVersion> v =
        ItemVersions::parse("-rw-r--r--              4 2024/01/01 12:00:00 u/M/a.txt\n"
                            "-rw-r--r--              4 2024/01/01 12:00:00 .zfs/snapshot/s1/u/M/a.txt\n"
                            "-rw-r--r--              4 2024/01/01 12:00:00 .zfs/snapshot/s1/x/u/M/a.txt\n"
                            "-rw-r--r--              4 2024/01/01 12:00:00 .zfs/snapshot/s2/u/M/a.txt.bak\n"
                            "drwxr-xr-x          4,096 2024/01/01 12:00:00 .zfs/snapshot/s2/u/M\n",
                            QStringLiteral("u"), QStringLiteral("M/a.txt"));
    ASSERT_EQ(v.size(), 2);
    EXPECT_TRUE(v.at(0).live());
    EXPECT_EQ(v.at(1).snapshotFolder, QStringLiteral("s1"));
}

TEST_F(VersionsTest, ThirtySnapshotsWithThreeChangesAreThreeVersionsInBothDialects) {
    for (const bool system : {true, false}) {
        SCOPED_TRACE(system ? "system rsync" : "private rsync");
        useSystemRsync(system);
        auto w = open();
        VersionsDialog* d = versions(w.get(), item(QStringLiteral("Docs/report.txt")));
        ASSERT_NE(d, nullptr);
        const auto groups = d->groups();
        ASSERT_EQ(groups.size(), 4) << d->statusText().toStdString();
        EXPECT_TRUE(groups.at(0).first().live());
        EXPECT_EQ(groups.at(0).first().size, content(2).size());
        for (int g = 1; g <= 3; ++g) {
            SCOPED_TRACE(g);
            ASSERT_EQ(groups.at(g).size(), 10);
            // Newest first: days 30..21 hold the third content, 20..11 the second, 10..1 the first.
            EXPECT_EQ(groups.at(g).first().snapshotFolder, snapshotName(30 - 10 * (g - 1)));
            EXPECT_EQ(groups.at(g).last().snapshotFolder, snapshotName(21 - 10 * (g - 1)));
            EXPECT_EQ(groups.at(g).first().size, content(3 - g).size());
        }
        EXPECT_EQ(d->list()->topLevelItemCount(), 4);
        EXPECT_EQ(d->statusText(), QStringLiteral("3 different versions in 30 snapshots."));
    }
}

TEST_F(VersionsTest, AVersionRestoredBesideTheOriginalOrIntoAFolderHasItsBytes) {
    const QString docs = originals->path() + QStringLiteral("/Docs");
    QDir().mkpath(docs);
    auto w = open();
    VersionsDialog* d = versions(w.get(), ownItem(QStringLiteral("Docs/report.txt")));
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->groups().size(), 4);
    EXPECT_TRUE(shown(d, "restoreBeside"));
    d->selectRow(3); // the oldest content, kept by days 10..1
    EXPECT_EQ(restoreWith(w.get(), d->findChild<QPushButton*>(QStringLiteral("restoreBeside"))),
              QStringList());
    const QString beside = docs + QStringLiteral("/report (2024-01-10 12.00).txt");
    EXPECT_EQ(readAll(beside), content(0));

    // Again: what is there is kept beside under the restore's suffix, not replaced.
    QFile::remove(beside);
    {
        QFile f(beside);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("edited here\n");
    }
    EXPECT_EQ(restoreWith(w.get(), d->findChild<QPushButton*>(QStringLiteral("restoreBeside"))),
              QStringList());
    EXPECT_EQ(readAll(beside), content(0));
    const QStringList kept =
        QDir(docs).entryList({QStringLiteral("report (2024-01-10 12.00).txt.before-restore-*")});
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(readAll(docs + u'/' + kept.first()), QByteArray("edited here\n"));

    // The middle version into another folder, through the window's own restore.
    QTemporaryDir elsewhere;
    int finished = 0;
    const auto c = QObject::connect(w.get(), &RestoreViewController::restoreFinished, [&] { ++finished; });
    w->restoreVersion(ownItem(QStringLiteral("Docs/report.txt")), d->groups().at(2).first(), elsewhere.path(),
                      QStringLiteral("report.txt"));
    EXPECT_TRUE(waitUntil([&] { return finished > 0 && !w->isBusy(); }, 120000));
    QObject::disconnect(c);
    EXPECT_EQ(readAll(elsewhere.filePath(QStringLiteral("report.txt"))), content(1));
}

TEST_F(VersionsTest, AnItemOfAnotherComputerIsRestoredOnlyIntoAFolderThePersonChooses) {
    // This computer keeps a document of its own at the path the other computer's item has.
    const QString docs = originals->path() + QStringLiteral("/Docs");
    QDir().mkpath(docs);
    writeFile(docs + QStringLiteral("/report.txt"), "this computer's own report\n");
    const QStringList before = QDir(docs).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    auto w = open();
    int started = 0;
    QObject::connect(w.get(), &RestoreViewController::restoreFinished, [&] { ++started; });
    QObject::connect(w.get(), &RestoreViewController::restoreCancelled, [&] { ++started; });
    for (const QString& below : {QStringLiteral("Docs/report.txt"), QStringLiteral("Only there/old.txt")}) {
        SCOPED_TRACE(below.toStdString());
        VersionsDialog* d = versions(w.get(), item(below));
        ASSERT_NE(d, nullptr);
        ASSERT_FALSE(d->groups().isEmpty());
        d->selectRow(int(d->groups().size()) - 1);
        // Offered only "Restore To…", and told why.
        EXPECT_FALSE(shown(d, "restoreBeside"));
        EXPECT_TRUE(shown(d, "restoreInto"));
        EXPECT_TRUE(text(d, "versionsOtherComputer").contains(otherMachine()))
            << text(d, "versionsOtherComputer").toStdString();
        // Nothing is written here, even when the button is pressed all the same.
        d->findChild<QPushButton*>(QStringLiteral("restoreBeside"))->click();
        spinFor(300);
        EXPECT_FALSE(w->isBusy());
        EXPECT_EQ(started, 0);
    }
    EXPECT_EQ(QDir(docs).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    EXPECT_EQ(readAll(docs + QStringLiteral("/report.txt")), QByteArray("this computer's own report\n"));
    EXPECT_FALSE(QFileInfo::exists(originals->path() + QStringLiteral("/Only there")));

    // Into a folder the person chooses, it is restored as usual.
    QTemporaryDir chosen;
    VersionsDialog* d = versions(w.get(), item(QStringLiteral("Docs/report.txt")));
    ASSERT_NE(d, nullptr);
    w->restoreVersion(item(QStringLiteral("Docs/report.txt")), d->groups().at(1).first(), chosen.path(),
                      QStringLiteral("report.txt"));
    EXPECT_TRUE(waitUntil([&] { return started > 0 && !w->isBusy(); }, 120000));
    EXPECT_EQ(readAll(chosen.filePath(QStringLiteral("report.txt"))), content(2));
}

TEST_F(VersionsTest, ItemsInNoSnapshotSaySoAndFoldersListTheirSnapshots) {
    auto w = open();
    VersionsDialog* d = versions(w.get(), item(QStringLiteral("Docs/new.txt")));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->groups().size(), 1); // the live copy only
    EXPECT_TRUE(d->statusText().contains(QStringLiteral("not in any snapshot yet")))
        << d->statusText().toStdString();

    d = versions(w.get(), item(QStringLiteral("Docs/never.txt")));
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->groups().isEmpty());
    EXPECT_EQ(d->statusText(),
              QStringLiteral("\u201cnever.txt\u201d is not on the appliance and not in any snapshot yet."));

    // A folder: one version per snapshot (its modification time moves with what it holds).
    d = versions(w.get(), item(QStringLiteral("Docs")), true);
    ASSERT_NE(d, nullptr);
    qsizetype snapshots = 0;
    for (const auto& g : d->groups())
        for (const ItemVersion& v : g) {
            EXPECT_TRUE(v.folder);
            snapshots += v.live() ? 0 : 1;
        }
    EXPECT_EQ(snapshots, 30);
    EXPECT_TRUE(d->groups().first().first().live());
}

TEST_F(VersionsTest, WildcardCharactersInANameArePlainCharactersInBothDialects) {
    for (const bool system : {true, false}) {
        SCOPED_TRACE(system ? "system rsync" : "private rsync");
        useSystemRsync(system);
        auto w = open();
        VersionsDialog* d = versions(w.get(), item(QStringLiteral("Docs/we[1] *.txt")));
        ASSERT_NE(d, nullptr);
        // In the live copy and days 5..30; "we1 x.txt" (which "we[1] *.txt" matches as a pattern) is
        // not listed.
        qsizetype snapshots = 0;
        for (const auto& g : d->groups())
            for (const ItemVersion& v : g) {
                EXPECT_EQ(v.size, 5);
                snapshots += v.live() ? 0 : 1;
            }
        EXPECT_EQ(snapshots, 26);
        EXPECT_EQ(d->groups().size(), 2);
    }
}

TEST_F(VersionsTest, CheckAFileCountsTheSnapshotsThatHoldIt) {
    const QString local = originals->path() + QStringLiteral("/Docs/checked.txt");
    QDir().mkpath(QFileInfo(local).path());
    {
        QFile f(local);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("checked\n");
    }
    auto w = open();
    w->checkFile(local);
    ProtectionCheckDialog* d = w->protectionDialog();
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(
        waitUntil([&] { return d->details().contains(QStringLiteral("snapshot")) && !w->isBusy(); }, 120000));
    EXPECT_TRUE(d->details().endsWith(QStringLiteral("It is in 10 snapshots.")))
        << d->details().toStdString();
    // A file the appliance does not hold at all.
    const QString other = originals->path() + QStringLiteral("/Docs/unknown.txt");
    QFile(other).open(QIODevice::WriteOnly);
    w->checkFile(other);
    d = w->protectionDialog();
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(
        waitUntil([&] { return d->details().contains(QStringLiteral("snapshot")) && !w->isBusy(); }, 120000));
    EXPECT_TRUE(d->details().endsWith(QStringLiteral("It is in no snapshot yet.")))
        << d->details().toStdString();
}
