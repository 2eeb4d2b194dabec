#pragma once

#include "Appliance.h"
#include "DaemonTestServices.h"
#include "DeploymentSettings.h"
#include "ExcludeManager.h"
#include "ReadController.h"
#include "UtilityClass.h"

#include <QCryptographicHash>

// A backup run's surroundings: daemon services over a temporary root with a private bus, the
// account's user details, the "Progress" notifications as the application side receives them, and
// either the appliance fixture with the private rsync at its place, or a script that plays rsync.
struct BackupRunSupport {
    static constexpr const char* ApplianceUser = "alice";
    static constexpr const char* Password = "s3cret pass\"word";

    DaemonTestServices svc;
    std::unique_ptr<Appliance> appliance;
    QObject receiver;
    QList<QVariantMap> progress; // payloads of "Progress", in arrival order
    int initialBackupFailedPosts = 0;
    QString control = svc.root.path() + "/fake-rsync"; // the fake rsync's folder

    // "" when ready, else what went wrong.
    QString setUp(Appliance::Options options = Appliance::Options()) {
        appliance = std::make_unique<Appliance>(options);
        appliance->addUser(ApplianceUser, Password);
        QString error;
        if (!appliance->start(&error))
            return "appliance did not start: " + error;
        const QString reason = prepare(appliance->address());
        QFile::link(ZH_PRIVATE_RSYNC, path(DaemonPath::PrivateRsync));
        return reason;
    }
    // The private rsync is a script: it answers "--version" as rsync 3.2.7; call n counts itself in
    // fakeFile("count"), copies its list to fakeFile("list", n), "<uid> <password> <password file>
    // <mark>" to fakeFile("who", n) (the password as passwordTag() of what RSYNC_PASSWORD held, the
    // file "none" when no --password-file was given, the mark the daemon's runs carry), and runs the
    // bash text of step(n) (or of the default step, a clean transfer).
    QString setUpFakeRsync() {
        const QString reason = prepare("127.0.0.1");
        QDir().mkpath(control);
        QFile::setPermissions(control, QFileDevice::Permissions(0x7777)); // rsync runs as the user
        const QString script = "#!/bin/bash\ndir='" + control + "'\n" + R"sh(
[ "$*" = --version ] && { echo 'rsync  version 3.2.7  protocol version 31'; exit 0; }
n=$(( $(cat "$dir/count.0" 2>/dev/null || echo 0) + 1 )); echo $n >"$dir/count.0"
for a in "$@"; do case "$a" in --files-from=*) list="${a#--files-from=}";;
  --password-file=*) pw="${a#--password-file=}";; esac; done
tag=$(printf %s "$RSYNC_PASSWORD" | sha256sum | cut -c1-16)
cat "$list" >"$dir/list.$n"; echo "$(id -u) $tag ${pw:-none} $ZORVIK_HOLLIN_WATCHER_RUN" >"$dir/who.$n"
step="$dir/step.$n"; [ -f "$step" ] || step="$dir/step"; source "$step"
)sh";
        FileTools::writeAtomically(path(DaemonPath::PrivateRsync), script.toUtf8(), 0755);
        step("echo 'total size is 16  speedup is 1.00'; exit 0");
        return reason;
    }
    void step(const QString& bash, int call = 0) {
        FileTools::writeAtomically(control + (call > 0 ? "/step." + QString::number(call) : "/step"),
                                   bash.toUtf8(), 0644);
    }
    QStringList fakeFile(const QString& name, int call = 0) const {
        return readLines(QStringLiteral("%1/%2.%3").arg(control, name).arg(call));
    }
    int rsyncCalls() const { return fakeFile("count").value(0).toInt(); }
    // How the fake records a password: the start of its SHA-256 in hex (the password itself stays out of
    // every file).
    static QString passwordTag(const QString& password) {
        return QString::fromLatin1(
            QCryptographicHash::hash(password.toUtf8(), QCryptographicHash::Sha256).toHex().left(16));
    }

    static Timings shortTimings() {
        Timings t;
        t.firstRetryDelay = t.backupPassInterval = 100ms;
        t.laterRetryDelay = t.indexUpdateInterval = 200ms;
        t.nextSetPause = 20ms;
        for (auto* pause :
             {&t.indexDeltaCreationPause, &t.indexBackupRecordsPause, &t.indexListingRecordsPause,
              &t.indexMergeRowsPause, &t.indexFolderEntriesPause, &t.listingLinesPause})
            *pause = 0ms;
        t.listingFirstLevelGrace = t.listingFolderGrace = t.listingFolderPause = 50ms;
        return t;
    }
    // Merges changes into the account record (a fresh record holds the fixture's account).
    void writeUserDetails(const QVariantMap& changes) {
        QVariantMap details = userDetails();
        if (details.isEmpty())
            details = {{Protocol::UserName, ApplianceUser},
                       {Protocol::Password, Password},
                       {Protocol::PauseStateKey, "0"},
                       {Protocol::LocalBackup, "1"}};
        details.insert(changes);
        PropertyList::writeDictionary(path(DaemonPath::UserDetails), details, PropertyList::OwnerOnlyMode);
    }
    QVariantMap userDetails() const { return PropertyList::readDictionary(path(DaemonPath::UserDetails)); }
    // Files below the fixture user's home; returns their absolute paths.
    QStringList makeFiles(const QString& folder, int count) {
        QDir().mkpath(svc.home() + '/' + folder);
        QStringList out;
        for (int i = 0; i < count; ++i) {
            QFile f(out.emplace_back(QStringLiteral("%1/%2/file %3.txt").arg(svc.home(), folder).arg(i)));
            f.open(QIODevice::WriteOnly);
            f.write(QByteArray(16, char('a' + i % 26)));
        }
        return out;
    }
    // Where an absolute local path lands on the appliance.
    QString onAppliance(const QString& localPath) const {
        return QStringLiteral("%1/%2/%3%4")
            .arg(appliance->modulePath(), ApplianceUser, UtilityClass::machineName(), localPath);
    }
    QString path(int index) const { return svc.path(index); }
    QString remainingFiles() const { return path(DaemonPath::BackupListsFolder) + "/remainingFiles"; }
    QString trace() const { return svc.trace(); }
    QStringList progressTexts() const { // the "progress" values that are texts
        QStringList out;
        for (const QVariantMap& p : progress)
            if (p.value(Protocol::KeyProgress).typeId() == QMetaType::QString)
                out << p.value(Protocol::KeyProgress).toString();
        return out;
    }
    static QStringList readLines(const QString& file) {
        return readTrace(file).split(u'\n', Qt::SkipEmptyParts);
    }
    void writeList(const QString& name, const QStringList& lines) {
        FileTools::writeAtomically(path(DaemonPath::BackupListsFolder) + '/' + name,
                                   lines.join(u'\n').toUtf8(), 0644);
    }
    // The initial backup of roots, as the collector queues it: its list, its marker and a list file.
    void queueInitialBackup(const QStringList& roots) {
        PropertyList::writeStringArray(path(DaemonPath::InitialBackupList), roots, PropertyList::PublicMode);
        FileTools::writeAtomically(path(DaemonPath::InitialSetReadyMarker), "1", 0644);
        writeList("2024-01-01 10-00-00-000_0", roots);
    }

  private:
    QString prepare(const QString& address) {
        if (!svc.startBus())
            return "no private bus";
        svc.logger.setSessionLogWritePath(path(DaemonPath::SessionLogsFolder));
        for (const QString& folder :
             {QFileInfo(path(DaemonPath::PrivateRsync)).absolutePath(),
              QFileInfo(path(DaemonPath::BackupPasswordFile)).absolutePath(),
              path(DaemonPath::BackupListsFolder), path(DaemonPath::UserSupportFolder)})
            FileTools::makePath(folder);
        writeUserDetails({{Protocol::Ip, address}});
        svc.appSide->addObserver(&receiver, Protocol::Progress,
                                 [this](const QString&, const QVariantMap& info) { progress << info; });
        svc.appSide->addObserver(&receiver, Protocol::IntialBackupFailedDueToNetworkConnection,
                                 [this](const QString&, const QVariantMap&) { ++initialBackupFailedPosts; });
        return {};
    }
};

// Whole runs of the backup controller (with its manager) over those surroundings.
class BackupRunTest : public RequiringTest {
  protected:
    // passes: the (shortened) 5-second pass runs by itself; otherwise the test calls ReadOperation.
    void init(bool passes, Timings t = BackupRunSupport::shortTimings()) {
        if (!passes)
            t.backupPassInterval = std::chrono::hours(1);
        DaemonServices s = run.svc.services(t);
        s.profile.snapshotToolPath = ZH_TMUTIL;
        // The deployment names the appliance; its address stands in for a host name ping resolves.
        if (run.appliance)
            writeDeploymentHostName(run.appliance->address());
        excludes = std::make_unique<ExcludeManager>(s, nullptr);
        excludes->setConsoleUserName(run.svc.user.name);
        controller = std::make_unique<ReadController>(s, excludes.get());
        controller->initReaderController({{"ConsoleUser", run.svc.user.name}});
    }
    void writeDeploymentHostName(const QString& name) {
        const QString file = DeploymentSettings::filePath(run.svc.root.profile());
        FileTools::makePath(QFileInfo(file).path());
        ASSERT_TRUE(FileTools::writeAtomically(file, "[appliance]\nhostName=" + name.toUtf8() + '\n', 0644));
    }
    RSyncBackupManager& manager() { return controller->backupManager(); }
    int count(const QString& progressText) const { return int(run.progressTexts().count(progressText)); }
    bool waitIdleAndDelivered(int ms = 60000) {
        const bool idle = waitUntil([&] { return !manager().mIsRunning(); }, ms);
        spinFor(300); // the last posts cross the bus
        return idle;
    }
    static QStringList sorted(QStringList list) {
        list.sort();
        return list;
    }

    BackupRunSupport run;
    std::unique_ptr<ExcludeManager> excludes;
    std::unique_ptr<ReadController> controller;
};
