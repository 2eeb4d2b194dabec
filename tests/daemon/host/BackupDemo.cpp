// The main job, end to end on this machine: an embedded appliance (a real rsync daemon), a private
// system bus, and the daemon's real object graph over a temporary profile root. An account is written
// the way the application writes it, documents are created, and the "Progress" events the
// application would show are printed as they arrive: the initial backup, a new file, a pause and a
// resume. Runs as root (the appliance's port).

#include "Appliance.h"
#include "ChildProcess.h"
#include "DaemonRestarter.h"
#include "EventLoopWait.h"
#include "FilePathsController.h"
#include "FileTools.h"
#include "HostTimings.h"
#include "InProcessNotificationCenter.h"
#include "ManualConsoleUserSource.h"
#include "PrivateBus.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "RezodeLoger.h"
#include "TestRoots.h"
#include "UtilityClass.h"
#include "WatcherDaemon.h"
#include "linux/DBusNotificationCenter.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>

#include <cstdio>

namespace {

QElapsedTimer gClock;

void say(const QString& text) {
    std::printf("[%6.1f s] %s\n", gClock.elapsed() / 1000.0, qPrintable(text));
    std::fflush(stdout);
}

void writeFile(const QString& path, const QByteArray& content) {
    FileTools::makePath(QFileInfo(path).path());
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(content);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    gClock.start();
    if (const QString reason = Appliance::skipReason(); !reason.isEmpty()) {
        std::fprintf(stderr, "cannot run: %s\n", qPrintable(reason));
        return 2;
    }

    // The appliance and the bus.
    Appliance appliance;
    const QString account = QStringLiteral("demo");
    const QString password =
        QString::number(QRandomGenerator::system()->generate64(), 36) + QStringLiteral(" with blanks");
    appliance.addUser(account, password);
    QString error;
    if (!appliance.start(&error)) {
        std::fprintf(stderr, "appliance did not start: %s\n", qPrintable(error));
        return 1;
    }
    PrivateBus bus;
    if (!bus.start(&error)) {
        std::fprintf(stderr, "bus did not start: %s\n", qPrintable(error));
        return 1;
    }
    bus.exportAsSystemBus();
    say(QStringLiteral("appliance: rsync daemon at %1::backup, account \"%2\"")
            .arg(appliance.address(), account));

    // The machine: a temporary profile root with the user's home, the installed helpers, and the
    // marker an installation leaves.
    TempRoot root;
    const FixtureUser user = FixtureUser::get();
    const QString home = root.createHome(user);
    PlatformProfile profile = root.profile();
    profile.snapshotToolPath = QStringLiteral(ZH_TMUTIL);
    qputenv("ZH_TMUTIL_STATE", (root.path() + QStringLiteral("/tmutil-state.plist")).toUtf8());
    QDir().mkpath(root.path() + QStringLiteral("/etc"));
    FileTools::makePath(QFileInfo(profile.privateRsyncPath).path());
    QFile::link(QStringLiteral(ZH_PRIVATE_RSYNC), profile.privateRsyncPath);
    FilePathsController paths(FilePathsController::Table::Daemon, profile);
    paths.setM_ConsoleUserName(user.name);
    QFile(paths.pathForApplicationFile(DaemonPath::InstalMarker)).open(QIODevice::WriteOnly);
    const QString documents = home + QStringLiteral("/Documents");
    writeFile(documents + QStringLiteral("/Letter to Anna.txt"), "Dear Anna,\n");
    writeFile(documents + QStringLiteral("/Budget 2026.ods"), QByteArray(24 * 1024, 'b'));
    writeFile(documents + QStringLiteral("/Photos/Holiday 1.jpg"), QByteArray(300 * 1024, 'p'));
    writeFile(documents + QStringLiteral("/Notes \"draft\" $(date).txt"), "odd names are fine\n");
    say(QStringLiteral("machine: profile root %1, user %2, 4 documents in %3")
            .arg(root.path(), user.name, documents));

    // The account, written the way the application writes it at log-in.
    const QString support = paths.pathForApplicationFile(DaemonPath::UserSupportFolder);
    FileTools::makePath(support);
    QVariantMap details{{Protocol::UserName, account},
                        {Protocol::Password, password},
                        {Protocol::Ip, appliance.address()},
                        {Protocol::Login, QStringLiteral("1")},
                        {Protocol::RememberMeState, QStringLiteral("0")},
                        {Protocol::PauseStateKey, QStringLiteral("0")},
                        {Protocol::LocalBackup, QStringLiteral("1")},
                        {Protocol::TimeMachineBackup, QStringLiteral("0")},
                        {Protocol::EnableTimeMachineKey, QStringLiteral("0")}};
    PropertyList::writeDictionary(paths.pathForApplicationFile(DaemonPath::UserDetails), details,
                                  PropertyList::OwnerOnlyMode);
    PropertyList::writeDictionary(paths.pathForApplicationFile(DaemonPath::RsyncVersion),
                                  {{Protocol::DefaultRsync, QStringLiteral("0")}}, PropertyList::PublicMode);

    // The application's side of the bus: print every "Progress" event.
    const uint self = ::geteuid();
    DBusNotificationCenter appSide(QDBusConnection::connectToBus(bus.address(), QStringLiteral("app")),
                                   [](uint uid) { return uid == 0; });
    int completed = 0;
    int canceled = 0;
    QObject application;
    appSide.addObserver(&application, Protocol::Progress, [&](const QString&, const QVariantMap& info) {
        const QVariant progress = info.value(Protocol::KeyProgress);
        if (progress.typeId() == QMetaType::QVariantMap) {
            const QVariantMap figures = progress.toMap();
            say(QStringLiteral("  Progress: %1 — %2 (%3)")
                    .arg(figures.value(Protocol::KeyTotalFiles).toString(),
                         figures.value(Protocol::KeyUploadingFile).toString(),
                         figures.value(Protocol::KeyTotalSize).toString()));
            return;
        }
        const QString text = progress.toString();
        say(QStringLiteral("  Progress: %1%2")
                .arg(text, info.contains(Protocol::KeyError)
                               ? QStringLiteral(": ") + info.value(Protocol::KeyError).toString()
                               : QString()));
        if (text == Protocol::ProgressBackupCompleted)
            ++completed;
        if (text == Protocol::ProgressBackupCanceled)
            ++canceled;
    });

    // The daemon, with the same object graph main() builds.
    ManualConsoleUserSource console(user.name);
    DaemonRestarter restarter(
        [](int status) { say(QStringLiteral("daemon asked to restart (status %1)").arg(status)); });
    RezodeLoger logger;
    InProcessNotificationCenter local;
    DBusNotificationCenter daemonSide(QDBusConnection::connectToBus(bus.address(), QStringLiteral("daemon")),
                                      [self](uint uid) { return uid == 0 || uid == self; });
    DaemonServices services;
    services.profile = profile;
    services.timings = hostTimings();
    services.logger = &logger;
    services.consoleUser = &console;
    services.notifications = &daemonSide;
    services.localNotifications = &local;
    services.restarter = &restarter;
    WatcherDaemon daemon(services);
    say(QStringLiteral("starting the daemon for %1").arg(user.name));
    daemon.start();

    const auto waitFor = [&](int& counter, int target, int seconds) {
        return waitUntil([&] { return counter >= target; }, seconds * 1000);
    };
    bool ok = waitFor(completed, 1, 180);
    say(ok ? QStringLiteral("initial backup done") : QStringLiteral("initial backup did not complete"));

    if (ok) {
        say(QStringLiteral("a change: saving \"Minutes 6 December.txt\""));
        writeFile(documents + QStringLiteral("/Minutes 6 December.txt"), "Agenda\n");
        ok = waitFor(completed, 2, 60);
    }
    if (ok) {
        say(QStringLiteral("pause: the application writes PauseState 1 and posts \"PauseState\""));
        details.insert(Protocol::PauseStateKey, QStringLiteral("1"));
        PropertyList::writeDictionary(paths.pathForApplicationFile(DaemonPath::UserDetails), details,
                                      PropertyList::OwnerOnlyMode);
        appSide.postNotification(Protocol::PauseState);
        spinFor(1500);
        writeFile(documents + QStringLiteral("/While paused.txt"), "waits\n");
        spinFor(5000);
        say(QStringLiteral("resume: PauseState 0"));
        details.insert(Protocol::PauseStateKey, QStringLiteral("0"));
        PropertyList::writeDictionary(paths.pathForApplicationFile(DaemonPath::UserDetails), details,
                                      PropertyList::OwnerOnlyMode);
        appSide.postNotification(Protocol::PauseState);
        ok = waitFor(completed, 3, 60);
    }

    QByteArray recursive;
    const QString passwordFile = root.path() + QStringLiteral("/listing-secret");
    FileTools::writeAtomically(passwordFile, password.toUtf8(), 0600);
    ChildProcess::run({QStringLiteral("rsync"), QStringLiteral("--list-only"), QStringLiteral("-r"),
                       QStringLiteral("--password-file=") + passwordFile,
                       QStringLiteral("%1@%2::backup/%1/").arg(account, appliance.address())},
                      &recursive);
    say(QStringLiteral("what the appliance holds for \"%1\" now:").arg(account));
    for (const QByteArray& line : recursive.split('\n'))
        if (line.startsWith('-'))
            std::printf("    %s\n", line.constData());
    say(ok ? QStringLiteral("done: every document is on the appliance")
           : QStringLiteral("the demo did not finish"));
    return ok ? 0 : 1;
}
