// Backs up 10,000 small files and 20 files of 50 MB to the appliance fixture through the backup
// manager (private rsync copy), then sends the same list with a bare rsync to a fresh folder, and
// prints both times and their ratio. The engine's fixed pauses (the grace after each rsync, the pause
// between sets, the short sleeps while cutting sets) are counted separately.
#include "Appliance.h"
#include "BenchTable.h"
#include "DaemonTestServices.h"
#include "FileTools.h"
#include "PropertyList.h"
#include "RSyncBackupManager.h"
#include "RsyncConventions.h"
#include "UtilityClass.h"

#include <Protocol.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>

namespace {
struct Quiet : RSyncBackupManagerDelegate {
    int progress = 0;
    QString end;
    void operationDidStart(RSyncBackupManager*) override {}
    void operationDidReceiveData(const QVariantMap&) override { ++progress; }
    void operationDidReceiveErrors(const QString&, const QString&) override {}
    void operationDidFailWithError(const QString& t) override { end = "failed: " + t; }
    void quotaExceded(RSyncBackupManager*) override { end = "quota"; }
    void operationDidCancel(RSyncBackupManager*) override { end = "cancel"; }
    void initialBackupFinished(RSyncBackupManager*) override {}
    void operationDidFinishSuccessfully(RSyncBackupManager*) override { end = "ok"; }
};
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString reason = Appliance::skipReason();
    if (!reason.isEmpty()) {
        std::printf("skipped: %s\n", qPrintable(reason));
        return 0;
    }
    DaemonTestServices svc;
    Appliance appliance;
    appliance.addUser("alice", "pw");
    if (!appliance.start()) {
        std::printf("appliance did not start\n");
        return 1;
    }
    FilePathsController paths(FilePathsController::Table::Daemon, svc.root.profile());
    paths.setM_ConsoleUserName(svc.user.name);
    const QString privateRsync = paths.pathForApplicationFile(DaemonPath::PrivateRsync);
    FileTools::makePath(QFileInfo(privateRsync).absolutePath());
    QFile::link(ZH_PRIVATE_RSYNC, privateRsync);
    FileTools::makePath(
        QFileInfo(paths.pathForApplicationFile(DaemonPath::BackupPasswordFile)).absolutePath());
    FileTools::makePath(paths.pathForApplicationFile(DaemonPath::UserSupportFolder));
    PropertyList::writeDictionary(
        paths.pathForApplicationFile(DaemonPath::UserDetails),
        {{Protocol::UserName, "alice"}, {Protocol::Password, "pw"}, {Protocol::Ip, appliance.address()}},
        PropertyList::OwnerOnlyMode);

    const QString home = svc.root.profile().homeOf(svc.user.name);
    QStringList files;
    QDir().mkpath(home + "/small");
    for (int i = 0; i < 10000; ++i) {
        const QString f = QStringLiteral("%1/small/f%2.txt").arg(home).arg(i);
        QFile out(f);
        out.open(QIODevice::WriteOnly);
        out.write(QByteArray(200 + i % 800, char('a' + i % 26)));
        files << f;
    }
    QDir().mkpath(home + "/big");
    QByteArray block(1024 * 1024, 0);
    for (int i = 0; i < 20; ++i) {
        const QString f = QStringLiteral("%1/big/b%2.bin").arg(home).arg(i);
        QFile out(f);
        out.open(QIODevice::WriteOnly);
        for (int m = 0; m < 50; ++m) {
            for (int j = 0; j < block.size(); j += 64)
                block[j] = char(i * 31 + m * 7 + j);
            out.write(block);
        }
        files << f;
    }

    const Timings timings = Timings::standard();
    Quiet delegate;
    RSyncBackupManager manager(svc.services(timings), nullptr);
    manager.setDelegate(&delegate);
    manager.initializeApplicationSupportPaths(svc.user.name, "alice");
    manager.setMDestinationPath(UtilityClass::machineName());
    manager.setFileSetForOperation(files);
    manager.setMUserDetails(
        PropertyList::readDictionary(paths.pathForApplicationFile(DaemonPath::UserDetails)));
    manager.setMBackupExecutorPath(privateRsync);

    QElapsedTimer engineTimer;
    engineTimer.start();
    manager.startBackup();
    const int sets = manager.backupsetFileCount();
    while (manager.mIsRunning())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const double engineSeconds = engineTimer.nsecsElapsed() / 1e9;
    const double pauses =
        ((sets - 1) * timings.nextSetPause.count() + (files.size() / 200) * timings.setCuttingPause.count()) /
        1000.0;

    // The same list, bare, to a fresh folder so that it too sends everything.
    const QString list = svc.root.path() + "/bare-list";
    const QString pw = svc.root.path() + "/bare-pw";
    RsyncConventions::writePasswordFile(pw, "pw", 0600);
    FileTools::writeAtomically(list, files.join('\n').toUtf8(), 0644);
    QElapsedTimer bareTimer;
    bareTimer.start();
    QProcess bare;
    bare.start("rsync", {"--dirs", "--recursive", "--password-file=" + pw, "--files-from=" + list, "/",
                         "alice@" + appliance.address() + "::backup/alice/bare"});
    bare.waitForFinished(-1);
    const double bareSeconds = bareTimer.nsecsElapsed() / 1e9;

    // Where the rest goes: the engine's own options (-v --progress) on a bare rsync, and the private
    // copy alone with one list of everything (one connection, its output filter, no engine).
    const auto timed = [&](const QString& program, const QStringList& args, int* exit) {
        QElapsedTimer t;
        t.start();
        QProcess p;
        p.setStandardOutputFile(QProcess::nullDevice());
        p.setStandardErrorFile(QProcess::nullDevice());
        p.start(program, args);
        p.waitForFinished(-1);
        *exit = p.exitCode();
        return t.nsecsElapsed() / 1e9;
    };
    int verboseExit = 0, adapterExit = 0;
    const double verboseSeconds =
        timed("rsync",
              {"--progress", "--dirs", "--recursive", "-v", "--password-file=" + pw, "--files-from=" + list,
               "/", "alice@" + appliance.address() + "::backup/alice/verbose"},
              &verboseExit);
    const double adapterSeconds =
        timed(privateRsync,
              {"--progress", "--dirs", "--recursive", "-v", "--password-file=" + pw, "--files-from=" + list,
               "/", "alice@" + appliance.address() + "::\"backup/alice/adapter\""},
              &adapterExit);

    std::printf("backup run: %d files (%d sets), result %s, %d progress events\n", int(files.size()), sets,
                qPrintable(delegate.end), delegate.progress);
    std::printf("engine          %8.2f s\n", engineSeconds);
    std::printf("  fixed pauses  %8.2f s (next-set %lld ms x %d, cutting)\n", pauses,
                (long long)timings.nextSetPause.count(), sets - 1);
    std::printf("  without them  %8.2f s\n", engineSeconds - pauses);
    std::printf("bare rsync      %8.2f s (exit %d)\n", bareSeconds, bare.exitCode());
    std::printf("bare rsync -v --progress %8.2f s (exit %d)\n", verboseSeconds, verboseExit);
    std::printf("private copy, one list   %8.2f s (exit %d)\n", adapterSeconds, adapterExit);
    std::printf("ratio (engine without pauses / bare) %.2f\n", (engineSeconds - pauses) / bareSeconds);
    tableRow(
        "backup run (required pauses apart)",
        QStringLiteral("%1 s (+ %2 s pauses)").arg(engineSeconds - pauses, 0, 'f', 1).arg(pauses, 0, 'f', 1),
        QStringLiteral("bare rsync %1 s").arg(bareSeconds, 0, 'f', 1),
        ratioText((engineSeconds - pauses) / bareSeconds), "≤ 1.10×");
    tableRow("backup run, pauses included", QStringLiteral("%1 s").arg(engineSeconds, 0, 'f', 1),
             QStringLiteral("bare rsync %1 s").arg(bareSeconds, 0, 'f', 1),
             ratioText(engineSeconds / bareSeconds), "≤ 1.5×");
    return delegate.end == "ok" ? 0 : 1;
}
