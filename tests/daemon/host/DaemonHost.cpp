// The daemon's real object graph as a process of its own, for end-to-end tests: a temporary profile
// root, a private bus, a console user named on the command line, and short timings. It ends the way
// the daemon ends (status 1 on every restart trigger), so a test can play the service supervisor.
//
//   zh-daemon-host <profile root> <console user> <bus address> [option…]
//
// A console user "@<file>" is read from that file (missing or empty: nobody at the console) and read
// again every 200 ms, so a test can log a user in or out while the daemon runs. Options:
//   standard-timings    the daemon waits as long as in the field (for measuring it at rest)
//   inotify             without CAP_SYS_ADMIN, as in a container that withholds it: fanotify is refused
//                       and the daemon falls back to inotify over the users folder
//   restart-after=MS    the daily restart comes after MS milliseconds
//   refused-retry=MS    a refused password is tried again unchanged after MS milliseconds
//   console-news-after=MS  with "@<file>": asked who is at the console, the host reads the file at once
//                       (as logind answers), while the news of a change comes MS milliseconds later (as
//                       logind's signal may): the window in which the machine has its next person and
//                       the daemon's objects still serve the last

#include "ConsoleUserSource.h"
#include "DaemonRestarter.h"
#include "HostTimings.h"
#include "InProcessNotificationCenter.h"
#include "ManualConsoleUserSource.h"
#include "RezodeLoger.h"
#include "ServedPerson.h"
#include "SystemJournal.h"
#include "WatcherDaemon.h"
#include "linux/DBusNotificationCenter.h"
#include "linux/LogindSleepInhibitor.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <functional>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Gives up CAP_SYS_ADMIN for good (effective, permitted, inheritable and bounding set). Capabilities
// belong to a thread: this runs before any thread exists, so every thread the daemon starts lacks it.
bool dropSysAdmin() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    const unsigned word = CAP_SYS_ADMIN / 32, bit = 1u << (CAP_SYS_ADMIN % 32);
    data[word].effective &= ~bit;
    data[word].permitted &= ~bit;
    data[word].inheritable &= ~bit;
    return ::prctl(PR_CAPBSET_DROP, CAP_SYS_ADMIN, 0, 0, 0) == 0 && ::syscall(SYS_capset, &header, data) == 0;
}

// The console user of "@<file>": the file as the poll last reported it, or (live) as it is now.
class FileConsole : public ManualConsoleUserSource {
  public:
    FileConsole(std::function<QString()> read, bool live)
        : ManualConsoleUserSource(read()), mRead(std::move(read)), mLive(live) {}
    QString currentUserName() const override {
        return mLive ? mRead() : ManualConsoleUserSource::currentUserName();
    }

  private:
    std::function<QString()> mRead;
    bool mLive;
};

} // namespace

int main(int argc, char** argv) {
    for (int i = 4; i < argc; ++i)
        if (std::strcmp(argv[i], "inotify") == 0 && !dropSysAdmin()) {
            std::perror("zh-daemon-host: cannot give up CAP_SYS_ADMIN");
            return 71;
        }
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    Timings timings = hostTimings();
    bool usage = args.size() < 4;
    std::chrono::milliseconds consoleNewsAfter{0};
    for (const QString& option : args.mid(4)) {
        const QString value = option.section(u'=', 1);
        bool number = option.contains(u'=');
        const std::chrono::milliseconds ms(number ? value.toLongLong(&number) : 0);
        if (option == QLatin1String("standard-timings"))
            timings = Timings::standard();
        else if (option == QLatin1String("inotify"))
            continue;
        else if (option.startsWith(QLatin1String("restart-after=")) && number)
            timings.daemonRestartInterval = ms;
        else if (option.startsWith(QLatin1String("refused-retry=")) && number)
            timings.refusedRetryDelay = ms;
        else if (option.startsWith(QLatin1String("console-news-after=")) && number)
            consoleNewsAfter = ms;
        else
            usage = true;
    }
    if (usage) {
        std::fprintf(stderr, "usage: zh-daemon-host <profile root> <console user> <bus address> "
                             "[standard-timings] [inotify] [restart-after=MS] [refused-retry=MS] "
                             "[console-news-after=MS]\n");
        return 64;
    }
    PlatformProfile profile = PlatformProfile::forLinux(args[1]);
    profile.snapshotToolPath = QStringLiteral(ZH_TMUTIL);

    const bool fromFile = args[2].startsWith(u'@');
    const QString consoleFile = args[2].mid(1);
    const auto consoleName = [&consoleFile] {
        QFile file(consoleFile);
        const QString name =
            file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
        return name.isEmpty() ? QString(ConsoleUserSource::LoginWindow) : name;
    };
    const bool live = fromFile && consoleNewsAfter.count() > 0;
    FileConsole console(
        fromFile ? std::function<QString()>(consoleName) : [name = args[2]] { return name; }, live);
    QTimer consolePoll;
    QString changedTo;
    QElapsedTimer changedSince;
    if (fromFile) {
        QObject::connect(&consolePoll, &QTimer::timeout, [&] {
            const QString name = consoleName();
            if (!live) {
                console.setUserName(name);
                return;
            }
            // The news of a change, once it has stood for the lag.
            if (name != changedTo) {
                changedTo = name;
                changedSince.start();
            }
            if (changedSince.isValid() && changedSince.elapsed() >= consoleNewsAfter.count())
                console.setUserName(name);
        });
        consolePoll.start(live ? 50 : 200);
    }
    DaemonRestarter restarter;
    RezodeLoger& logger = RezodeLoger::progressLogger();
    logger.setTraceMirror(
        [](const QString& line) { SystemJournal::send(QStringLiteral("ZorvikHollinWatcher"), line); });
    const uid_t consoleUid = ::geteuid();
    // Like the daemon: root and the user at the screen; and the account running the host, for tests.
    ServedPerson served;
    DBusNotificationCenter notifications(
        QDBusConnection::connectToBus(args[3], QStringLiteral("daemon")),
        [consoleUid, check = DistributedNotificationCenter::rootOrServedPerson(console, served)](uint uid) {
            return uid == consoleUid || check(uid);
        });
    notifications.setTraceLogger([&logger](const QString& line) { logger.logDaemonTrace(line, true); });

    // logind, as the daemon asks it, on the test's bus (a test may put a stand-in logind there).
    LogindSleepInhibitor sleepInhibitor(QDBusConnection::connectToBus(args[3], QStringLiteral("logind")));
    sleepInhibitor.setTraceLogger([&logger](const QString& line) { logger.logDaemonTrace(line, true); });

    DaemonServices services;
    services.profile = profile;
    services.timings = timings;
    services.logger = &logger;
    services.consoleUser = &console;
    services.notifications = &notifications;
    services.localNotifications = &InProcessNotificationCenter::defaultCenter();
    services.restarter = &restarter;
    services.sleepInhibitor = &sleepInhibitor;
    services.servedPerson = &served;

    WatcherDaemon daemon(services);
    restarter.exitOnTerminationSignals();
    daemon.start();
    return app.exec();
}
