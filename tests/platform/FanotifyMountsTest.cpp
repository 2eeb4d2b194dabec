#include "linux/FanotifyEventStream.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

TEST(FanotifyMounts, MarksOnlyLocalWritableWholeFileSystemsAndRefusesWhenNoneQualifies) {
    const auto mounts = FanotifyEventStream::parseMountInfo(
        "21 26 0:20 / /proc rw,relatime - proc proc rw\n"
        "26 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
        "27 26 254:1 / /mnt/with\\040blank rw,relatime shared:5 - xfs /dev/vdb1 rw\n"
        "28 26 254:0 /srv/data /data rw,relatime - ext4 /dev/vda rw\n"
        "29 26 7:0 / /snap/core ro,relatime - squashfs /dev/loop0 ro\n"
        "30 26 0:40 / /tank rw - zfs tank rw\n"
        "31 26 0:41 / /run rw - tmpfs tmpfs rw\n"
        "broken line\n");
    ASSERT_EQ(mounts.size(), 7);
    QList<QByteArray> watchable;
    for (const auto& m : mounts)
        if (FanotifyEventStream::isWatchable(m))
            watchable << m.mountPoint;
    // Optional fields before "-" are skipped; a bind mount of a subtree (/data) would name paths
    // relative to its own root.
    EXPECT_EQ(watchable, (QList<QByteArray>{"/", "/mnt/with blank", "/tank"}));

    QTemporaryDir dir;
    const QString info = dir.filePath(QStringLiteral("mountinfo"));
    QFile file(info);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("31 26 0:41 / / rw - tmpfs tmpfs rw\n");
    file.close();
    FanotifyEventStream onlyTmpfs(std::chrono::milliseconds(100), {}, info);
    EXPECT_FALSE(onlyTmpfs.start([](auto) {}, [](const auto&) {}));
    EXPECT_FALSE(onlyTmpfs.isRunning());
    EXPECT_FALSE(onlyTmpfs.lastError().isEmpty());
    FanotifyEventStream unreadable(std::chrono::milliseconds(100), {},
                                   QStringLiteral("/nonexistent/mountinfo"));
    EXPECT_FALSE(unreadable.open());
    EXPECT_TRUE(unreadable.lastError().contains(QStringLiteral("/nonexistent/mountinfo")));
}
