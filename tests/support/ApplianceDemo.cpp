// Starts the embedded appliance, creates an account holding a few documents of this machine, and
// shows what a real rsync listing of that account returns. Runs as root (the appliance's port).

#include "Appliance.h"
#include "ChildProcess.h"
#include "UtilityClass.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString reason = Appliance::skipReason();
    if (!reason.isEmpty()) {
        std::fprintf(stderr, "cannot run: %s\n", qPrintable(reason));
        return 2;
    }

    Appliance appliance;
    const QString user = QStringLiteral("demo");
    // A fresh password each run; it only ever travels in password files.
    const QString password = QString::number(QRandomGenerator::system()->generate64(), 36);
    appliance.addUser(user, password);
    QString error;
    if (!appliance.start(&error)) {
        std::fprintf(stderr, "appliance did not start: %s\n", qPrintable(error));
        return 1;
    }
    const QString machine = UtilityClass::machineName();
    const QString area = user + u'/' + machine + QStringLiteral("/home/demo/Documents/");
    appliance.putFile(area + QStringLiteral("Letter to Anna.txt"), "Dear Anna,\n");
    appliance.putFile(area + QStringLiteral("Budget 2026.ods"), QByteArray(24 * 1024, 'x'));
    appliance.putFile(area + QStringLiteral("Photos/Holiday 1.jpg"), QByteArray(180 * 1024, 'p'));
    std::printf(
        "Embedded appliance: rsync daemon %s::backup (pid %d), account \"%s\", machine folder \"%s\"\n\n",
        qPrintable(appliance.address()), int(appliance.pid()), qPrintable(user), qPrintable(machine));

    // The listing of the user's area, run the way the daemon runs it with the system rsync.
    QTemporaryDir scratch;
    const QString passwordFile = scratch.filePath(QStringLiteral("listing.secrets"));
    QFile secret(passwordFile);
    secret.open(QIODevice::WriteOnly);
    secret.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    secret.write(password.toUtf8());
    secret.close();
    const QString command =
        QStringLiteral("rsync --list-only -r --password-file=\"%1\" %2@%3::\"backup/%2/\"")
            .arg(passwordFile, user, appliance.address());
    std::printf("$ %s\n", qPrintable(command));
    std::fflush(stdout);
    QByteArray out, err;
    const int rc =
        ChildProcess::run({QStringLiteral("/bin/bash"), QStringLiteral("-c"), command}, &out, &err);
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    std::fwrite(err.constData(), 1, size_t(err.size()), stderr);
    std::printf("\nrsync exit status %d; appliance stopped.\n", rc);
    appliance.stop();
    return rc == 0 ? 0 : 1;
}
