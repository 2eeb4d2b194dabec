#include "FreeNasUserController.h"

#include "BackupfileController.h"
#include "DaemonTestServices.h"
#include "ExcludeManager.h"
#include "FileTools.h"
#include "PropertyList.h"

#include <gtest/gtest.h>

#include <QDir>

namespace {

QSet<QString> toSet(const QStringList& list) {
    return QSet<QString>(list.cbegin(), list.cend());
}

class FreeNasUserControllerTest : public ::testing::Test {
  protected:
    DaemonTestServices env;

    // Builds a controller over profile with its own collector and exclusion rules.
    struct Running {
        std::unique_ptr<BackupfileController> collector;
        std::unique_ptr<ExcludeManager> excludes;
        std::unique_ptr<FreeNasUserController> controller;
    };
    Running start(const PlatformProfile& profile) {
        DaemonServices s = env.services();
        s.profile = profile;
        Running r;
        r.collector = std::make_unique<BackupfileController>(s);
        r.excludes = std::make_unique<ExcludeManager>(s, r.collector.get());
        FreeNasUserController::Parts parts;
        parts.collector = r.collector.get();
        parts.excludeManager = r.excludes.get();
        r.controller = std::make_unique<FreeNasUserController>(s, std::move(parts));
        r.controller->initWithDetails({{QStringLiteral("ConsoleUser"), env.user.name}});
        return r;
    }
};

} // namespace

TEST_F(FreeNasUserControllerTest, AnnouncesItselfFirstAndRestartsOnLogOut) {
    ASSERT_TRUE(env.startBus());
    QStringList received;
    QObject observer;
    env.appSide->addObserver(&observer, QStringLiteral("ZorvikHollinWatcherStarted"),
                             [&](const QString& name, const QVariantMap&) { received << name; });
    Running r = start(env.root.profile());
    ASSERT_TRUE(waitUntil([&] { return !received.isEmpty(); }));
    const QString trace = env.trace();
    EXPECT_LT(trace.indexOf(QStringLiteral("removeOldrsyncExes called")),
              trace.indexOf(QStringLiteral("Watcher started")));
    EXPECT_TRUE(trace.contains(
        QStringLiteral("FreeNasUserController:Deamon restarted not due to application install")));
    env.appSide->postNotification(QStringLiteral("LogOut"));
    ASSERT_TRUE(waitUntil([&] { return env.exits > 0; }));
    EXPECT_EQ(env.exitStatus, 1);
    EXPECT_TRUE(env.trace().contains(QStringLiteral("Restarting damon due to notification recevied logout")));
}

TEST_F(FreeNasUserControllerTest, MacShapedUsersFolderGivesHomesAndSharedButNoHiddenEntries) {
    TempRoot mac(PlatformProfile::Kind::MacOS);
    const QString r = mac.path();
    for (const char* p : {"/Users/home1/Documents", "/Users/home1/Library", "/Users/Shared/x",
                          "/Users/.localized", "/Data/a", "/Data/.secret", "/Data/Password.txt",
                          "/Volumes/Disk2/Users/bob/Music", "/Volumes/Disk2/Users/bob/Library"})
        QDir().mkpath(r + QLatin1String(p));
    mac.createHome(env.user);
    FilePathsController paths(FilePathsController::Table::Daemon, mac.profile());
    paths.setM_ConsoleUserName(env.user.name);
    QDir().mkpath(mac.profile().systemSupportFolder);
    // The machine root itself (as "/" would be), a volume and a plain folder.
    PropertyList::writeStringArray(paths.pathForApplicationFile(DaemonPath::InitialBackupList),
                                   {r, r + "/Data", r + "/Volumes/Disk2"}, PropertyList::PublicMode);
    FileTools::makePath(paths.pathForApplicationFile(DaemonPath::UserSupportFolder));
    PropertyList::writeStringArray(paths.pathForApplicationFile(DaemonPath::InitialExcludeList),
                                   {r + "/Data/a"}, PropertyList::PublicMode);
    QFile(paths.pathForApplicationFile(DaemonPath::InstalMarker)).open(QIODevice::WriteOnly);
    int posted = 0;
    QObject observer;
    env.local.addObserver(&observer, QStringLiteral("Initialbackup"),
                          [&](const QString&, const QVariantMap&) { ++posted; });

    Running running = start(mac.profile());
    EXPECT_FALSE(QFile::exists(paths.pathForApplicationFile(DaemonPath::InstalMarker)));
    const QSet<QString> set =
        toSet(PropertyList::readStringArray(paths.pathForApplicationFile(DaemonPath::InitialBackupList)));
    EXPECT_TRUE(set.contains(r + "/Users/home1"));
    EXPECT_TRUE(set.contains(r + "/Users/Shared"));
    EXPECT_FALSE(set.contains(r + "/Users/.localized"));
    EXPECT_FALSE(set.contains(r + "/Data/a"));            // excluded by the user
    EXPECT_FALSE(set.contains(r + "/Data/.secret"));      // hidden
    EXPECT_FALSE(set.contains(r + "/Data/Password.txt")); // never taken
    EXPECT_TRUE(set.contains(r + "/Volumes/Disk2/Users/bob/Music"));
    EXPECT_FALSE(set.contains(r + "/Volumes/Disk2/Users/bob/Library"));
    EXPECT_EQ(posted, 1);
    // The collector took the set with its marker.
    EXPECT_TRUE(QFile::exists(paths.pathForApplicationFile(DaemonPath::InitialSetReadyMarker)));
    EXPECT_EQ(running.collector->pendingCount(), set.size());
}

TEST_F(FreeNasUserControllerTest, WithoutTheMarkerTheInitialSetIsLeftAlone) {
    FilePathsController paths(FilePathsController::Table::Daemon, env.root.profile());
    paths.setM_ConsoleUserName(env.user.name);
    QDir().mkpath(env.root.profile().systemSupportFolder);
    PropertyList::writeStringArray(paths.pathForApplicationFile(DaemonPath::InitialBackupList),
                                   {env.root.path() + "/home"}, PropertyList::PublicMode);
    int posted = 0;
    QObject observer;
    env.local.addObserver(&observer, QStringLiteral("Initialbackup"),
                          [&](const QString&, const QVariantMap&) { ++posted; });
    Running r = start(env.root.profile());
    EXPECT_EQ(posted, 0);
    EXPECT_EQ(PropertyList::readStringArray(paths.pathForApplicationFile(DaemonPath::InitialBackupList)),
              QStringList{env.root.path() + "/home"});
}
