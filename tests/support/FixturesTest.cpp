#include "Appliance.h"
#include "ChildProcess.h"
#include "PrivateBus.h"
#include "TestRoots.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>
#include <unistd.h>

namespace {

#define SKIP_WITHOUT_APPLIANCE(options)                                                                      \
    do {                                                                                                     \
        const QString reason = Appliance::skipReason(options);                                               \
        if (!reason.isEmpty())                                                                               \
            GTEST_SKIP() << reason.toStdString();                                                            \
    } while (0)

} // namespace

TEST(ApplianceFixture, ListsAnAccountAndRefusesWrongPasswords) {
    SKIP_WITHOUT_APPLIANCE(Appliance::Options());
    Appliance appliance;
    appliance.addUser(QStringLiteral("alice"), QStringLiteral("s3cret pass"));
    appliance.addUser(QStringLiteral("bob"), QStringLiteral("other"));
    QString error;
    ASSERT_TRUE(appliance.start(&error)) << error.toStdString();
    EXPECT_TRUE(appliance.address().startsWith(QStringLiteral("127.0.0.")));
    ASSERT_TRUE(appliance.putFile(QStringLiteral("alice/Laptop/home/alice/My File.txt"), "hello"));

    QByteArray out, err;
    EXPECT_EQ(appliance.list(QStringLiteral("alice"), QStringLiteral("s3cret pass"),
                             QStringLiteral("alice/Laptop/home/alice/"), &out, &err),
              0)
        << err.toStdString();
    EXPECT_TRUE(out.contains("My File.txt")) << out.toStdString();

    EXPECT_NE(appliance.list(QStringLiteral("alice"), QStringLiteral("wrong"), QStringLiteral("alice/"), &out,
                             &err),
              0);
    EXPECT_TRUE(err.contains("auth failed")) << err.toStdString();
    // Accounts can be added while it runs.
    appliance.addUser(QStringLiteral("carol"), QStringLiteral("c"));
    EXPECT_EQ(
        appliance.list(QStringLiteral("carol"), QStringLiteral("c"), QStringLiteral("carol/"), &out, &err), 0)
        << err.toStdString();
}

TEST(ApplianceFixture, StopAndStartKeepTheAddressAndTheFiles) {
    SKIP_WITHOUT_APPLIANCE(Appliance::Options());
    Appliance appliance;
    appliance.addUser(QStringLiteral("alice"), QStringLiteral("pw"));
    ASSERT_TRUE(appliance.start());
    appliance.putFile(QStringLiteral("alice/a.txt"), "a");
    const QString address = appliance.address();
    appliance.stop();
    EXPECT_FALSE(Appliance::portOpen(address));
    QByteArray out, err;
    EXPECT_NE(
        appliance.list(QStringLiteral("alice"), QStringLiteral("pw"), QStringLiteral("alice/"), &out, &err),
        0);
    ASSERT_TRUE(appliance.start());
    EXPECT_EQ(appliance.address(), address);
    EXPECT_EQ(
        appliance.list(QStringLiteral("alice"), QStringLiteral("pw"), QStringLiteral("alice/"), &out, &err),
        0);
    EXPECT_TRUE(out.contains("a.txt"));
}

TEST(ApplianceFixture, SnapshotsAreListedUnderTheSnapshotFolder) {
    SKIP_WITHOUT_APPLIANCE(Appliance::Options());
    Appliance appliance;
    appliance.addUser(QStringLiteral("alice"), QStringLiteral("pw"));
    ASSERT_TRUE(appliance.start());
    appliance.putFile(QStringLiteral("alice/Mac/doc.txt"), "v1");
    ASSERT_TRUE(appliance.createSnapshot(QStringLiteral("auto-20261206.1000-2w")));
    appliance.putFile(QStringLiteral("alice/Mac/doc.txt"), "v2 longer");
    QByteArray out, err;
    ASSERT_EQ(appliance.list(QStringLiteral("alice"), QStringLiteral("pw"), QStringLiteral(".zfs/snapshot/"),
                             &out, &err),
              0)
        << err.toStdString();
    EXPECT_TRUE(out.contains("auto-20261206.1000-2w"));
    QFile old(appliance.modulePath() +
              QStringLiteral("/.zfs/snapshot/auto-20261206.1000-2w/alice/Mac/doc.txt"));
    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    EXPECT_EQ(old.readAll(), "v1");
}

TEST(ApplianceFixture, TmpfsVariantRunsFull) {
    Appliance::Options options;
    options.tmpfs = true;
    options.tmpfsBytes = 1024 * 1024;
    SKIP_WITHOUT_APPLIANCE(options);
    Appliance appliance(options);
    appliance.addUser(QStringLiteral("alice"), QStringLiteral("pw"));
    ASSERT_TRUE(appliance.start());
    QTemporaryDir src;
    QFile big(src.filePath(QStringLiteral("big.bin")));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    big.write(QByteArray(3 * 1024 * 1024, 'z'));
    big.close();
    const QString pw = src.filePath(QStringLiteral("pw"));
    QFile p(pw);
    p.open(QIODevice::WriteOnly);
    p.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    p.write("pw");
    p.close();
    QByteArray out, err;
    const int rc =
        ChildProcess::run({QStringLiteral("rsync"), QStringLiteral("--password-file=") + pw, big.fileName(),
                           QStringLiteral("alice@%1::backup/alice/").arg(appliance.address())},
                          &out, &err);
    EXPECT_NE(rc, 0);
    EXPECT_TRUE(err.contains("No space left on device")) << err.toStdString();
}

TEST(ApplianceFixture, TeardownLeavesNothingRunning) {
    SKIP_WITHOUT_APPLIANCE(Appliance::Options());
    pid_t pid = -1;
    QString address, module;
    {
        Appliance appliance;
        appliance.addUser(QStringLiteral("alice"), QStringLiteral("pw"));
        ASSERT_TRUE(appliance.start());
        pid = appliance.pid();
        address = appliance.address();
        module = appliance.modulePath();
        EXPECT_TRUE(ChildProcess::isAlive(pid));
    }
    EXPECT_FALSE(ChildProcess::isAlive(pid));
    EXPECT_FALSE(QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)));
    EXPECT_FALSE(Appliance::portOpen(address));
    EXPECT_FALSE(QFileInfo::exists(module));
}

TEST(ApplianceFixture, WithoutRootItSaysWhy) {
    if (geteuid() == 0)
        GTEST_SKIP() << "only meaningful without root";
    EXPECT_TRUE(Appliance::skipReason().contains(QStringLiteral("root")));
    Appliance appliance;
    QString error;
    EXPECT_FALSE(appliance.start(&error));
    EXPECT_FALSE(error.isEmpty());
}

TEST(BusFixture, StartsAPrivateSystemBusAndStopsIt) {
    pid_t pid = -1;
    {
        PrivateBus bus;
        QString error;
        ASSERT_TRUE(bus.start(&error)) << error.toStdString();
        pid = bus.pid();
        bus.exportAsSystemBus();
        EXPECT_EQ(qgetenv("DBUS_SYSTEM_BUS_ADDRESS"), bus.address().toUtf8());
        QByteArray out, err;
        // A real client reaches it through the exported address.
        const int rc = ChildProcess::run(
            {QStringLiteral("dbus-send"), QStringLiteral("--system"), QStringLiteral("--print-reply"),
             QStringLiteral("--dest=org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
             QStringLiteral("org.freedesktop.DBus.GetId")},
            &out, &err);
        EXPECT_EQ(rc, 0) << err.toStdString();
        EXPECT_TRUE(out.contains("string")) << out.toStdString();
    }
    EXPECT_FALSE(ChildProcess::isAlive(pid));
}

TEST(RootsFixture, ProfileRootAndFixtureUserHome) {
    TempRoot root;
    ASSERT_TRUE(root.isValid());
    const FixtureUser user = FixtureUser::get();
    ASSERT_FALSE(user.name.isEmpty());
    if (geteuid() == 0) {
        EXPECT_EQ(user.name, QStringLiteral("zhfixture"));
    }
    const QString home = root.createHome(user);
    EXPECT_EQ(home, root.profile().homeOf(user.name));
    EXPECT_TRUE(QFileInfo(home).isDir());
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(home).constData(), &st), 0);
    EXPECT_EQ(st.st_uid, user.uid);
    EXPECT_EQ(root.profile().userSupportFolder(user.name),
              home + QStringLiteral("/.local/share/ZorvikHollin"));
    const QString where = root.path();
    { TempRoot gone; }
    EXPECT_TRUE(QFileInfo(where).isDir());
}
