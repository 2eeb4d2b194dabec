// The main job on this machine (scripts/run.sh). As root: an embedded appliance (a real rsync daemon with
// snapshots) with the account "demo" and a password made for this run, a private system bus, and the
// daemon as a process of its own over a temporary profile root, started again after every exit as the
// service supervisor does. The application's real object graph runs as the user at the screen (the
// fixture account) over the same root and bus.
//
//   zh-run --interactive        the person uses the real programs until they quit the application
//   zh-run --walk [--out DIR]   a scripted walk through the real windows, a screenshot of each step
//   zh-run --probe-display      exit status 0 when a display can be opened
//
// Exit status: 0 all well, 1 something failed, 77 this machine cannot run it (not root, no rsync).

#include "Appliance.h"
#include "ChildProcess.h"
#include "FileTools.h"
#include "PrivateBus.h"
#include "Run.h"
#include "TestRoots.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <grp.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <vector>

namespace {

volatile std::sig_atomic_t gStop = 0;

// The account's documents: odd names included, and enough bytes that the figures move.
void writeDocuments(const QString& documents) {
    const auto write = [&](const QString& name, const QByteArray& content) {
        FileTools::writeAtomically(documents + u'/' + name, content, 0644);
    };
    FileTools::makePath(documents + QStringLiteral("/Photos"));
    FileTools::makePath(documents + QStringLiteral("/Reports 2026"));
    write(QStringLiteral("Letter to Anna.txt"), "Dear Anna,\nthe photos are attached.\n");
    write(QStringLiteral("Notes \"draft\" $(date) it's.txt"), "odd names travel too\n");
    QRandomGenerator random(2026);
    for (int i = 1; i <= 24; ++i) {
        QByteArray bytes(150 * 1024 + i * 1000, Qt::Uninitialized);
        random.fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
        write(QStringLiteral("Photos/Holiday %1.jpg").arg(i), bytes);
    }
    for (int i = 1; i <= 12; ++i)
        write(QStringLiteral("Reports 2026/Report %1.txt").arg(i), QByteArray(20000, char('a' + i)));
}

// What the traces and logs below the root hold, and the daemon host's own output.
bool secretInTraces(const QString& root, const QString& secret) {
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!path.contains(QStringLiteral("Trace")) && !path.contains(QStringLiteral("Log")) &&
            !path.endsWith(QStringLiteral(".log")))
            continue;
        QFile f(path);
        if (f.open(QIODevice::ReadOnly) && f.readAll().contains(secret.toUtf8()))
            return true;
    }
    return false;
}

// What the job holds while it runs.
struct Job {
    qint64 start = 0;
    bool walk = false;
    Appliance appliance;
    PrivateBus bus;
    TempRoot root;
    FixtureUser user;
    QString account = QStringLiteral("demo");
    QString password;
    QString home;
    QString shared; // the user's folder for what the two sides share
    QString hostLog;
    pid_t daemon = -1;
    QStringList snapshots;

    void say(const QString& text) const { Run::say(start, text); }
    pid_t startDaemon() const {
        return ChildProcess::spawn({QStringLiteral(ZH_DAEMON_HOST), root.path(), user.name, bus.address()},
                                   hostLog, hostLog);
    }
    void snapshot() {
        const QString name =
            QDateTime::currentDateTime().toString(QStringLiteral("'auto-'yyyyMMdd.HHmm'-frequent'"));
        if (snapshots.contains(name) || !appliance.createSnapshot(name))
            return say(QStringLiteral("appliance: no snapshot taken"));
        snapshots << name;
        say(QStringLiteral("appliance: snapshot %1").arg(name));
    }
};

// The appliance with its account and a password made for this run, and the bus.
bool startAppliance(Job& job) {
    for (int i = 0; i < 12; ++i)
        job.password += QChar(u"abcdefghijkmnpqrstuvwxyz23456789"[QRandomGenerator::system()->bounded(32)]);
    job.appliance.addUser(job.account, job.password);
    job.appliance.putFile(job.account + QStringLiteral("/.keep"), "");
    QString error;
    if (!job.appliance.start(&error) || !job.bus.start(&error)) {
        std::fprintf(stderr, "zh-run: %s\n", qPrintable(error));
        return false;
    }
    job.say(QStringLiteral("appliance: rsync daemon with snapshots at %1::backup, account \"%2\"")
                .arg(job.appliance.address(), job.account));
    return true;
}

// The machine: a profile root with the user's home and documents, the helpers an installation leaves,
// and a folder of the user's for what the two sides share.
bool setUpMachine(Job& job) {
    QString error;
    job.user = FixtureUser::get(&error);
    if (job.user.name.isEmpty() || !job.root.isValid()) {
        std::fprintf(stderr, "zh-run: no account to act for: %s\n", qPrintable(error));
        return false;
    }
    const QString root = job.root.path();
    job.home = job.root.createHome(job.user);
    writeDocuments(job.home + QStringLiteral("/Documents"));
    job.user.handOver(job.home);
    qputenv("ZH_TMUTIL_STATE", (root + QStringLiteral("/tmutil-state.plist")).toUtf8());
    QDir().mkpath(root + QStringLiteral("/etc"));
    // What `cmake --install` leaves on a machine: the helpers in place, the first-start marker.
    const QString installed = job.root.installBuild();
    if (!installed.isEmpty()) {
        std::fprintf(stderr, "zh-run: %s\n", qPrintable(installed));
        return false;
    }
    job.shared = root + QStringLiteral("/run");
    job.hostLog = root + QStringLiteral("/daemon-host.log");
    QDir().mkpath(Run::shotsFolder(root));
    QDir().mkpath(job.shared + QStringLiteral("/xdg"));
    QFile::setPermissions(job.shared + QStringLiteral("/xdg"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    if (QFile cookie(qEnvironmentVariable("XAUTHORITY", QDir::homePath() + QStringLiteral("/.Xauthority")));
        cookie.open(QIODevice::ReadOnly))
        FileTools::writeAtomically(job.shared + QStringLiteral("/Xauthority"), cookie.readAll(), 0600);
    job.user.handOver(job.shared);
    job.say(QStringLiteral("machine: profile root %1, user %2, 38 documents in %3/Documents")
                .arg(root, job.user.name, job.home));
    return true;
}

// The application as the user at the screen: its environment, groups and rights.
void startApplication(const Job& job, QProcess& application) {
    const FixtureUser& user = job.user;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DBUS_SESSION_BUS_ADDRESS", "DBUS_SYSTEM_BUS_ADDRESS", "SESSION_MANAGER"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(QStringLiteral("HOME"), job.home);
    environment.insert(QStringLiteral("USER"), user.name);
    environment.insert(QStringLiteral("LOGNAME"), user.name);
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), job.shared + QStringLiteral("/xdg"));
    environment.insert(QStringLiteral("XAUTHORITY"), job.shared + QStringLiteral("/Xauthority"));
    // The user's Wayland socket is closed to another account; X (or XWayland) takes the copied cookie.
    if (!environment.contains(QStringLiteral("QT_QPA_PLATFORM")) && !qEnvironmentVariableIsEmpty("DISPLAY"))
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    if (job.walk)
        job.say(
            QStringLiteral("application: ZorvikHollin as %1, walking through its windows").arg(user.name));
    else
        job.say(QStringLiteral("application: ZorvikHollin as %1. Log in with account \"%2\", password \"%3\" "
                               "(appliance address %4, if asked). Quit it from its menu (tray icon or the "
                               "window's Menu button), or press Ctrl-C here, to end.")
                    .arg(user.name, job.account, job.password, job.appliance.address()));
    std::vector<gid_t> groups(64);
    int groupCount = int(groups.size());
    if (::getgrouplist(QFile::encodeName(user.name).constData(), user.gid, groups.data(), &groupCount) < 0)
        groupCount = 0;
    groups.resize(size_t(groupCount));
    application.setProcessEnvironment(environment);
    application.setProcessChannelMode(QProcess::ForwardedChannels);
    application.setChildProcessModifier([user, groups] { // in the child, before it runs the program
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(user.gid) != 0 ||
            ::setuid(user.uid) != 0)
            ::_exit(126);
    });
    application.start(QCoreApplication::applicationFilePath(),
                      {QStringLiteral("--app"), job.root.path(), job.bus.address(), user.name,
                       job.walk ? QStringLiteral("walk") : QStringLiteral("interactive"),
                       job.appliance.address(), QString::number(job.start)});
    application.write(job.password.toUtf8() + '\n'); // the password travels on standard input only
    application.waitForBytesWritten(10000);
    application.closeWriteChannel();
}

// Until the application ends: the daemon is started again after every exit; the appliance takes a
// snapshot when the walk asks for one, and every two minutes while a person uses the programs. Whether
// the application ended well.
bool supervise(Job& job, QProcess& application) {
    QDeadlineTimer nextSnapshot(120000);
    const QString request = Run::snapshotRequest(job.root.path());
    while (!gStop && application.state() != QProcess::NotRunning && !application.waitForFinished(200)) {
        if (!ChildProcess::isAlive(job.daemon)) {
            job.daemon = job.startDaemon();
            job.say(QStringLiteral("daemon: ended; started again (pid %1), as the service supervisor does")
                        .arg(job.daemon));
        }
        if (QFile::exists(request)) {
            job.snapshot();
            QFile::remove(request);
        } else if (!job.walk && nextSnapshot.hasExpired()) {
            job.snapshot();
            nextSnapshot.setRemainingTime(120000);
        }
    }
    if (application.state() != QProcess::NotRunning) {
        application.terminate();
        if (!application.waitForFinished(5000))
            application.kill();
        application.waitForFinished(5000);
    }
    ChildProcess::terminate(job.daemon);
    return application.exitStatus() == QProcess::NormalExit && application.exitCode() == 0;
}

// The walk's end: the traces, what the appliance holds, the screenshots, the counts.
int endWalk(const Job& job, bool finished, const QString& out) {
    const QString root = job.root.path();
    QFile counts(Run::resultFile(root));
    const QList<QByteArray> figures =
        counts.open(QIODevice::ReadOnly) ? counts.readAll().split(' ') : QList<QByteArray>();
    int passed = figures.value(0).toInt(),
        failed = figures.size() == 2 ? figures.value(1).trimmed().toInt() : 1;
    const bool clean = !secretInTraces(root, job.password);
    job.say(QStringLiteral("no password in any trace or log ... %1").arg(clean ? "ok" : "FAILED"));
    (clean ? passed : failed) += 1;
    QByteArray listing;
    ChildProcess::run({QStringLiteral("find"), job.appliance.modulePath() + u'/' + job.account,
                       QStringLiteral("-type"), QStringLiteral("f"), QStringLiteral("!"),
                       QStringLiteral("-name"), QStringLiteral(".keep")},
                      &listing);
    job.say(QStringLiteral("the appliance holds %1 files for \"%2\"; snapshots: %3")
                .arg(listing.count('\n'))
                .arg(job.account, job.snapshots.join(QStringLiteral(", "))));
    QDir().mkpath(out);
    const QStringList shots = QDir(Run::shotsFolder(root)).entryList({QStringLiteral("*.png")}, QDir::Files);
    for (const QString& shot : shots) {
        QFile::remove(out + u'/' + shot);
        QFile::copy(Run::shotsFolder(root) + u'/' + shot, out + u'/' + shot);
    }
    job.say(QStringLiteral("%1 screenshots in %2").arg(shots.size()).arg(out));
    std::printf("walk: %d passed, %d failed\n", passed, failed);
    return failed == 0 && finished ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && qstrcmp(argv[1], "--app") == 0)
        return Run::application(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--probe-display") == 0) {
        QGuiApplication probe(argc, argv);
        return 0;
    }
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const int outAt = arguments.indexOf(QStringLiteral("--out"));
    const QString out = outAt > 0 ? arguments.value(outAt + 1) : QDir::currentPath() + QStringLiteral("/run");
    if (const QString reason = Appliance::skipReason(); !reason.isEmpty()) {
        std::fprintf(stderr, "zh-run cannot run here: %s\n", qPrintable(reason));
        return 77;
    }
    std::signal(SIGINT, [](int) { gStop = 1; });
    std::signal(SIGTERM, [](int) { gStop = 1; });

    Job job;
    job.start = QDateTime::currentMSecsSinceEpoch();
    job.walk = arguments.contains(QStringLiteral("--walk"));
    if (!startAppliance(job))
        return 1;
    if (!setUpMachine(job))
        return 77;
    job.daemon = job.startDaemon();
    job.say(QStringLiteral("daemon: ZorvikHollinWatcher's object graph for %1 (pid %2)")
                .arg(job.user.name)
                .arg(job.daemon));
    QProcess application;
    startApplication(job, application);
    const bool finished = supervise(job, application);
    return job.walk ? endWalk(job, finished, out) : (finished ? 0 : 1);
}
