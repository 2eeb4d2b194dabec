// The restore window without an appliance: how listing lines become rows, where a restore goes by
// default, what the help says on each system, and a search over an index that is busy, missing or
// holds more than the window shows.

#include "AppTestSupport.h"
#include "PropertyList.h"
#include "QtPrinters.h"
#include "RestoreViewController.h"
#include "RezodeLoger.h"
#include "SQLiteDatabase.h"
#include "SearchController.h"
#include "ui_RestoreViewController.h"
#include "ui_SearchController.h"

#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString Account = QStringLiteral("zhacct");

QString nameOf(const QVariantMap& entry) {
    return entry.value(QStringLiteral("RelativePath")).toString();
}

// Restores an environment variable when it goes.
class EnvironmentVariable {
  public:
    EnvironmentVariable(const char* name, const QByteArray& value)
        : mName(name), mHad(qEnvironmentVariableIsSet(name)), mOld(qgetenv(name)) {
        qputenv(name, value);
    }
    ~EnvironmentVariable() {
        if (mHad)
            qputenv(mName, mOld);
        else
            qunsetenv(mName);
    }

  private:
    const char* mName;
    bool mHad;
    QByteArray mOld;
};

// An account's master index with rows paths, as the daemon's merge leaves it.
bool writeMaster(const QString& path, const QStringList& paths) {
    QFile::remove(path);
    SQLiteDatabase db(path);
    if (!db.open() ||
        !db.executeUpdate(QStringLiteral(
            "CREATE TABLE FILE_TABLE(FILEPATH char(1024) primary key,FILE_LMD char(256),FILE_SIZE "
            "__int64,FILE_OR_FOLDER bool,ATTRIBUTES char(50),RESERVED1 char(50),RESERVED2 __int64)")))
        return false;
    db.beginTransaction();
    for (const QString& p : paths)
        if (!db.executeUpdate(
                QStringLiteral("INSERT INTO FILE_TABLE (FILEPATH, FILE_LMD, FILE_SIZE, FILE_OR_FOLDER, "
                               "ATTRIBUTES,RESERVED1,RESERVED2) VALUES(?,?,?,?,?,?,?)"),
                {p, QStringLiteral("2024-03-01 09:12:00 +0000"), qint64(42), false, QStringLiteral("NA"),
                 QStringLiteral("NA"), QStringLiteral("NA")}))
            return false;
    return db.commit();
}

class RestoreWindowTest : public RequiringTest {
  protected:
    void prepare() override {
        user = FixtureUser::get();
        root.createHome(user);
        paths =
            std::make_unique<FilePathsController>(FilePathsController::Table::Application, root.profile());
        paths->setM_ConsoleUserName(user.name);
        accountFolder = paths->pathForApplicationFile(AppPath::UserSupportFolder) + u'/' + Account;
        QDir().mkpath(accountFolder);
        // Nothing answers at this address: listings fail at once and change nothing here.
        PropertyList::writeDictionary(paths->pathForApplicationFile(AppPath::UserDetails),
                                      {{Protocol::UserName, Account},
                                       {Protocol::Password, QStringLiteral("fixture-only")},
                                       {Protocol::Ip, QStringLiteral("127.0.0.254")}},
                                      PropertyList::OwnerOnlyMode);
        PropertyList::writeDictionary(paths->pathForApplicationFile(AppPath::RsyncVersion),
                                      {{Protocol::DefaultRsync, "1"}}, PropertyList::PublicMode);
        trace.setLogWritePath(root.path() + QStringLiteral("/InteractiveTrace.txt"));
    }

    std::unique_ptr<RestoreViewController> open(const TempRoot& where) {
        auto w = std::make_unique<RestoreViewController>(where.profile(), user.name, &trace, nullptr,
                                                         RestoreTimings{100, 2000, 300});
        w->show();
        EXPECT_TRUE(waitUntil([&] { return !w->isBusy(); }, 60000));
        return w;
    }

    // The count label of a search from the window's search field.
    QString searchFor(RestoreViewController* w, const QString& text) {
        QSignalSpy done(w, &RestoreViewController::searchFinished);
        w->ui()->search->setText(text);
        w->searchintiated();
        EXPECT_TRUE(waitUntil([&] { return !done.isEmpty(); }, 30000));
        return w->searchController() ? w->searchController()->countText()
                                     : QStringLiteral("<no results view>");
    }

    TempRoot root;
    FixtureUser user;
    std::unique_ptr<FilePathsController> paths;
    QString accountFolder;
    RezodeLoger trace;
};

} // namespace

TEST(RestoreListingTest, LinesAreReadAsTheDaemonReadsThemWithEscapesUndone) {
    const QByteArray listing =
        "FreeBSD 11.3-RELEASE-p14 (FreeNAS.amd64) #0 r325575: Mon 2026/11/02 09:14:21 UTC\n"
        "drwxr-xr-x          4,096 2024/03/01 10:20:30 .\n"
        "-rw-r--r--          1,234 2024/03/01 10:20:30 .hidden\n"
        "drwxr-xr-x          4,096 2024/03/01 10:20:30 B\\#303\\#274cher \\#342\\#234\\#223\n"
        "-rw-r--r--             12 2024/03/02 11:22:33 tab\\#011here.txt\n"
        "-rw-r--r--             12 2024/03/02 11:22:33   two  blanks \n"
        "lrwxrwxrwx              9 2024/03/02 11:22:33 link -> target\n"
        "-rw-r--r--              1 2024/03/02 11:22:33 no line end";
    const QList<QVariantMap> entries = RestoreViewController::ParseOutput(listing);
    ASSERT_EQ(entries.size(), 5);
    EXPECT_EQ(nameOf(entries[0]), QStringLiteral("B\u00fccher \u2713"));
    EXPECT_EQ(entries[0].value(QStringLiteral("Permission")).toString(), QStringLiteral("drwxr-xr-x"));
    EXPECT_EQ(entries[0].value(QStringLiteral("Type")).toString(), QStringLiteral("4,096"));
    EXPECT_EQ(nameOf(entries[1]), QStringLiteral("tab\there.txt"));
    EXPECT_EQ(entries[1].value(QStringLiteral("LMD")).toString(), QStringLiteral("2024/03/02"));
    EXPECT_EQ(entries[1].value(QStringLiteral("LMT")).toString(), QStringLiteral("11:22:33"));
    EXPECT_EQ(nameOf(entries[2]), QStringLiteral("  two  blanks "));
    EXPECT_EQ(nameOf(entries[3]), QStringLiteral("link"));
    EXPECT_EQ(nameOf(entries[4]), QStringLiteral("no line end"));
}

TEST(RestoreDestinationTest, TheDesktopsDownloadFolderUnderItsOwnName) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    writeFile(home.path() + QStringLiteral("/.config/user-dirs.dirs"),
              "XDG_DOWNLOAD_DIR=\"$HOME/T\xc3\xa9l\xc3\xa9"
              "chargements\"\n");
    const EnvironmentVariable setHome("HOME", QFile::encodeName(home.path()));
    const EnvironmentVariable setConfig("XDG_CONFIG_HOME", QFile::encodeName(home.path() + "/.config"));
    // The person's own process: the desktop's folder, even before it exists.
    EXPECT_EQ(RestoreViewController::defaultDownloadFolder(home.path()),
              home.path() + QStringLiteral("/T\u00e9l\u00e9chargements"));
    // Another account's (a test, an administrator): "Downloads" in that person's home.
    EXPECT_EQ(RestoreViewController::defaultDownloadFolder(QStringLiteral("/home/someone")),
              QStringLiteral("/home/someone/Downloads"));
    // Without a user-dirs entry: "Downloads" in the home.
    QFile::remove(home.path() + QStringLiteral("/.config/user-dirs.dirs"));
    EXPECT_EQ(RestoreViewController::defaultDownloadFolder(home.path()),
              home.path() + QStringLiteral("/Downloads"));
}

TEST_F(RestoreWindowTest, TheDestinationAtFirstIsTheDownloadFolderAndTheHelpSaysWhatIsTrueHere) {
    auto w = open(root);
    EXPECT_EQ(w->ui()->pDownloadLocation->text(),
              root.profile().homeOf(user.name) + QStringLiteral("/Downloads"));
    // Linux: the appliance's snapshots, in this window; no Mac application to open.
    EXPECT_TRUE(w->ui()->timeMachineButton->isHidden());
    w->HideTimeMachineRelatedUI(false);
    EXPECT_TRUE(w->ui()->timeMachineButton->isHidden());
    w->HelpButton();
    QFrame* popup = w->findChild<QFrame*>(QStringLiteral("ZHPopupView"));
    ASSERT_NE(popup, nullptr);
    const QString help = popup->findChild<QLabel*>()->text();
    EXPECT_TRUE(help.contains(QStringLiteral("read-only snapshots the appliance keeps")))
        << help.toStdString();
    EXPECT_FALSE(help.contains(QStringLiteral("Time Machine")));
    EXPECT_FALSE(help.contains(QStringLiteral("menu bar")));
    EXPECT_GE(popup->height(), popup->layout()->totalHeightForWidth(popup->width()));
    popup->close();

    // The macOS profile keeps the Mac's text and its Time Machine button.
    TempRoot mac(PlatformProfile::Kind::MacOS);
    mac.createHome(user);
    auto m = std::make_unique<RestoreViewController>(mac.profile(), user.name, &trace, nullptr,
                                                     RestoreTimings{100, 2000, 300});
    EXPECT_FALSE(m->ui()->timeMachineButton->isHidden());
    EXPECT_EQ(m->helpText(),
              QStringLiteral("Select the \u2018Show Time Machine in menu bar\u2019 option.Click the "
                             "icon from the menu bar and select the \u2018Enter Time Machine\u2019 "
                             "option."));
    ASSERT_TRUE(waitUntil([&] { return !m->isBusy(); }, 60000));
}

TEST_F(RestoreWindowTest, ASearchSaysWhenTheIndexIsBusyOrMissingAndWhenItsListIsCut) {
    const QString master = accountFolder + u'/' + Account + QStringLiteral(".zx");
    auto w = open(root);

    // No index yet: said so, not "No items found".
    EXPECT_TRUE(searchFor(w.get(), QStringLiteral("report"))
                    .startsWith(QStringLiteral("The index cannot be opened")));
    writeFile(master, "not a database at all, just text");
    EXPECT_TRUE(searchFor(w.get(), QStringLiteral("report"))
                    .startsWith(QStringLiteral("The index cannot be opened")));

    // One hit, none, several.
    QStringList rows{QStringLiteral("Mac/home/ann/report.odt"), QStringLiteral("Mac/home/ann/a.txt"),
                     QStringLiteral("Mac/home/ann/b.txt")};
    ASSERT_TRUE(writeMaster(master, rows));
    EXPECT_EQ(searchFor(w.get(), QStringLiteral("report")), QStringLiteral("1 item found"));
    EXPECT_EQ(searchFor(w.get(), QStringLiteral("zzz")), QStringLiteral("No items found"));
    EXPECT_EQ(searchFor(w.get(), QStringLiteral(".txt")), QStringLiteral("2 items found"));

    // A merge of the daemon holds the index: busy, not empty; once it lets go, the hits.
    {
        SQLiteDatabase merge(master);
        ASSERT_TRUE(merge.open());
        ASSERT_TRUE(merge.executeUpdate(QStringLiteral("BEGIN EXCLUSIVE")));
        EXPECT_EQ(searchFor(w.get(), QStringLiteral("report")),
                  QStringLiteral("The index is busy: the backup is updating it. Search again in a moment."));
        EXPECT_EQ(w->searchController()->ui()->pSearchTable->rowCount(), 0);
        ASSERT_TRUE(merge.executeUpdate(QStringLiteral("COMMIT")));
    }
    EXPECT_EQ(searchFor(w.get(), QStringLiteral("report")), QStringLiteral("1 item found"));

    // More hits than are shown: the first ones, and the word that there are more.
    for (int i = 0; i < SearchController::MaxHits; ++i)
        rows << QStringLiteral("Mac/home/ann/many/f%1.dat").arg(i, 5, 10, QChar(u'0'));
    ASSERT_TRUE(writeMaster(master, rows));
    EXPECT_EQ(searchFor(w.get(), QStringLiteral(".dat")), QStringLiteral("20000 items found"));
    EXPECT_EQ(
        searchFor(w.get(), QStringLiteral("Mac")),
        QStringLiteral("Showing the first 20000 items found: more match. Type more of the name to narrow "
                       "the search."));
    EXPECT_EQ(w->searchController()->ui()->pSearchTable->rowCount(), SearchController::MaxHits);
}

TEST(RestoreSearchTest, AnIndexLockedPartWayKeepsItsFirstHitsAndSaysSo) {
    // The search reads pages; the label for each way it can end.
    SearchController::Outcome outcome;
    EXPECT_EQ(SearchController::outcomeText(outcome, 0), QStringLiteral("No items found"));
    EXPECT_EQ(SearchController::outcomeText(outcome, 1), QStringLiteral("1 item found"));
    EXPECT_EQ(SearchController::outcomeText(outcome, 7), QStringLiteral("7 items found"));
    outcome.status = IndexSearch::Status::Locked;
    EXPECT_EQ(
        SearchController::outcomeText(outcome, 500),
        QStringLiteral("Showing the first 500 items found: the index became busy before the search ended. "
                       "Search again in a moment for the rest."));
    outcome.status = IndexSearch::Status::Failed;
    outcome.error = QStringLiteral("disk I/O error");
    EXPECT_EQ(SearchController::outcomeText(outcome, 0),
              QStringLiteral("The search failed: disk I/O error."));

    // A page limit below the count: pages are joined up to the limit, and the rest is announced.
    QTemporaryDir folder;
    QStringList rows;
    for (int i = 0; i < 1203; ++i)
        rows << QStringLiteral("Mac/x/f%1").arg(i, 4, 10, QChar(u'0'));
    ASSERT_TRUE(writeMaster(folder.path() + QStringLiteral("/ann.zx"), rows));
    SearchController::Outcome cut =
        SearchController::searchIndex(folder.path(), QStringLiteral("ann"), "f", 1100);
    EXPECT_EQ(cut.status, IndexSearch::Status::Ok);
    EXPECT_EQ(cut.hits.size(), 1100);
    EXPECT_TRUE(cut.more);
    EXPECT_EQ(cut.hits.last().value(QStringLiteral("name")).toString(), QStringLiteral("Mac/x/f1099"));
    SearchController::Outcome all =
        SearchController::searchIndex(folder.path(), QStringLiteral("ann"), "f", 1203);
    EXPECT_EQ(all.hits.size(), 1203);
    EXPECT_FALSE(all.more);
}
