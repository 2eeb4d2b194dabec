#include "EventCoalescer.h"

#include <QFile>

#include <gtest/gtest.h>

using Stream = FileSystemEventStream;

TEST(EventCoalescer, MergesFlagsOfOnePathInFirstSeenOrder) {
    EventCoalescer c(100);
    c.add("/a", Stream::ItemCreated);
    c.add("/b", Stream::ItemCreated);
    c.add("/a", Stream::ItemRemoved);
    const auto batch = c.take();
    ASSERT_EQ(batch.size(), 2);
    EXPECT_EQ(batch[0].path, QStringLiteral("/a"));
    EXPECT_EQ(batch[0].flags, quint32(Stream::ItemCreated | Stream::ItemRemoved));
    EXPECT_EQ(batch[1].path, QStringLiteral("/b"));
    EXPECT_EQ(batch[1].flags, quint32(Stream::ItemCreated));
}

TEST(EventCoalescer, RenameKeepsOldPathBeforeNewPath) {
    EventCoalescer c(100);
    c.add("/d/old", Stream::ItemRenamed);
    c.add("/d/new", Stream::ItemRenamed);
    const auto batch = c.take();
    ASSERT_EQ(batch.size(), 2);
    EXPECT_EQ(batch[0].nativePath, QByteArray("/d/old"));
    EXPECT_EQ(batch[1].nativePath, QByteArray("/d/new"));
}

TEST(EventCoalescer, TakeEmptiesAndStartsAFreshWindow) {
    EventCoalescer c(100);
    c.add("/a", Stream::ItemCreated);
    EXPECT_EQ(c.take().size(), 1);
    EXPECT_TRUE(c.isEmpty());
    EXPECT_TRUE(c.take().isEmpty());
    c.add("/a", Stream::ItemRemoved);
    const auto batch = c.take();
    ASSERT_EQ(batch.size(), 1);
    EXPECT_EQ(batch[0].flags, quint32(Stream::ItemRemoved));
}

TEST(EventCoalescer, SaysWhenThePendingLimitIsReached) {
    EventCoalescer c(3);
    EXPECT_FALSE(c.add("/a", Stream::ItemCreated));
    EXPECT_FALSE(c.add("/b", Stream::ItemCreated));
    EXPECT_FALSE(c.add("/a", Stream::ItemModified)); // merged, not a new path
    EXPECT_TRUE(c.add("/c", Stream::ItemCreated));
    EXPECT_TRUE(c.isFull());
    EXPECT_EQ(c.take().size(), 3);
    EXPECT_FALSE(c.isFull());
}

TEST(EventCoalescer, ALimitBelowOneStillHoldsOnePath) {
    EventCoalescer c(0);
    EXPECT_EQ(c.maxPaths(), 1);
    EXPECT_TRUE(c.add("/a", Stream::ItemCreated));
}

TEST(EventCoalescer, KeepsTheExactBytesOfNamesThatAreNotUtf8) {
    EventCoalescer c(10);
    const QByteArray raw("/t/bad\xff\xfe name\nline");
    c.add(raw, Stream::ItemCreated);
    const auto batch = c.take();
    ASSERT_EQ(batch.size(), 1);
    EXPECT_EQ(batch[0].nativePath, raw);
    EXPECT_EQ(batch[0].path, QFile::decodeName(raw));
}
