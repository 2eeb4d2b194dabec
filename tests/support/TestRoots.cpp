#include "TestRoots.h"

#include "ChildProcess.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const kFixtureAccount = "zhfixture";

bool lookUp(const char* name, FixtureUser& user) {
    const passwd* pw = name ? getpwnam(name) : getpwuid(geteuid());
    if (!pw)
        return false;
    user = {QString::fromLocal8Bit(pw->pw_name), pw->pw_uid, pw->pw_gid, QString::fromLocal8Bit(pw->pw_dir)};
    return true;
}

} // namespace

FixtureUser FixtureUser::get(QString* error) {
    return account(QString::fromLatin1(kFixtureAccount), QStringLiteral("/home/") + kFixtureAccount, error);
}

FixtureUser FixtureUser::account(const QString& name, const QString& passwdHome, QString* error) {
    FixtureUser user;
    if (geteuid() != 0) {
        lookUp(nullptr, user); // without root: the account running the tests
        return user;
    }
    const QByteArray encoded = name.toLocal8Bit();
    if (lookUp(encoded.constData(), user))
        return user;
    // No home is made on the machine: tests create it below their own root.
    QByteArray err;
    ChildProcess::run({QStringLiteral("useradd"), QStringLiteral("--no-create-home"),
                       QStringLiteral("--home-dir"), passwdHome, QStringLiteral("--shell"),
                       QStringLiteral("/usr/sbin/nologin"), name},
                      nullptr, &err);
    // Another test process may have created it at the same moment; look again either way.
    if (!lookUp(encoded.constData(), user)) {
        if (error)
            *error = QStringLiteral("useradd failed: %1").arg(QString::fromUtf8(err));
        lookUp(nullptr, user);
    }
    return user;
}

bool TempRoot::linkUsersFolder() const {
    const QString users = mProfile.usersFolder;
    const QString target = mProfile.root + QStringLiteral("/var/home");
    if (QFileInfo(users).isSymLink() || !QDir().mkpath(mProfile.root + QStringLiteral("/var")))
        return false;
    // Homes made already move with the folder, as when a machine is converted.
    if (QFileInfo(users).isDir() ? !QDir().rename(users, target) : !QDir().mkpath(target))
        return false;
    return QFile::link(QStringLiteral("var/home"), users);
}

TempRoot::TempRoot(PlatformProfile::Kind kind) {
    // Other accounts (the fixture user) must be able to walk into the root.
    ::chmod(QFile::encodeName(mDir.path()).constData(), 0755);
    mProfile = kind == PlatformProfile::Kind::Linux ? PlatformProfile::forLinux(mDir.path())
                                                    : PlatformProfile::forMacOS(mDir.path());
}

QString TempRoot::createHome(const FixtureUser& user) const {
    const QString home = mProfile.root + user.passwdHome;
    QDir().mkpath(home);
    ::chmod(QFile::encodeName(home).constData(), 0750);
    if (geteuid() == 0) {
        [[maybe_unused]] const int ignored = ::chown(QFile::encodeName(home).constData(), user.uid, user.gid);
    }
    return home;
}

bool FixtureUser::handOver(const QString& folder) const {
    QStringList paths{folder};
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << it.next();
    bool all = true;
    for (const QString& path : paths)
        all = ::lchown(QFile::encodeName(path).constData(), uid, gid) == 0 && all;
    return all;
}

QString TempRoot::installBuild() const {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DESTDIR"), mDir.path());
    for (const char* component : {"daemon", "helpers"}) {
        QProcess install;
        install.setProcessEnvironment(environment);
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(QStringLiteral(ZH_CMAKE_COMMAND),
                      {QStringLiteral("--install"), QStringLiteral(ZH_BUILD_DIR),
                       QStringLiteral("--component"), QString::fromLatin1(component)});
        if (!install.waitForFinished(120000) || install.exitStatus() != QProcess::NormalExit ||
            install.exitCode() != 0)
            return QStringLiteral("cmake --install of %1 failed: %2")
                .arg(QString::fromLatin1(component), QString::fromUtf8(install.readAll()));
    }
    return QString();
}
