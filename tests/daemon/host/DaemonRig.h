#pragma once

// The daemon as a process of its own (zh-daemon-host over a temporary profile root), with the test as
// its service supervisor: started again after every exit, killed at will, against the embedded
// appliance and a private bus. The test plays the application on the bus and records every
// "Progress" text it is told ("file" for a per-file post).

#include "Appliance.h"
#include "ChildProcess.h"
#include "EventLoopWait.h"
#include "FilePathsController.h"
#include "FileTools.h"
#include "PrivateBus.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "QtPrinters.h"
#include "Requirements.h"
#include "TestRoots.h"
#include "UtilityClass.h"
#include "linux/DBusNotificationCenter.h"

#include <QDir>
#include <QFile>
#include <QMap>

#include <sys/wait.h>

#include <functional>
#include <memory>

class DaemonRig : public RequiringTest {
  protected:
    std::unique_ptr<Appliance> appliance;
    PrivateBus bus;
    TempRoot root;
    FixtureUser user = FixtureUser::get();
    FilePathsController paths{FilePathsController::Table::Daemon, root.profile()};
    std::unique_ptr<DBusNotificationCenter> appSide;
    QString appConnection;
    QObject application;
    QStringList progress;
    std::function<void(const QString&)> onProgress; // called with each text as it arrives
    QString home;
    const QString account = QStringLiteral("ann");
    const QString password = QStringLiteral("p4ss \"word\" with blanks");
    pid_t daemon = -1;
    QList<int> exitStatuses;

    virtual Appliance::Options applianceOptions() const { return {}; }
    QString requirements() override { return Appliance::skipReason(applianceOptions()); }
    void prepare() override {
        appliance = std::make_unique<Appliance>(applianceOptions());
        appliance->addUser(account, password);
        ASSERT_TRUE(appliance->start());
        ASSERT_TRUE(bus.start());
        qputenv("ZH_TMUTIL_STATE", (root.path() + QStringLiteral("/tmutil-state.plist")).toUtf8());
        paths.setM_ConsoleUserName(user.name);
        home = root.createHome(user);
        QDir().mkpath(root.path() + QStringLiteral("/etc"));
        // The machine as an installation leaves it: the private rsync copy in place and the marker
        // that asks the first start for the initial backup.
        const QString installed = root.installBuild();
        ASSERT_TRUE(installed.isEmpty()) << installed.toStdString();
        FileTools::makePath(paths.pathForApplicationFile(DaemonPath::UserSupportFolder));
        QDBusConnection connection = bus.connect(QStringLiteral("app"));
        appConnection = connection.name();
        appSide = std::make_unique<DBusNotificationCenter>(connection, [](uint) { return true; });
        appSide->addObserver(
            &application, Protocol::Progress, [this](const QString&, const QVariantMap& info) {
                const QVariant p = info.value(Protocol::KeyProgress);
                progress << (p.typeId() == QMetaType::QVariantMap ? QStringLiteral("file") : p.toString());
                if (onProgress)
                    onProgress(progress.last());
            });
    }
    void TearDown() override {
        if (daemon > 0)
            ChildProcess::terminate(daemon);
        appSide.reset();
        QDBusConnection::disconnectFromBus(appConnection);
        qunsetenv("ZH_TMUTIL_STATE");
    }

    // console: the user at the screen, or "@<file>" naming it in that file (see DaemonHost.cpp).
    // standardTimings: the field's intervals instead of the short ones; options: more of the host's.
    void startDaemon(const QString& console = QString(), bool standardTimings = false,
                     const QStringList& options = {}) {
        const QString log = root.path() + QStringLiteral("/host.log");
        QStringList command{QStringLiteral(ZH_DAEMON_HOST), root.path(),
                            console.isEmpty() ? user.name : console, bus.address()};
        if (standardTimings)
            command << QStringLiteral("standard-timings");
        command << options;
        daemon = ChildProcess::spawn(command, log, log);
        spinFor(300); // its bus connection and observers
    }
    // The supervisor: a daemon that ended is recorded (the test starts it again when it wants).
    bool daemonEnded() {
        int status = 0;
        if (daemon <= 0 || waitpid(daemon, &status, WNOHANG) != daemon)
            return false;
        exitStatuses << (WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        daemon = -1;
        return true;
    }
    bool waitForExit(int timeoutMs = 15000) {
        return waitUntil([this] { return daemonEnded(); }, timeoutMs);
    }

    void writeDetails(const QVariantMap& changes = {}) {
        QVariantMap details{{Protocol::UserName, account},
                            {Protocol::Password, password},
                            {Protocol::Ip, appliance->address()},
                            {Protocol::Login, QStringLiteral("1")},
                            {Protocol::PauseStateKey, QStringLiteral("0")},
                            {Protocol::LocalBackup, QStringLiteral("1")},
                            {Protocol::TimeMachineBackup, QStringLiteral("0")}};
        details.insert(changes);
        ASSERT_TRUE(PropertyList::writeDictionary(paths.pathForApplicationFile(DaemonPath::UserDetails),
                                                  details, PropertyList::OwnerOnlyMode));
    }
    static void writeFile(const QString& path, const QByteArray& content) {
        FileTools::makePath(QFileInfo(path).path());
        QFile f(path);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(content);
    }
    static QByteArray contentOf(const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString onAppliance(const QString& localPath) const {
        return appliance->modulePath() + u'/' + account + u'/' + UtilityClass::machineName() + localPath;
    }
    // The files (path → content) that are not on the appliance byte for byte.
    QStringList missing(const QMap<QString, QByteArray>& files) const {
        QStringList out;
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            if (!QFile::exists(onAppliance(it.key())) || contentOf(onAppliance(it.key())) != it.value())
                out << it.key();
        return out;
    }
    bool arrived(const QMap<QString, QByteArray>& files, int timeoutMs = 40000) const {
        return waitUntil([&] { return missing(files).isEmpty(); }, timeoutMs);
    }
    QString trace() const { return readTrace(paths.pathForApplicationFile(DaemonPath::DaemonTrace)); }
    QString sessionLogs() const {
        QString all;
        const QDir folder(paths.pathForApplicationFile(DaemonPath::SessionLogsFolder));
        for (const QString& name : folder.entryList(QDir::Files, QDir::Name))
            all += readTrace(folder.filePath(name));
        return all;
    }
    std::string hostLog() const { return readTrace(root.path() + QStringLiteral("/host.log")).toStdString(); }
};
