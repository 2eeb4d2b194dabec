// "Check a File…": each answer from the state the system leaves on disk — the exclusion editor's
// files, a waiting list in the daemon's form, a session log written by the daemon's writer, the
// account's index — and the person's own rule lifted from the answer's window.

#include "ProtectionCheck.h"
#include "AppTestSupport.h"
#include "DistributedNotificationCenter.h"
#include "PropertyList.h"
#include "QtPrinters.h"
#include "RezodeLoger.h"
#include "SQLiteDatabase.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHBoxLayout>
#include <QMimeData>
#include <QPushButton>
#include <QTimeZone>

#include <utime.h>

#include <gtest/gtest.h>

namespace {

// Records what the application posts.
class PostedRecorder : public DistributedNotificationCenter {
  public:
    bool postNotification(const QString& name, const QVariantMap& userInfo, int) override {
        posted.append({name, userInfo});
        return true;
    }
    void addObserver(QObject*, const QString&, Handler) override {}
    void removeObserver(QObject*, const QString&) override {}
    void setTraceLogger(TraceLogger) override {}
    QList<std::pair<QString, QVariantMap>> posted;
};

const QString Account = QStringLiteral("checkacct");
const QString Machine = QStringLiteral("AlicesMac");

class ProtectionCheckTest : public RequiringTest {
  protected:
    void prepare() override {
        user = FixtureUser::get();
        home = root.createHome(user);
        paths =
            std::make_unique<FilePathsController>(FilePathsController::Table::Application, root.profile());
        paths->setM_ConsoleUserName(user.name);
        QDir().mkpath(paths->pathForApplicationFile(AppPath::UserSupportFolder) + u'/' + Account);
        QDir().mkpath(paths->pathForApplicationFile(AppPath::BackupListsFolder));
        QDir().mkpath(home + QStringLiteral("/Documents"));
    }

    QString file(const QString& name, const QByteArray& content = "content\n") {
        const QString path = home + QStringLiteral("/Documents/") + name;
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(content);
        return path;
    }
    // The account's master index with one row per path, as the daemon's merge leaves it.
    bool index(const QList<std::pair<QString, qint64>>& rows, const QString& lmd) {
        const QString master = paths->pathForApplicationFile(AppPath::UserSupportFolder) +
                               QStringLiteral("/%1/%1.zx").arg(Account);
        QFile::remove(master);
        SQLiteDatabase db(master);
        if (!db.open() ||
            !db.executeUpdate(QStringLiteral(
                "CREATE TABLE FILE_TABLE(FILEPATH char(1024) primary key,FILE_LMD char(256),FILE_SIZE "
                "__int64,FILE_OR_FOLDER bool,ATTRIBUTES char(50),RESERVED1 char(50),RESERVED2 __int64)")))
            return false;
        for (const auto& [path, size] : rows)
            if (!db.executeUpdate(QStringLiteral("INSERT INTO FILE_TABLE VALUES(?,?,?,?,?,?,?)"),
                                  {Machine + path, lmd, size, false, QStringLiteral("NA"),
                                   QStringLiteral("NA"), QStringLiteral("NA")}))
                return false;
        return true;
    }
    ProtectionCheck::Result check(const QString& path) {
        return ProtectionCheck::check(path, *paths, Account, Machine);
    }

    TempRoot root;
    FixtureUser user;
    QString home;
    std::unique_ptr<FilePathsController> paths;
};

} // namespace

TEST_F(ProtectionCheckTest, ExcludedFilesNameTheirRuleAndOnlyThePersonsOwnCanBeLifted) {
    const QString music = home + QStringLiteral("/Music");
    QDir().mkpath(music);
    const QString song = music + QStringLiteral("/song.mp3");
    QFile(song).open(QIODevice::WriteOnly);
    const QString iso = file(QStringLiteral("disc.iso"));
    const QString temporary = file(QStringLiteral("draft.tmp"));
    // The exclusion editor's files.
    // The list as the daemon first writes it holds the system's default exclusions besides the person's.
    const QString etc = root.profile().defaultExclusions.filter(QStringLiteral("/etc")).value(0);
    ASSERT_FALSE(etc.isEmpty());
    QDir().mkpath(etc);
    QFile(etc + QStringLiteral("/zh.conf")).open(QIODevice::WriteOnly);
    ASSERT_TRUE(PropertyList::writeStringArray(paths->pathForApplicationFile(AppPath::InitialExcludeList),
                                               {etc, music}, PropertyList::PublicMode));
    ASSERT_TRUE(PropertyList::writeStringArray(paths->pathForApplicationFile(AppPath::ExcludePattern),
                                               {QStringLiteral("*.iso")}, PropertyList::PublicMode));

    ProtectionCheck::Result r = check(temporary);
    EXPECT_EQ(r.answer, ProtectionCheck::Answer::Excluded);
    EXPECT_EQ(r.sentence,
              QStringLiteral("\u201cdraft.tmp\u201d is not backed up: it is excluded by a built-in rule "
                             "(paths ending in \u201c.tmp\u201d)."));
    EXPECT_FALSE(r.canStopExcluding);
    EXPECT_FALSE(ProtectionCheck::stopExcluding(r, *paths, nullptr));

    r = check(etc + QStringLiteral("/zh.conf"));
    EXPECT_TRUE(r.defaultList);
    EXPECT_TRUE(r.sentence.contains(QStringLiteral("the default list (\u201c%1\u201d)").arg(etc)));
    EXPECT_FALSE(r.canStopExcluding);

    r = check(song);
    EXPECT_FALSE(r.defaultList);
    EXPECT_EQ(r.exclusion.kind, ExclusionRules::Kind::FolderList);
    EXPECT_TRUE(
        r.sentence.contains(QStringLiteral("your list of excluded items (\u201c%1\u201d)").arg(music)));
    EXPECT_TRUE(r.canStopExcluding);

    // Lifted from the answer's window: the list loses the entry, the answer changes at once.
    ProtectionCheckDialog dialog(iso, *paths, Account, Machine, nullptr);
    EXPECT_EQ(dialog.result().exclusion.rule, QStringLiteral("*.iso"));
    ASSERT_FALSE(dialog.stopExcludingButton()->isHidden());
    dialog.stopExcludingButton()->click();
    EXPECT_TRUE(
        PropertyList::readStringArray(paths->pathForApplicationFile(AppPath::ExcludePattern)).isEmpty());
    EXPECT_EQ(dialog.result().answer, ProtectionCheck::Answer::NeverSeen);
    EXPECT_TRUE(dialog.stopExcludingButton()->isHidden());
    EXPECT_TRUE(ProtectionCheck::stopExcluding(check(song), *paths, nullptr));
    EXPECT_EQ(check(song).answer, ProtectionCheck::Answer::NeverSeen);
}

TEST_F(ProtectionCheckTest, WaitingFilesSayWhenAndTheirPlaceInTheQueue) {
    const QString report = file(QStringLiteral("report.odt"));
    const QString folder = paths->pathForApplicationFile(AppPath::BackupListsFolder);
    // Two lists in the collector's form ("<yyyy-MM-dd HH-mm-ss-zzz>_<k>", one path a line); a consumed
    // one and one still being written do not count.
    const auto write = [&](const QString& name, const QStringList& lines) {
        QFile f(folder + u'/' + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(lines.join(u'\n').toUtf8());
    };
    write(QStringLiteral("2026-03-01 09-00-00-000_1"),
          {home + QStringLiteral("/a"), home + QStringLiteral("/b")});
    write(QStringLiteral("2026-03-01 09-05-00-000_1"),
          {home + QStringLiteral("/c"), home + QStringLiteral("/Documents")});
    write(QStringLiteral("2026-03-01 08-00-00-000_1.delete"), {report});
    write(QStringLiteral("2026-03-01 10-00-00-000_1.progress"), {report});
    const ProtectionCheck::Result r = check(report);
    EXPECT_EQ(r.answer, ProtectionCheck::Answer::Waiting);
    EXPECT_EQ(r.queuePosition, 4); // its folder is the 4th path waiting
    EXPECT_EQ(r.queueLength, 4);
    EXPECT_EQ(r.sentence,
              QStringLiteral("\u201creport.odt\u201d is waiting to be sent since 2026-03-01 09:05."));
    EXPECT_EQ(r.details, QStringList{"Number 4 of 4 waiting."});
    // "Documents2" is not below "Documents".
    QDir().mkpath(home + QStringLiteral("/Documents2"));
    QFile(home + QStringLiteral("/Documents2/x")).open(QIODevice::WriteOnly);
    EXPECT_EQ(check(home + QStringLiteral("/Documents2/x")).answer, ProtectionCheck::Answer::NeverSeen);
}

TEST_F(ProtectionCheckTest, AnErrorInTheSessionLogIsToldWithItsLineAndWhetherItIsQueuedAgain) {
    const QString locked = file(QStringLiteral("locked.db"));
    // The daemon's own writer of session logs.
    RezodeLoger log;
    log.setSessionLogWritePath(paths->pathForApplicationFile(AppPath::SessionLogsFolder));
    log.logSessionTrace(QStringLiteral("Backup completed for %1").arg(locked), true);
    log.logSessionTrace(
        QStringLiteral("rsync: [sender] send_files failed to open \"%1\": Permission denied (13)")
            .arg(locked),
        true);
    ProtectionCheck::Result r = check(locked);
    EXPECT_EQ(r.answer, ProtectionCheck::Answer::SentWithError);
    EXPECT_TRUE(r.errorLine.contains(QStringLiteral("Permission denied"))) << r.errorLine.toStdString();
    EXPECT_EQ(r.details.last(), QStringLiteral("It is sent again when it changes next."));
    QFile list(paths->pathForApplicationFile(AppPath::BackupListsFolder) +
               QStringLiteral("/2026-03-01 09-00-00-000_1"));
    ASSERT_TRUE(list.open(QIODevice::WriteOnly));
    list.write(locked.toUtf8());
    list.close();
    r = check(locked);
    EXPECT_EQ(r.answer, ProtectionCheck::Answer::SentWithError);
    EXPECT_EQ(r.details.last(), QStringLiteral("It is queued again (number 1 of 1 waiting)."));
    // A later success replaces the error.
    log.logSessionTrace(QStringLiteral("Backup completed for %1").arg(locked), true);
    EXPECT_EQ(check(locked).answer, ProtectionCheck::Answer::Waiting);
}

TEST_F(ProtectionCheckTest, FilesInTheIndexAreOnTheApplianceSameSizeOrChangedHere) {
    const QString same = file(QStringLiteral("same.txt"), "12345");
    const QString changed = file(QStringLiteral("changed.txt"), "1234567");
    ASSERT_TRUE(index({{same, 5}, {changed, 5}}, QStringLiteral("2026-03-01 09:12:00 +0000")));
    // same.txt last changed before the backup; changed.txt now.
    const QDateTime before = QDateTime(QDate(2026, 3, 1), QTime(8, 0), QTimeZone::utc());
    utimbuf times{before.toSecsSinceEpoch(), before.toSecsSinceEpoch()};
    ASSERT_EQ(::utime(QFile::encodeName(same).constData(), &times), 0);
    ProtectionCheck::Result r = check(same);
    EXPECT_EQ(r.answer, ProtectionCheck::Answer::OnAppliance);
    EXPECT_EQ(r.since, QDateTime(QDate(2026, 3, 1), QTime(9, 12), QTimeZone::utc()));
    EXPECT_EQ(r.details.first(), QStringLiteral("Same size as here (5 bytes)."));
    r = check(changed);
    EXPECT_EQ(r.answer, ProtectionCheck::Answer::OnAppliance);
    EXPECT_EQ(r.details.first(),
              QStringLiteral("It changed here since: the next backup sends the new version."));
}

TEST_F(ProtectionCheckTest, AFileNobodySawAndAPathThatIsNotThere) {
    const QString lone = file(QStringLiteral("made while stopped.txt"));
    ASSERT_TRUE(index({{home + QStringLiteral("/Documents/other.txt"), 3}},
                      QStringLiteral("2026-03-01 09:12:00 +0000")));
    ProtectionCheck::Result r = check(lone);
    EXPECT_EQ(r.answer, ProtectionCheck::Answer::NeverSeen);
    EXPECT_EQ(r.sentence,
              QStringLiteral("\u201cmade while stopped.txt\u201d has never been seen by the backup."));
    // "Back Up Now" hands the path to the daemon (whose side is BackupfileControllerTest's).
    PostedRecorder center;
    ProtectionCheckDialog dialog(lone, *paths, Account, Machine, &center);
    ASSERT_FALSE(dialog.backUpNowButton()->isHidden());
    dialog.backUpNowButton()->click();
    ASSERT_EQ(center.posted.size(), 1);
    EXPECT_EQ(center.posted.first().first, QStringLiteral("BackupNow"));
    EXPECT_EQ(center.posted.first().second.value(QStringLiteral("path")).toString(), lone);
    EXPECT_TRUE(dialog.backUpNowButton()->isHidden());
    EXPECT_EQ(dialog.details(), QStringLiteral("Handed to the backup: it is sent with the next run."));
    r = check(home + QStringLiteral("/Documents/gone.txt"));
    EXPECT_EQ(r.answer, ProtectionCheck::Answer::Missing);
}

TEST_F(ProtectionCheckTest, AFileDroppedOnAWindowWithTheButtonIsChecked) {
    // As the status window has it: the button beside "View Logs", and drops anywhere on the window.
    QWidget window;
    auto* layout = new QHBoxLayout(&window);
    auto* logs = new QPushButton(QStringLiteral("View Logs"), &window);
    layout->addWidget(logs);
    ProtectionCheckDialog::attachTo(&window, logs, paths.get(), nullptr);
    auto* button = window.findChild<QPushButton*>(QStringLiteral("checkFileButton"));
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(layout->indexOf(button), 1);

    const QString temporary = file(QStringLiteral("dropped.tmp"));
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(temporary)});
    QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&window, &drop);
    auto* dialog = window.findChild<ProtectionCheckDialog*>();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->result().answer, ProtectionCheck::Answer::Excluded);
    EXPECT_TRUE(dialog->sentence().startsWith(QStringLiteral("\u201cdropped.tmp\u201d is not backed up")));
}
