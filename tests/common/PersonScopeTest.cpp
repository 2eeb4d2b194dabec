#include "PersonScope.h"

#include "ChildProcess.h"
#include "ExclusionRules.h"
#include "HostFacts.h"
#include "Requirements.h"
#include "TestRoots.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>

namespace {

// A machine that shows a folder under the names a test gives it (a bind mount, say).
class NamedFolders : public HostFacts {
  public:
    QMap<QString, QStringList> extra;
    QString computerName() const override { return {}; }
    QStringList diskVolumeNames() const override { return {}; }
    bool fileSystemInfo(const QString&, VolumeInfo&) const override { return false; }
    QStringList namesOf(const QString& path) const override {
        return HostFacts::namesOf(path) + extra.value(path);
    }
};

} // namespace

TEST(PersonScopeTest, AHomeBehindALinkIsKnownByTheKernelsNameAndFiledUnderTheWrittenOne) {
    QTemporaryDir dir;
    const QString t = dir.path();
    ASSERT_TRUE(QDir().mkpath(t + "/var/home/ann/Docs") && QDir().mkpath(t + "/var/home/ann2") &&
                QDir().mkpath(t + "/data/Team"));
    ASSERT_TRUE(QFile::link("var/home", t + "/home"));
    NamedFolders machine;
    // As the account database writes it, and an event stream watching the users folder by its name.
    const PersonScope scope(t + "/home/ann", {t + "/data/Team"}, machine, {t + "/home"});
    EXPECT_EQ(scope.home(), t + "/home/ann");
    EXPECT_EQ(scope.filed(t + "/var/home/ann/Docs/a.txt"), t + "/home/ann/Docs/a.txt");
    EXPECT_EQ(scope.filed(t + "/home/ann/Docs/a.txt"), t + "/home/ann/Docs/a.txt");
    EXPECT_EQ(scope.filed(t + "/var/home/ann"), t + "/home/ann");
    EXPECT_EQ(scope.filed(t + "/data/Team/plan.txt"), t + "/data/Team/plan.txt");
    // Names that merely begin like the home's are not in it; neither is anything else.
    EXPECT_EQ(scope.filed(t + "/var/home/ann2/x"), "");
    EXPECT_EQ(scope.filed(t + "/home/annex"), "");
    EXPECT_EQ(scope.filed(t + "/data/Teamwork/x"), "");
    EXPECT_TRUE(scope.isHome(t + "/var/home/ann"));
    EXPECT_FALSE(scope.isHome(t + "/var/home/ann/Docs"));
    EXPECT_TRUE(scope.holdsHome(t + "/var/home") && scope.holdsHome(t + "/var") &&
                scope.holdsHome(t + "/home"));
    EXPECT_FALSE(scope.holdsHome(t + "/var/home/ann") || scope.holdsHome(t + "/data"));
    // Bytes that are not UTF-8 keep their bytes.
    const QByteArray native = QFile::encodeName(t + "/var/home/ann/Docs/") + "caf\xe9.txt";
    EXPECT_EQ(scope.filedNative(native), QFile::encodeName(t + "/home/ann/Docs/") + "caf\xe9.txt");
    EXPECT_EQ(scope.filedNative(QFile::encodeName(t + "/elsewhere/x")), QByteArray());

    // A passwd entry that gives the resolved home, watched through the linked users folder.
    const PersonScope resolved(t + "/var/home/ann", {}, machine, {t + "/home"});
    EXPECT_EQ(resolved.filed(t + "/home/ann/Docs/a.txt"), t + "/var/home/ann/Docs/a.txt");
}

TEST(PersonScopeTest, AHomeShownThroughAnotherMountIsTheSameHome) {
    QTemporaryDir dir;
    const QString t = dir.path();
    ASSERT_TRUE(QDir().mkpath(t + "/home/ann") && QDir().mkpath(t + "/disk2/users/ann"));
    NamedFolders machine;
    machine.extra.insert(t + "/home/ann", {t + "/disk2/users/ann"});
    const PersonScope scope(t + "/home/ann", {}, machine);
    EXPECT_EQ(scope.filed(t + "/disk2/users/ann/Music/song.ogg"), t + "/home/ann/Music/song.ogg");
    EXPECT_TRUE(scope.holdsHome(t + "/disk2/users"));
    EXPECT_TRUE(scope.isHome(t + "/disk2/users/ann"));
}

TEST(PersonScopeTest, TheMachineNamesABindMountedHomeByItsOtherMount) {
    ZH_SKIP_IF(needs::root("a bind mount"));
    QTemporaryDir dir;
    const QString t = dir.path();
    ASSERT_TRUE(QDir().mkpath(t + "/home/ann") && QDir().mkpath(t + "/disk2/users/ann/Music"));
    ASSERT_EQ(ChildProcess::run({"mount", "--bind", t + "/disk2/users/ann", t + "/home/ann"}), 0);
    const auto unmount = qScopeGuard([&] { ChildProcess::run({"umount", t + "/home/ann"}); });
    const QStringList names = HostFacts::system().namesOf(t + "/home/ann");
    EXPECT_TRUE(names.contains(t + "/disk2/users/ann")) << names.join(u' ').toStdString();
    const PersonScope scope(t + "/home/ann", {}, HostFacts::system());
    EXPECT_EQ(scope.filed(t + "/disk2/users/ann/Music/a.ogg"), t + "/home/ann/Music/a.ogg");
}

TEST(PersonScopeTest, NoListEntryExcludesTheHomeFromAbove) {
    const QStringList home{"/home/ann", "/var/home/ann"};
    const QSet<QString> kept = ExclusionRules::withoutHoldersOf(
        {"/var", "/home/a", "/etc", "/home/ann", "/home/ann/.cache", "/var/home/ann/Music"}, home);
    EXPECT_EQ(kept, (QSet<QString>{"/etc", "/home/ann", "/home/ann/.cache", "/var/home/ann/Music"}));
}

TEST(PersonScopeTest, APasswdHomeEndingInASlashIsTheHomeWithoutIt) {
    ZH_SKIP_IF(needs::root("a local account whose passwd entry ends in \"/\""));
    QString error;
    const FixtureUser slash = FixtureUser::account("zhslashhome", "/home/zhslashhome/", &error);
    ASSERT_EQ(slash.name, "zhslashhome") << error.toStdString();
    EXPECT_EQ(slash.passwdHome, "/home/zhslashhome/");
    TempRoot root;
    EXPECT_EQ(root.profile().homeOf(slash.name), root.path() + "/home/zhslashhome");
    EXPECT_EQ(PlatformProfile::forLinux().homeOf(slash.name), "/home/zhslashhome");
}
