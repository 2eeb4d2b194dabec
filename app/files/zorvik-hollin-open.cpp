// What the file managers' context-menu entries run: asks the application, on the person's session bus,
// to open Versions…, Check a File… or Back Up Now for the files and folders named, starting it when it
// does not run (the bus activates it).
//
//   zorvik-hollin-open versions|check|backup ITEM...
//
// Each ITEM is one argument as the file manager passed it, never split or read by a shell: a path
// (relative ones are taken from the current folder) or a "file://" URI. A path is sent as a URI made
// from its bytes, so that a name that is not UTF-8 reaches the application as it is. Exit status: 0 when
// the application took every item, 2 when it refused some (each on standard error, with why; the person
// sees them in its window), 1 when it could not be reached, 64 for a wrong use.

#include <QByteArray>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QThread>

#include <cstdio>

namespace {

constexpr const char* Service = "org.zorvikhollin.ZorvikHollin";
constexpr const char* Path = "/org/zorvikhollin/ZorvikHollin";
constexpr const char* Interface = "org.zorvikhollin.ZorvikHollin";
// Starting the application (the bus's activation) can take a while on a busy machine.
constexpr int CallTimeoutMs = 60000;

int usage() {
    std::fputs("usage: zorvik-hollin-open versions|check|backup ITEM...\n", stderr);
    return 64;
}

// A file URI of exactly these bytes: everything but the unreserved characters and "/" is
// percent-encoded, so blanks, quotes, newlines and bytes that are not UTF-8 travel as they are.
QString uriOf(QByteArray native) {
    if (!native.startsWith('/'))
        native = QFile::encodeName(QDir::currentPath()) + '/' + native;
    return QStringLiteral("file://") + QString::fromLatin1(native.toPercentEncoding("/"));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 3)
        return usage();
    const QByteArray action = argv[1];
    const char* method = action == "versions" ? "ShowVersions"
                         : action == "check"  ? "CheckFiles"
                         : action == "backup" ? "BackUpNow"
                                              : nullptr;
    if (!method)
        return usage();
    QStringList items;
    for (int i = 2; i < argc; ++i) {
        const QByteArray arg = argv[i];
        items << (arg.startsWith("file:") ? QString::fromUtf8(arg) : uriOf(arg));
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        std::fprintf(stderr, "zorvik-hollin-open: no session bus: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(QString::fromLatin1(Service), QString::fromLatin1(Path),
                                       QString::fromLatin1(Interface), QString::fromLatin1(method));
    call << items;
    QDBusMessage reply = bus.call(call, QDBus::Block, CallTimeoutMs);
    // An application that was starting at the same moment (the desktop's log-in) hands the activated
    // one over to itself: the name is taken a moment later. One more try.
    if (reply.type() == QDBusMessage::ErrorMessage &&
        (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.Spawn.ChildExited") ||
         reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
         reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))) {
        QThread::sleep(2);
        reply = bus.call(call, QDBus::Block, CallTimeoutMs);
    }
    if (reply.type() != QDBusMessage::ReplyMessage) {
        std::fprintf(stderr, "zorvik-hollin-open: Zorvik Hollin could not be reached: %s (%s)\n",
                     qPrintable(reply.errorMessage()), qPrintable(reply.errorName()));
        return 1;
    }
    const QStringList refused = reply.arguments().value(0).toStringList();
    for (const QString& line : refused)
        std::fprintf(stderr, "zorvik-hollin-open: %s\n", qPrintable(line));
    return refused.isEmpty() ? 0 : 2;
}
