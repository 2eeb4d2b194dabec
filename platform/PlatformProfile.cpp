#include "PlatformProfile.h"

#include <QDir>

#include <pwd.h>
#include <unistd.h>

#include <vector>

#ifndef ZH_LIBEXEC_DIR
#define ZH_LIBEXEC_DIR "/usr/local/libexec/zorvik-hollin"
#endif

namespace {

PlatformProfile common(PlatformProfile::Kind kind, const QString& root, const QString& systemSupport) {
    PlatformProfile p;
    p.kind = kind;
    p.root = root;
    p.systemSupportFolder = root + systemSupport;
    p.backupPasswordFile = root + QStringLiteral("/etc/passwd.secrets");
    p.listingPasswordFile = root + QStringLiteral("/etc/initialListingPasswd.secrets");
    p.privateRsyncPath =
        p.systemSupportFolder + QStringLiteral("/ZorvikHollinHelper/bin/ZorvikHollin_ver_001");
    return p;
}

QStringList rootedAll(const QString& root, const QStringList& paths) {
    QStringList out;
    out.reserve(paths.size());
    for (const QString& path : paths)
        out << root + path;
    return out;
}

QString passwdHome(const QString& userName) {
    // getpwnam_r with a growing buffer: entries from NSS modules can be long.
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* found = nullptr;
    for (;;) {
        int rc = userName.isEmpty() ? getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found)
                                    : getpwnam_r(userName.toLocal8Bit().constData(), &entry, buffer.data(),
                                                 buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        break;
    }
    if (!found || !found->pw_dir)
        return QString();
    return QString::fromLocal8Bit(found->pw_dir);
}

} // namespace

PlatformProfile PlatformProfile::forLinux(const QString& root) {
    PlatformProfile p = common(Kind::Linux, root, QStringLiteral("/var/lib/ZorvikHollin"));
    p.userSupportSuffix = QStringLiteral("/.local/share/ZorvikHollin");
    p.usersFolder = root + QStringLiteral("/home");
    p.usersFolderMarker = QStringLiteral("home");
    p.perHomeExcludedFolder = QStringLiteral(".cache");
    p.perHomeExclusions = {
        QStringLiteral(".cache"),                          // caches (thumbnails among them)
        QStringLiteral(".thumbnails"),                     // thumbnails where older desktops keep them
        QStringLiteral(".local/share/Trash"),              // the trash
        QStringLiteral(".Xauthority"),                     // the X session's secret cookie
        QStringLiteral(".ICEauthority"),                   // the session manager's
        QStringLiteral(".xsession-errors"),                // the session's log (and ".old")
        QStringLiteral(".local/share/xorg"),               // the X server's logs
        QStringLiteral(".local/share/recently-used.xbel"), // the desktop's list of recent files
        QStringLiteral(".local/state"),                    // programs' histories and logs
        QStringLiteral(".gvfs"),                           // other machines' shares, mounted
        QStringLiteral(".Private"),                        // an encrypted home's ciphertext
        QStringLiteral(".local/share/ZorvikHollin"),       // our own state (the account record)
        QStringLiteral(".config/ZorvikHollin"),            // and settings
    };
    p.volumesFolder = QString();
    p.shareMountFolder = QStringLiteral(ZH_SHARE_MOUNT_DIR);
    p.initialSetRootPrefixes = {
        QStringLiteral("."),
        QStringLiteral("bin"),
        QStringLiteral("boot"),
        QStringLiteral("cdrom"),
        QStringLiteral("dev"),
        QStringLiteral("efi"),
        QStringLiteral("etc"),
        QStringLiteral("lib"),
        QStringLiteral("lib32"),
        QStringLiteral("lib64"),
        QStringLiteral("libx32"),
        QStringLiteral("lost+found"),
        QStringLiteral("media"),
        QStringLiteral("mnt"),
        QStringLiteral("opt"),
        QStringLiteral("proc"),
        QStringLiteral("root"),
        QStringLiteral("run"),
        QStringLiteral("sbin"),
        QStringLiteral("snap"),
        QStringLiteral("srv"),
        QStringLiteral("sys"),
        QStringLiteral("tmp"),
        QStringLiteral("usr"),
        QStringLiteral("var"),
        QStringLiteral("file.txt"),
        QStringLiteral("Password.txt"),
        QStringLiteral("installer.failurerequests"),
    };
    p.defaultExclusions = rootedAll(root, {
                                              QStringLiteral("/bin"),
                                              QStringLiteral("/boot"),
                                              QStringLiteral("/dev"),
                                              QStringLiteral("/etc"),
                                              QStringLiteral("/lib"),
                                              QStringLiteral("/lib32"),
                                              QStringLiteral("/lib64"),
                                              QStringLiteral("/proc"),
                                              QStringLiteral("/root"),
                                              QStringLiteral("/run"),
                                              QStringLiteral("/sbin"),
                                              QStringLiteral("/snap"),
                                              QStringLiteral("/sys"),
                                              QStringLiteral("/tmp"),
                                              QStringLiteral("/usr"),
                                              QStringLiteral("/var"),
                                          });
    for (const QString& path : p.defaultExclusions)
        p.volumeSystemFolders << path.mid(root.size());
    p.snapshotToolPath = QStringLiteral(ZH_LIBEXEC_DIR "/tmutil");
    return p;
}

PlatformProfile PlatformProfile::forMacOS(const QString& root) {
    PlatformProfile p =
        common(Kind::MacOS, root, QStringLiteral("/Library/Application Support/ZorvikHollin"));
    p.userSupportSuffix = QStringLiteral("/Library/Application Support/ZorvikHollin");
    p.usersFolder = root + QStringLiteral("/Users");
    p.usersFolderMarker = QStringLiteral("Users");
    p.perHomeExcludedFolder = QStringLiteral("Library");
    p.perHomeExclusions = {QStringLiteral("Library"), QStringLiteral(".Trash")};
    p.volumesFolder = root + QStringLiteral("/Volumes");
    p.shareMountFolder = QStringLiteral("/Volumes");
    p.initialSetRootPrefixes = {
        QStringLiteral("."),
        QStringLiteral("Applications"),
        QStringLiteral("bin"),
        QStringLiteral("cores"),
        QStringLiteral("dev"),
        QStringLiteral("etc"),
        QStringLiteral("home"),
        QStringLiteral("Library"),
        QStringLiteral("installer.failurerequests"),
        QStringLiteral("net"),
        QStringLiteral("Network"),
        QStringLiteral("private"),
        QStringLiteral("sbin"),
        QStringLiteral("System"),
        QStringLiteral("tmp"),
        QStringLiteral("usr"),
        QStringLiteral("var"),
        QStringLiteral("Volumes"),
        QStringLiteral("file.txt"),
        QStringLiteral("Password.txt"),
    };
    p.defaultExclusions = rootedAll(root, {
                                              QStringLiteral("/Library"),
                                              QStringLiteral("/Applications"),
                                              QStringLiteral("/System"),
                                              QStringLiteral("/var"),
                                              QStringLiteral("/dev"),
                                              QStringLiteral("/etc"),
                                              QStringLiteral("/home"),
                                              QStringLiteral("/net"),
                                              QStringLiteral("/private"),
                                              QStringLiteral("/tmp"),
                                              QStringLiteral("/sbin"),
                                              QStringLiteral("/usr"),
                                          });
    p.volumeSystemFolders = {
        QStringLiteral("/Applications"), QStringLiteral("/Library"), QStringLiteral("/System"),
        QStringLiteral("/Volumes"),      QStringLiteral("/usr"),     QStringLiteral("/var"),
        QStringLiteral("/tmp"),          QStringLiteral("/sbin"),    QStringLiteral("/private"),
        QStringLiteral("/Network"),      QStringLiteral("/net"),     QStringLiteral("/home"),
        QStringLiteral("/etc"),          QStringLiteral("/dev"),     QStringLiteral("/cores"),
        QStringLiteral("/bin"),
    };
    p.snapshotToolPath = QStringLiteral("/usr/bin/tmutil");
    return p;
}

QString PlatformProfile::homeOf(const QString& userName) const {
    const QString home = passwdHome(userName);
    if (home.isEmpty())
        return QString();
    // A passwd entry may end in "/" or hold "//": paths below the home are compared as text.
    const QString clean = QDir::cleanPath(home);
    if (clean == QLatin1String("/"))
        return root.isEmpty() ? clean : root;
    return root + clean;
}

QString PlatformProfile::userSupportFolder(const QString& userName) const {
    const QString home = homeOf(userName);
    return home.isEmpty() ? QString() : home + userSupportSuffix;
}
