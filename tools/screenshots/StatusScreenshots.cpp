// zh-screenshots-status <folder>: the status window and the Time Machine panel in the states worth
// showing, built over a temporary root and saved as PNGs (status-<state>.png).

#include "AppTestSupport.h"
#include "DistributedNotificationCenter.h"
#include "PropertyList.h"
#include "ProtectionCheck.h"
#include "RezodeLoger.h"
#include "SQLiteDatabase.h"
#include "StatusTexts.h"

#include <QTimeZone>

#include <QLineEdit>

namespace {

class NoCenter : public DistributedNotificationCenter {
  public:
    bool postNotification(const QString&, const QVariantMap&, int) override { return true; }
    void addObserver(QObject*, const QString&, Handler) override {}
    void removeObserver(QObject*, const QString&) override {}
    void setTraceLogger(TraceLogger) override {}
};

} // namespace

int main(int argc, char** argv) {
    return screenshotsMain(argc, argv, "status", [](Shots& shots) {
        TempRoot root;
        const ToolState toolState(root.path());
        PlatformProfile profile = root.profile();
        profile.snapshotToolPath = QStringLiteral(ZH_TMUTIL);
        const FilePathsController paths(FilePathsController::Table::Application, profile);
        StatusTestApp owner;
        StatusController w(paths, owner.statusOwner(), nullptr, nullptr);
        w.setPosition(QStringLiteral("ann"));
        shots.save(&w, QStringLiteral("type0"));
        owner.type = 1;
        w.setDisplayMessage(QString());
        w.showStausWindow();
        shots.save(&w, QStringLiteral("type1")); // idle before any completed backup
        w.recordBackupCompleted(QDateTime(QDate(2026, 12, 7), QTime(9, 41)));

        const auto state = [&](const char* name, const QString& title, const QString& message) {
            w.setTitleMessage(title);
            w.setDisplayMessage(message);
            if (title == StatusTexts::InProgressTitle()) {
                // Two files of the run sent so far: their sizes add up; a long path keeps its name whole.
                w.setProgress({{"TotalFiles", "36 out of 120"},
                               {"TotalSize", "180.25 MB"},
                               {"UploadingFile", "home/ann/Documents/Video/holiday.mkv"}});
                w.setProgress({{"TotalFiles", "37 out of 120"},
                               {"TotalSize", "32.15 MB"},
                               {"UploadingFile", "home/ann/Documents/Projects 2026/Customer correspondence/"
                                                 "Northern region/Quarterly reviews/Quarterly report.odt"}});
            }
            shots.save(&w, QString::fromLatin1(name));
        };
        const QString success = QCoreApplication::translate(
            "AppDelegate", "You have successfully backed up all your files / folders.");
        state("in-progress", StatusTexts::InProgressTitle(),
              QCoreApplication::translate("StatusController",
                                          "Backing up files / folders to Zorvik Hollin device"));
        state("success", QCoreApplication::translate("AppDelegate", "Success!"), success);
        // Later, nothing waiting: idle after a completed backup.
        w.showIdle();
        shots.save(&w, QStringLiteral("idle-up-to-date"));
        state("storage-full", QString(),
              QCoreApplication::translate(
                  "AppDelegate",
                  "Storage is full!\nYou have used all of your storage space.\nContact your admin."));
        // The protection section under the boxes, in each state the daemon's file can put it in.
        {
            namespace Key = Protocol::PendingState;
            const QDateTime now(QDate(2026, 3, 5), QTime(14, 10), Qt::UTC);
            StatusController p(paths, owner.statusOwner(), nullptr, nullptr);
            p.setPosition(QStringLiteral("ann"));
            p.showIdle();
            const auto protection = [&](const char* name, const QVariantMap& changes) {
                // The local box as it stands in that state.
                const QVariantMap state = pendingStateRecord(changes);
                if (state.value(Key::Paused) == QStringLiteral("1")) {
                    p.setTitleMessage(StatusTexts::PausedTitle());
                    p.setDisplayMessage(StatusTexts::PausedMessage());
                } else if (state.value(Key::Count) != QStringLiteral("0")) {
                    p.setTitleMessage(StatusTexts::InProgressTitle());
                    p.setDisplayMessage(QString(Protocol::ProgressBackupStarts));
                } else {
                    p.showIdle();
                }
                p.setProtection(
                    ProtectionView::of(ProtectionState::fromMap(pendingStateRecord(changes)), now));
                shots.save(&p, QString::fromLatin1(name));
            };
            protection("protection-all-sent", {});
            protection("protection-waiting", {{Key::Count, "12"},
                                              {Key::Listed, "12"},
                                              {Key::Oldest, "2026-03-05T14:07:00Z"},
                                              {Key::Watch, "users"},
                                              {Key::WatchBackend, "inotify"},
                                              {Key::WatchFolder, "/home"},
                                              {Key::WatchFolders, "1234"},
                                              {Key::WatchReason, "fanotify_init: Operation not permitted"}});
            protection("protection-paused",
                       {{Key::Count, "40"}, {Key::Paused, "1"}, {Key::Oldest, "2026-03-05T13:02:00Z"}});
            protection("protection-rescanning", {{Key::Count, "3"},
                                                 {Key::Oldest, "2026-03-05T14:09:30Z"},
                                                 {Key::Watch, "rescanning"},
                                                 {Key::WatchSince, "2026-03-05T14:08:00Z"},
                                                 {Key::VerifyState, "running"}});
            protection(
                "protection-not-watching-check-failed",
                {{Key::Watch, "none"},
                 {Key::WatchBackend, ""},
                 {Key::WatchReason, "inotify_init1: Too many open files"},
                 {Key::VerifyState, "failed"},
                 {Key::VerifiedText, "Restore check on 2026-03-05: 2 of 50 files differ from the snapshot"},
                 {Key::VerifiedFailed, "2"},
                 {Key::VerifiedFailures, QStringList{"/home/ann/a.odt", "/home/ann/b.odt"}}});
            protection("protection-appliance-unavailable",
                       {{Key::Count, "7"},
                        {Key::Owed, "7"},
                        {Key::Oldest, "2026-03-05T12:40:00Z"},
                        {Key::VerifyState, "unavailable"},
                        {Key::VerifyReason, "the appliance did not answer"},
                        {Key::VerifyAttempted, "2026-03-05T14:00:00Z"}});
        }
        outlet<QPushButton>(&w, "pause")->click();
        state("paused", StatusTexts::PausedTitle(), StatusTexts::PausedMessage());
        outlet<QPushButton>(&w, "pause")->click();

        // Time Machine only, while the daemon sets it up.
        StatusTestApp tmOwner;
        auto tm = std::make_unique<StatusController>(paths, tmOwner.statusOwner(), nullptr, nullptr);
        tm->setPosition(QStringLiteral("ann"));
        outlet<QPushButton>(tm.get(), "configureTimeMachine")->click();
        tm->showStausWindow();
        shots.save(tm.get(), QStringLiteral("type2"));
        tm.reset();

        // Time Machine only, and the snapshot tool has no destination: what failed and what to do.
        StatusTestApp failOwner;
        failOwner.type = 2;
        StatusController failed(paths, failOwner.statusOwner(), nullptr, nullptr);
        failed.setPosition(QStringLiteral("ann"));
        bool read = false;
        QObject::connect(&failed, &StatusController::timeMachineDetailsFinished, [&] { read = true; });
        failed.getTimeMachineDetails();
        waitUntil([&] { return read; }, 30000);
        shots.save(&failed, QStringLiteral("tm-destination-error"));
        failed.hide();

        // Both, with the destination read from the snapshot tool.
        ChildProcess::run(
            {ZH_TMUTIL, QStringLiteral("setdestination"), QStringLiteral("afp://ann:pw@192.168.1.20/ann")});
        ChildProcess::run({ZH_TMUTIL, QStringLiteral("enable")});
        owner.type = 3;
        bool done = false;
        QObject::connect(&w, &StatusController::timeMachineDetailsFinished, [&] { done = true; });
        w.getTimeMachineDetails();
        waitUntil([&] { return done; }, 30000);
        state("type3", QCoreApplication::translate("AppDelegate", "Success!"), success);

        // The panel: the automatic attempt failed, the user's attempt running, failed, succeeded.
        TimeMachine panel(TimeMachine::Owner(), nullptr);
        panel.StartTimeMachineBackupFirstTime();
        const auto result = [&](const char* flag) {
            panel.Result({{QStringLiteral("result"), QString::fromLatin1(flag)}});
        };
        result("0");
        shots.save(&panel, QStringLiteral("tm-panel-input"));
        outlet<QLineEdit>(&panel, "mSharedName")->setText(QStringLiteral("TimeMachine"));
        panel.MountAFP();
        shots.save(&panel, QStringLiteral("tm-panel-processing"));
        result("0");
        shots.save(&panel, QStringLiteral("tm-panel-error"));
        panel.MountAFP();
        result("1");
        shots.save(&panel, QStringLiteral("tm-panel-success"));

        // "Check a File…", one window for each answer, from the state the system leaves on disk.
        {
            const FixtureUser user = FixtureUser::get();
            TempRoot root;
            const QString home = root.createHome(user);
            FilePathsController paths(FilePathsController::Table::Application, root.profile());
            paths.setM_ConsoleUserName(user.name);
            const QString support = paths.pathForApplicationFile(AppPath::UserSupportFolder);
            QDir().mkpath(support + QStringLiteral("/alice"));
            QDir().mkpath(paths.pathForApplicationFile(AppPath::BackupListsFolder));
            QDir().mkpath(home + QStringLiteral("/Documents/Music"));
            const auto make = [&](const QString& name, const QByteArray& content) {
                QFile f(home + QStringLiteral("/Documents/") + name);
                f.open(QIODevice::WriteOnly);
                f.write(content);
                return f.fileName();
            };
            const QString onAppliance = make(QStringLiteral("report.odt"), QByteArray(1572864, 'r'));
            const QString waiting = make(QStringLiteral("budget.ods"), "b");
            const QString excluded = make(QStringLiteral("Music/live set.flac"), "m");
            const QString pattern = make(QStringLiteral("installer.iso"), "i");
            const QString builtIn = make(QStringLiteral("draft.tmp"), "t");
            const QString failed = make(QStringLiteral("mail.db"), "d");
            const QString never = make(QStringLiteral("scan 0042.pdf"), "s");
            const QDateTime before = QDateTime(QDate(2026, 3, 1), QTime(8, 0), QTimeZone::utc());
            QFile touch(onAppliance);
            touch.open(QIODevice::ReadWrite);
            touch.setFileTime(before, QFileDevice::FileModificationTime);
            touch.close();
            SQLiteDatabase db(support + QStringLiteral("/alice/alice.zx"));
            db.open();
            db.executeUpdate(QStringLiteral(
                "CREATE TABLE FILE_TABLE(FILEPATH char(1024) primary key,FILE_LMD char(256),FILE_SIZE "
                "__int64,FILE_OR_FOLDER bool,ATTRIBUTES char(50),RESERVED1 char(50),RESERVED2 __int64)"));
            db.executeUpdate(QStringLiteral("INSERT INTO FILE_TABLE VALUES(?,?,?,?,?,?,?)"),
                             {QStringLiteral("AlicesMac") + onAppliance,
                              QStringLiteral("2026-03-01 09:12:00 +0000"), qint64(1572864), false,
                              QStringLiteral("NA"), QStringLiteral("NA"), QStringLiteral("NA")});
            QFile list(paths.pathForApplicationFile(AppPath::BackupListsFolder) +
                       QStringLiteral("/2026-03-01 09-05-00-000_1"));
            list.open(QIODevice::WriteOnly);
            list.write((home + QStringLiteral("/Desktop\n") + waiting).toUtf8());
            list.close();
            PropertyList::writeStringArray(paths.pathForApplicationFile(AppPath::InitialExcludeList),
                                           {home + QStringLiteral("/Documents/Music")},
                                           PropertyList::PublicMode);
            PropertyList::writeStringArray(paths.pathForApplicationFile(AppPath::ExcludePattern),
                                           {QStringLiteral("*.iso")}, PropertyList::PublicMode);
            RezodeLoger log;
            log.setSessionLogWritePath(paths.pathForApplicationFile(AppPath::SessionLogsFolder));
            log.logSessionTrace(
                QStringLiteral("rsync: [sender] send_files failed to open \"%1\": Permission denied (13)")
                    .arg(failed),
                true);
            const struct {
                QString path, shot;
            } answers[] = {
                {onAppliance, QStringLiteral("on-appliance")},  {waiting, QStringLiteral("waiting")},
                {excluded, QStringLiteral("excluded-list")},    {pattern, QStringLiteral("excluded-pattern")},
                {builtIn, QStringLiteral("excluded-built-in")}, {failed, QStringLiteral("error")},
                {never, QStringLiteral("never-seen")}};
            // The person's support folder is theirs, as the daemon and the application leave it: the
            // check reads with the person's rights.
            user.handOver(support);
            NoCenter center; // shows "Back Up Now"; nothing is posted here
            for (const auto& answer : answers) {
                ProtectionCheckDialog check(answer.path, paths, QStringLiteral("alice"),
                                            QStringLiteral("AlicesMac"), &center);
                check.resize(620, 200);
                shots.save(&check, QStringLiteral("check-") + answer.shot);
            }
        }
    });
}
