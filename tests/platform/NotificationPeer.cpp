// The other process of the notification tests. It observes every notification of the protocol and
// reports each one on standard output ("got <json>"), and posts them all on the command "post-all"
// ("posted <n>" afterwards). "--user NAME" makes it drop to that account before it reaches the bus.

#include "ProtocolSamples.h"
#include "linux/DBusNotificationCenter.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QSocketNotifier>

#include <cstdio>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace {

void say(const QString& line) {
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

bool becomeUser(const char* name) {
    const passwd* account = getpwnam(name);
    return account && setgroups(0, nullptr) == 0 && setgid(account->pw_gid) == 0 &&
           setuid(account->pw_uid) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && QByteArray(argv[1]) == "--user" && !becomeUser(argv[2])) {
        std::fprintf(stderr, "cannot become %s\n", argv[2]);
        return 2;
    }
    QCoreApplication app(argc, argv);
    DBusNotificationCenter center(QDBusConnection::systemBus(), [](uint) { return true; });
    if (!center.isListening()) {
        std::fprintf(stderr, "no system bus\n");
        return 3;
    }
    QObject observer;
    for (const QString& name : sampleNames())
        center.addObserver(&observer, name, [](const QString& n, const QVariantMap& info) {
            say(QStringLiteral("got ") + encodeSample(n, info));
        });

    QByteArray pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false);
            app.quit();
            return;
        }
        pending.append(buffer, n);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QByteArray command = pending.left(end).trimmed();
            pending.remove(0, end + 1);
            if (command == "post-all") {
                int posted = 0;
                for (const SampleNotification& s : allSamples())
                    posted += center.postNotification(s.name, s.userInfo, s.options) ? 1 : 0;
                say(QStringLiteral("posted %1").arg(posted));
            } else if (command == "quit") {
                app.quit();
            }
        }
    });
    say(QStringLiteral("ready"));
    return app.exec();
}
