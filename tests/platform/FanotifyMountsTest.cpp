#include "linux/FanotifyEventStream.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QByteArray kMountInfo = "21 26 0:20 / /proc rw,relatime - proc proc rw\n"
                              "26 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
                              "27 26 254:1 / /mnt/with\\040blank rw,relatime shared:5 - xfs /dev/vdb1 rw\n"
                              "28 26 254:0 /srv/data /data rw,relatime - ext4 /dev/vda rw\n"
                              "29 26 7:0 / /snap/core ro,relatime - squashfs /dev/loop0 ro\n"
                              "30 26 0:40 / /tank rw - zfs tank rw\n"
                              "31 26 0:41 / /run rw - tmpfs tmpfs rw\n"
                              "broken line\n";

} // namespace

TEST(FanotifyMounts, ParsesFieldsAndEscapes) {
    const auto mounts = FanotifyEventStream::parseMountInfo(kMountInfo);
    ASSERT_EQ(mounts.size(), 7);
    EXPECT_EQ(mounts[1].mountPoint, QByteArray("/"));
    EXPECT_EQ(mounts[1].device, QByteArray("254:0"));
    EXPECT_EQ(mounts[2].mountPoint, QByteArray("/mnt/with blank"));
    EXPECT_EQ(mounts[2].type, QByteArray("xfs")); // optional fields before "-" are skipped
    EXPECT_EQ(mounts[3].root, QByteArray("/srv/data"));
    EXPECT_TRUE(mounts[4].readOnly);
}

TEST(FanotifyMounts, WatchesOnlyLocalWritableWholeFileSystems) {
    const auto mounts = FanotifyEventStream::parseMountInfo(kMountInfo);
    QList<QByteArray> watchable;
    for (const auto& m : mounts) {
        if (FanotifyEventStream::isWatchable(m))
            watchable << m.mountPoint;
    }
    // A bind mount of a subtree (/data) would name paths relative to its own root.
    EXPECT_EQ(watchable, (QList<QByteArray>{"/", "/mnt/with blank", "/tank"}));
}

TEST(FanotifyMounts, RefusesWhenNoFileSystemQualifies) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString info = dir.filePath(QStringLiteral("mountinfo"));
    QFile file(info);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("31 26 0:41 / / rw - tmpfs tmpfs rw\n");
    file.close();
    FanotifyEventStream stream(std::chrono::milliseconds(100), {}, info);
    EXPECT_FALSE(stream.start([](auto) {}, [](const auto&) {}));
    EXPECT_FALSE(stream.isRunning());
    EXPECT_FALSE(stream.lastError().isEmpty());
}

TEST(FanotifyMounts, RefusesAnUnreadableMountList) {
    FanotifyEventStream stream(std::chrono::milliseconds(100), {}, QStringLiteral("/nonexistent/mountinfo"));
    EXPECT_FALSE(stream.open());
    EXPECT_TRUE(stream.lastError().contains(QStringLiteral("/nonexistent/mountinfo")));
}
