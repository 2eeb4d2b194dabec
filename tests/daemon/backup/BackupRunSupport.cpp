#include "BackupRunSupport.h"

#include "FileTools.h"
#include "PropertyList.h"
#include "UtilityClass.h"

#include <Protocol.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

QString BackupRunSupport::setUp(Appliance::Options options) {
    const QString reason = Appliance::skipReason(options);
    if (!reason.isEmpty())
        return reason;
    if (!svc.startBus())
        return QStringLiteral("no private bus");
    paths.setM_ConsoleUserName(svc.user.name);
    svc.logger.setSessionLogWritePath(path(DaemonPath::SessionLogsFolder));
    appliance = std::make_unique<Appliance>(options);
    appliance->addUser(QString::fromLatin1(ApplianceUser), QString::fromLatin1(Password));
    QString error;
    if (!appliance->start(&error))
        return QStringLiteral("appliance did not start: ") + error;
    const QString privateRsync = path(DaemonPath::PrivateRsync);
    FileTools::makePath(QFileInfo(privateRsync).absolutePath());
    QFile::link(QStringLiteral(ZH_PRIVATE_RSYNC), privateRsync);
    FileTools::makePath(QFileInfo(path(DaemonPath::BackupPasswordFile)).absolutePath());
    FileTools::makePath(path(DaemonPath::BackupListsFolder));
    FileTools::makePath(path(DaemonPath::UserSupportFolder));
    writeUserDetails();
    svc.appSide->addObserver(&receiver, Protocol::Progress,
                             [this](const QString&, const QVariantMap& info) { progress << info; });
    svc.appSide->addObserver(&receiver, Protocol::IntialBackupFailedDueToNetworkConnection,
                             [this](const QString&, const QVariantMap&) { ++initialBackupFailedPosts; });
    return QString();
}

QString BackupRunSupport::setUpFakeRsync() {
    if (!svc.startBus())
        return QStringLiteral("no private bus");
    paths.setM_ConsoleUserName(svc.user.name);
    svc.logger.setSessionLogWritePath(path(DaemonPath::SessionLogsFolder));
    control = svc.root.path() + QStringLiteral("/fake-rsync");
    QDir().mkpath(control);
    QFile::setPermissions(control, QFileDevice::Permissions(0x7777)); // rsync runs as the user
    const QStringList lines = {
        "#!/bin/bash",
        "dir='" + control + "'",
        "n=$(( $(cat \"$dir/count.0\" 2>/dev/null || echo 0) + 1 )); echo $n >\"$dir/count.0\"",
        "for a in \"$@\"; do case \"$a\" in --files-from=*) list=\"${a#--files-from=}\";;",
        "  --password-file=*) pw=\"${a#--password-file=}\";; esac; done",
        "cat \"$list\" >\"$dir/list.$n\"",
        "echo \"$(id -u) $(stat -c '%u %a' \"$pw\")\" >\"$dir/who.$n\"",
        "step=\"$dir/step.$n\"; [ -f \"$step\" ] || step=\"$dir/step\"",
        "source \"$step\"",
    };
    const QString script = lines.join(u'\n') + u'\n';
    const QString privateRsync = path(DaemonPath::PrivateRsync);
    FileTools::makePath(QFileInfo(privateRsync).absolutePath());
    FileTools::writeAtomically(privateRsync, script.toUtf8(), 0755);
    step(QStringLiteral("echo 'total size is 16  speedup is 1.00'; exit 0"));
    FileTools::makePath(QFileInfo(path(DaemonPath::BackupPasswordFile)).absolutePath());
    FileTools::makePath(path(DaemonPath::BackupListsFolder));
    FileTools::makePath(path(DaemonPath::UserSupportFolder));
    writeUserDetails({{Protocol::Ip, QStringLiteral("127.0.0.1")}});
    svc.appSide->addObserver(&receiver, Protocol::Progress,
                             [this](const QString&, const QVariantMap& info) { progress << info; });
    return QString();
}

void BackupRunSupport::step(const QString& bash, int call) {
    const QString name = call > 0 ? QStringLiteral("%1/step.%2").arg(control).arg(call) : control + "/step";
    FileTools::writeAtomically(name, bash.toUtf8(), 0644);
}

QStringList BackupRunSupport::fakeFile(const QString& name, int call) const {
    return readLines(QStringLiteral("%1/%2.%3").arg(control, name).arg(call));
}

Timings BackupRunSupport::shortTimings() {
    Timings t;
    t.processExitGrace = Timings::ms(150);
    t.firstRetryDelay = Timings::ms(100);
    t.laterRetryDelay = Timings::ms(200);
    t.backupPassInterval = Timings::ms(100);
    t.nextSetPause = Timings::ms(20);
    t.indexUpdateInterval = Timings::ms(200);
    t.indexDeltaCreationPause = Timings::ms(0);
    t.indexBackupRecordsPause = Timings::ms(0);
    t.indexListingRecordsPause = Timings::ms(0);
    t.indexMergeRowsPause = Timings::ms(0);
    t.indexFolderEntriesPause = Timings::ms(0);
    t.listingFirstLevelGrace = Timings::ms(50);
    t.listingFolderGrace = Timings::ms(50);
    t.listingFolderPause = Timings::ms(50);
    t.listingLinesPause = Timings::ms(0);
    return t;
}

void BackupRunSupport::writeUserDetails(const QVariantMap& extra) {
    QVariantMap details{{Protocol::UserName, QString::fromLatin1(ApplianceUser)},
                        {Protocol::Password, QString::fromLatin1(Password)},
                        {Protocol::Ip, appliance ? appliance->address() : QString()},
                        {Protocol::PauseStateKey, QStringLiteral("0")},
                        {Protocol::LocalBackup, QStringLiteral("1")}};
    details.insert(extra);
    PropertyList::writeDictionary(path(DaemonPath::UserDetails), details, PropertyList::OwnerOnlyMode);
}

QVariantMap BackupRunSupport::userDetails() const {
    return PropertyList::readDictionary(path(DaemonPath::UserDetails));
}

void BackupRunSupport::setDefaultRsync(bool system) {
    PropertyList::writeDictionary(
        path(DaemonPath::RsyncVersion),
        {{Protocol::DefaultRsync, system ? QStringLiteral("1") : QStringLiteral("0")}},
        PropertyList::PublicMode);
}

QString BackupRunSupport::home() const {
    return svc.root.profile().homeOf(svc.user.name);
}

QStringList BackupRunSupport::makeFiles(const QString& folder, int count, int size) {
    const QString dir = home() + QLatin1Char('/') + folder;
    QDir().mkpath(dir);
    QStringList out;
    for (int i = 0; i < count; ++i) {
        const QString file = QStringLiteral("%1/file %2.txt").arg(dir).arg(i);
        QFile f(file);
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray(size, char('a' + i % 26)));
        out << file;
    }
    return out;
}

QString BackupRunSupport::onAppliance(const QString& localPath) const {
    return QStringLiteral("%1/%2/%3%4")
        .arg(appliance->modulePath(), QString::fromLatin1(ApplianceUser), UtilityClass::machineName(),
             localPath);
}

QStringList BackupRunSupport::progressTexts() const {
    QStringList out;
    for (const QVariantMap& p : progress) {
        const QVariant v = p.value(Protocol::KeyProgress);
        if (v.typeId() == QMetaType::QString)
            out << v.toString();
    }
    return out;
}

int BackupRunSupport::dataPosts() const {
    int n = 0;
    for (const QVariantMap& p : progress)
        if (p.value(Protocol::KeyBackupRunning).toString() == QLatin1String("1"))
            ++n;
    return n;
}

QStringList BackupRunSupport::readLines(const QString& file) const {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

void BackupRunSupport::writeList(const QString& name, const QStringList& lines) {
    FileTools::writeAtomically(path(DaemonPath::BackupListsFolder) + QLatin1Char('/') + name,
                               lines.join(u'\n').toUtf8(), 0644);
}
