#include "UtilityClass.h"

#include "linux/LinuxHostFacts.h"

#include "QtPrinters.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <unistd.h>

namespace {

void write(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
}

} // namespace

TEST(UtilityClassTest, MachineNameKeepsLettersMarksAndDigitsOfThePrettyHostName) {
    const QList<std::pair<QString, QString>> names{
        {"Office Mac-mini (2)", "OfficeMacmini2"},
        {"Anna's MacBook Pro", "AnnasMacBookPro"},
        {" -'.,;:!?()[]_/\\ ", ""},
        {"Büro-Rechner", "BüroRechner"},
        {"Cafe\u0301 #1", "Cafe\u0301"
                          "1"},
        {"東京 PC", "東京PC"},
        {"٣ servers", "٣servers"},
        {"emoji 😀 box", "emojibox"},
        {QString::fromUcs4(U"\U0001D49C-box"), QString::fromUcs4(U"\U0001D49Cbox")}};
    for (const auto& [name, kept] : names)
        EXPECT_EQ(UtilityClass::machineNameFrom(name), kept);

    QTemporaryDir dir;
    const QString info = dir.filePath("machine-info");
    write(info, "CHASSIS=laptop\nPRETTY_HOSTNAME=\"Anna's \\\"Work\\\" Laptop\"\n");
    EXPECT_EQ(UtilityClass::machineName(LinuxHostFacts(info)), "AnnasWorkLaptop");
    write(info, "PRETTY_HOSTNAME='Kitchen PC 2'\n");
    EXPECT_EQ(UtilityClass::machineName(LinuxHostFacts(info)), "KitchenPC2");
    // Without a pretty name the host name is used.
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(UtilityClass::machineName(LinuxHostFacts(dir.filePath("missing"))),
              UtilityClass::machineNameFrom(QString::fromUtf8(host)));
    write(info, "PRETTY_HOSTNAME=\n");
    EXPECT_EQ(LinuxHostFacts(info).computerName(), QString::fromUtf8(host));

    EXPECT_TRUE(UtilityClass::isString("a.b", ".") &&
                !UtilityClass::isString("a.b", "A")); // literal, case kept
    EXPECT_FALSE(UtilityClass::isString("abc", "") || UtilityClass::isString(QString(), "a"));
    const QString password = "p a\"s's $(w) \u00e9";
    EXPECT_TRUE(UtilityClass::encryptPath(password) == password &&
                UtilityClass::decryptPath(password) == password);
}

TEST(UtilityClassTest, DiskListingNamesFixedLocalVolumes) {
    QTemporaryDir dir;
    const QString mountinfo = dir.filePath("mountinfo");
    write(mountinfo, "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
                     "23 22 8:1 / /boot/efi rw - vfat /dev/sda1 rw\n"
                     "24 22 8:3 / /srv/My\\040Data rw - ext4 /dev/sda3 rw\n"
                     "25 22 8:17 / /media/stick rw - vfat /dev/sdb1 rw\n"
                     "26 22 0:5 / /proc rw - proc proc rw\n"
                     "27 22 0:30 / /mnt/nas rw - nfs4 nas:/export rw\n"
                     "28 22 259:1 / /data ro - xfs /dev/nvme0n1p1 ro\n"
                     // A sandbox's binds of parts of the root and /srv file systems: no volumes.
                     "29 22 8:2 /usr /usr ro - ext4 /dev/sda2 rw\n"
                     "30 22 8:2 /var/lib/x /var/lib/x rw - ext4 /dev/sda2 rw\n"
                     "31 22 8:3 / /srv/again rw - ext4 /dev/sda3 rw\n"
                     // Subvolumes of one btrfs file system mounted side by side are volumes.
                     "32 22 8:4 /@data /store rw - btrfs /dev/sda4 rw\n"
                     "33 22 8:4 /@media /library rw - btrfs /dev/sda4 rw\n"
                     "garbage line\n");
    // The fake sysfs has no class links: partitions are looked up as disks of their own name.
    const QString sys = dir.filePath("sys/block");
    for (const auto& [disk, removable] :
         {std::pair{"sda", "0\n"}, {"sdb", "1\n"}, {"sdb1", "1\n"}, {"nvme0n1", "0\n"}, {"sda4", "0\n"}})
        write(sys + u'/' + QLatin1String(disk) + "/removable", removable);
    EXPECT_EQ(UtilityClass::diskUtlilList(LinuxHostFacts(QString(), mountinfo, sys)),
              (QStringList{"/srv/My Data ", "/data ", "/store ", "/library "}));
    EXPECT_TRUE(
        UtilityClass::diskUtlilList(LinuxHostFacts(QString(), "/nonexistent/mountinfo", "/nonexistent"))
            .isEmpty());
}
