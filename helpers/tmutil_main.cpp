// tmutil: the stand-in for the macOS snapshot-backup tool (docs/helpers.md).

#include "TimeMachineStandIn.h"

#include <QFile>
#include <QStringList>
#include <QtGlobal>

#include <cstdio>

int main(int argc, char** argv) {
    // Whatever reaches standard error is a failure to the daemon; the library's own warnings (an
    // unreadable state file, which is then taken as empty) must not reach it.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QFile::decodeName(argv[i]);
    QByteArray out, err;
    const auto readPassword = [] {
        QFile in;
        return in.open(stdin, QIODevice::ReadOnly) ? in.read(64 * 1024) : QByteArray();
    };
    const int status =
        TimeMachineStandIn(TimeMachineStandIn::defaultStatePath()).run(args, out, err, readPassword);
    std::fwrite(out.constData(), 1, std::size_t(out.size()), stdout);
    std::fwrite(err.constData(), 1, std::size_t(err.size()), stderr);
    return status;
}
