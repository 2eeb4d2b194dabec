#include "UtilityClass.h"

#include "HostFacts.h"
#include "linux/LinuxHostFacts.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

namespace {

void write(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
}

} // namespace

TEST(UtilityClassTest, SubstringTest) {
    EXPECT_TRUE(UtilityClass::isString(QStringLiteral("/home/alice/x"), QStringLiteral("home")));
    EXPECT_FALSE(UtilityClass::isString(QStringLiteral("/home/alice/x"), QStringLiteral("Home")));
    EXPECT_FALSE(UtilityClass::isString(QStringLiteral("abc"), QStringLiteral("")));
    EXPECT_FALSE(UtilityClass::isString(QStringLiteral("abc"), QString()));
    EXPECT_FALSE(UtilityClass::isString(QString(), QStringLiteral("a")));
    EXPECT_TRUE(UtilityClass::isString(QStringLiteral("a.b"), QStringLiteral("."))); // literal, not a pattern
}

TEST(UtilityClassTest, MachineNameKeepsLettersMarksAndDigits) {
    EXPECT_EQ(UtilityClass::machineNameFrom(QStringLiteral("Office Mac-mini (2)")),
              QStringLiteral("OfficeMacmini2"));
    EXPECT_EQ(UtilityClass::machineNameFrom(QStringLiteral("Anna's MacBook Pro")),
              QStringLiteral("AnnasMacBookPro"));
    EXPECT_EQ(UtilityClass::machineNameFrom(QStringLiteral(" -'.,;:!?()[]_/\\ ")), QStringLiteral(""));
    EXPECT_EQ(UtilityClass::machineNameFrom(QStringLiteral("Büro-Rechner")), QStringLiteral("BüroRechner"));
    // A combining mark stays with its letter; letters outside the Basic Multilingual Plane stay whole.
    EXPECT_EQ(UtilityClass::machineNameFrom(QStringLiteral("Cafe\u0301 #1")), QStringLiteral("Cafe\u0301"
                                                                                             "1"));
    EXPECT_EQ(UtilityClass::machineNameFrom(QStringLiteral("東京 PC")), QStringLiteral("東京PC"));
    EXPECT_EQ(UtilityClass::machineNameFrom(QString::fromUcs4(U"\U0001D49C-box")),
              QString::fromUcs4(U"\U0001D49Cbox"));
    EXPECT_EQ(UtilityClass::machineNameFrom(QStringLiteral("٣ servers")), QStringLiteral("٣servers"));
    EXPECT_EQ(UtilityClass::machineNameFrom(QStringLiteral("emoji 😀 box")), QStringLiteral("emojibox"));
}

TEST(UtilityClassTest, MachineNamePrefersThePrettyHostName) {
    QTemporaryDir dir;
    const QString info = dir.filePath(QStringLiteral("machine-info"));
    write(info, "CHASSIS=laptop\nPRETTY_HOSTNAME=\"Anna's \\\"Work\\\" Laptop\"\n");
    EXPECT_EQ(UtilityClass::machineName(LinuxHostFacts(info)), QStringLiteral("AnnasWorkLaptop"));
    write(info, "PRETTY_HOSTNAME='Kitchen PC 2'\n");
    EXPECT_EQ(UtilityClass::machineName(LinuxHostFacts(info)), QStringLiteral("KitchenPC2"));
    // Without a pretty name the host name is used.
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(UtilityClass::machineName(LinuxHostFacts(dir.filePath(QStringLiteral("missing")))),
              UtilityClass::machineNameFrom(QString::fromUtf8(host)));
    write(info, "PRETTY_HOSTNAME=\n");
    EXPECT_EQ(LinuxHostFacts(info).computerName(), QString::fromUtf8(host));
}

TEST(UtilityClassTest, DiskListingNamesFixedLocalVolumes) {
    QTemporaryDir dir;
    const QString mountinfo = dir.filePath(QStringLiteral("mountinfo"));
    write(mountinfo, "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
                     "23 22 8:1 / /boot/efi rw - vfat /dev/sda1 rw\n"
                     "24 22 8:3 / /srv/My\\040Data rw - ext4 /dev/sda3 rw\n"
                     "25 22 8:17 / /media/stick rw - vfat /dev/sdb1 rw\n"
                     "26 22 0:5 / /proc rw - proc proc rw\n"
                     "27 22 0:30 / /mnt/nas rw - nfs4 nas:/export rw\n"
                     "28 22 259:1 / /data ro - xfs /dev/nvme0n1p1 ro\n"
                     "garbage line\n");
    const QString sys = dir.filePath(QStringLiteral("sys/block"));
    write(sys + QStringLiteral("/sda/removable"), "0\n");
    write(sys + QStringLiteral("/sdb/removable"), "1\n");
    write(sys + QStringLiteral("/nvme0n1/removable"), "0\n");
    LinuxHostFacts facts(QString(), mountinfo, sys);
    // sdb1 is a partition of a removable disk; the fake sysfs has no class links, so partitions are
    // looked up as disks of their own name and count as fixed unless marked.
    write(sys + QStringLiteral("/sdb1/removable"), "1\n");
    EXPECT_EQ(UtilityClass::diskUtlilList(facts),
              (QStringList{QStringLiteral("/srv/My Data "), QStringLiteral("/data ")}));
}

TEST(UtilityClassTest, DiskListingOfAMissingTableIsEmpty) {
    LinuxHostFacts facts(QString(), QStringLiteral("/nonexistent/mountinfo"), QStringLiteral("/nonexistent"));
    EXPECT_TRUE(UtilityClass::diskUtlilList(facts).isEmpty());
}

TEST(UtilityClassTest, FileSystemInfoOfTheRoot) {
    HostFacts::VolumeInfo info;
    ASSERT_TRUE(HostFacts::system().fileSystemInfo(QStringLiteral("/"), info));
    EXPECT_FALSE(info.unmountable);
    EXPECT_FALSE(info.type.isEmpty());
    EXPECT_FALSE(HostFacts::system().fileSystemInfo(QStringLiteral("/no/such/place"), info));
}

TEST(UtilityClassTest, PasswordTransformsAreTheIdentity) {
    const QString password = QStringLiteral("p a\"s's $(w) \u00e9");
    EXPECT_EQ(UtilityClass::encryptPath(password), password);
    EXPECT_EQ(UtilityClass::decryptPath(UtilityClass::encryptPath(password)), password);
}
