// zh-screenshots-status <folder>: the status window and the Time Machine panel in the states worth
// showing, built over a temporary root and saved as PNGs (status-<state>.png).

#include "EventLoopWait.h"
#include "StatusTestSupport.h"
#include "TestRoots.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QProcess>

#include <cstdio>

namespace {

QString gFolder;
int gFailures = 0;

void save(QWidget* w, const QString& state) {
    w->show();
    spinFor(100);
    const QString path = gFolder + QStringLiteral("/status-") + state + QStringLiteral(".png");
    if (!w->grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        ++gFailures;
    }
}

void tool(const QStringList& args) {
    QProcess p;
    p.start(QStringLiteral(ZH_TMUTIL), args);
    p.waitForFinished(30000);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: zh-screenshots-status <folder>\n");
        return 64;
    }
    gFolder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(gFolder);
    TempRoot root;
    qputenv("ZH_TMUTIL_STATE", (root.path() + QStringLiteral("/tmutil-state.plist")).toUtf8());
    PlatformProfile profile = root.profile();
    profile.snapshotToolPath = QStringLiteral(ZH_TMUTIL);
    const FilePathsController paths(FilePathsController::Table::Application, profile);

    StatusTestApp owner;
    StatusController w(paths, owner.statusOwner(), nullptr, nullptr);
    w.recordBackupCompleted(QDateTime(QDate(2026, 12, 7), QTime(9, 41)));
    w.setPosition(QStringLiteral("ann"));
    save(&w, QStringLiteral("type0"));

    owner.type = 1;
    w.setDisplayMessage(QString());
    w.showStausWindow();
    save(&w, QStringLiteral("type1"));

    w.setTitleMessage(QStringLiteral("Backup is in progress!"));
    w.setDisplayMessage(QStringLiteral("Backing up files / folders to Zorvik Hollin device"));
    w.setProgress(
        {{QStringLiteral("TotalFiles"), QStringLiteral("1284")},
         {QStringLiteral("TotalSize"), QStringLiteral("212.4 MB")},
         {QStringLiteral("UploadingFile"), QStringLiteral("/home/ann/Documents/Quarterly report.odt")},
         {QStringLiteral("TimeRemaining"), QStringLiteral("4 minutes")}});
    save(&w, QStringLiteral("in-progress"));

    w.setTitleMessage(QStringLiteral("Success!"));
    w.setDisplayMessage(QStringLiteral("You have successfully backed up all your files / folders."));
    save(&w, QStringLiteral("success"));

    w.setTitleMessage(QString());
    w.setDisplayMessage(
        QStringLiteral("Storage is full!\nYou have used all of your storage space.\nContact your admin."));
    save(&w, QStringLiteral("storage-full"));

    outlet<QPushButton>(&w, "pause")->click();
    w.setTitleMessage(QStringLiteral("Your backup is currently paused."));
    w.setDisplayMessage(QStringLiteral("Click 'Resume' to backup your data."));
    save(&w, QStringLiteral("paused"));
    outlet<QPushButton>(&w, "pause")->click();

    // Time Machine only, while the daemon sets it up.
    {
        StatusTestApp tmOwner;
        StatusController tm(paths, tmOwner.statusOwner(), nullptr, nullptr);
        tm.setPosition(QStringLiteral("ann"));
        outlet<QPushButton>(&tm, "configureTimeMachine")->click();
        tm.showStausWindow();
        save(&tm, QStringLiteral("type2"));
    }

    // Both, with the destination read from the snapshot tool.
    tool({QStringLiteral("setdestination"), QStringLiteral("afp://ann:pw@192.168.1.20/ann")});
    tool({QStringLiteral("enable")});
    owner.type = 3;
    w.setTitleMessage(QStringLiteral("Success!"));
    w.setDisplayMessage(QStringLiteral("You have successfully backed up all your files / folders."));
    bool done = false;
    QObject::connect(&w, &StatusController::timeMachineDetailsFinished, [&] { done = true; });
    w.getTimeMachineDetails();
    waitUntil([&] { return done; }, 30000);
    save(&w, QStringLiteral("type3"));

    // The panel: the automatic attempt failed, the user's attempt running, failed, succeeded.
    TimeMachine panel(TimeMachine::Owner(), nullptr);
    panel.StartTimeMachineBackupFirstTime();
    panel.Result({{QStringLiteral("result"), QStringLiteral("0")}});
    save(&panel, QStringLiteral("tm-panel-input"));
    outlet<QLineEdit>(&panel, "mSharedName")->setText(QStringLiteral("TimeMachine"));
    panel.MountAFP();
    save(&panel, QStringLiteral("tm-panel-processing"));
    panel.Result({{QStringLiteral("result"), QStringLiteral("0")}});
    save(&panel, QStringLiteral("tm-panel-error"));
    panel.MountAFP();
    panel.Result({{QStringLiteral("result"), QStringLiteral("1")}});
    save(&panel, QStringLiteral("tm-panel-success"));
    return gFailures == 0 ? 0 : 1;
}
