#include "RsyncOutputParser.h"

#include <Protocol.h>

#include <gtest/gtest.h>

namespace {
QString totalFiles(const RsyncOutputParser::Event& e) {
    return e.progress.value(Protocol::KeyTotalFiles).toString();
}
QString totalSize(const RsyncOutputParser::Event& e) {
    return e.progress.value(Protocol::KeyTotalSize).toString();
}
QString sent(int size, const QString& path, const char* tag = "[Full Backup]", const char* pct = "100%") {
    return QStringLiteral("Sent file %1 bytes %2 %3%4\n")
        .arg(size)
        .arg(QLatin1String(pct), QLatin1String(tag), path);
}
} // namespace

TEST(ByteFigures, UnitsOf1024WithTwoDecimals) {
    EXPECT_EQ(RsyncOutputParser::formatBytes(1536), "1.50 KB");
    EXPECT_EQ(RsyncOutputParser::formatBytes(1024), "1024.00 bytes");
    EXPECT_EQ(RsyncOutputParser::formatBytes(1025), "1.00 KB");
    EXPECT_EQ(RsyncOutputParser::formatBytes(3.0 * 1024 * 1024), "3.00 MB");
    EXPECT_EQ(RsyncOutputParser::formatBytes(0), "0.00 bytes");
    EXPECT_EQ(RsyncOutputParser::formatBytes(5.0 * 1024 * 1024 * 1024 * 1024 * 2048), "10240.00 TB");
}

TEST(ByteFigures, LeadingNumbersOfTokens) {
    EXPECT_EQ(RsyncOutputParser::leadingInt("42abc"), 42);
    EXPECT_EQ(RsyncOutputParser::leadingInt("abc"), 0);
    EXPECT_EQ(RsyncOutputParser::leadingInt(" 7 "), 7);
    EXPECT_DOUBLE_EQ(RsyncOutputParser::leadingDouble("12.5kB"), 12.5);
    EXPECT_EQ(RsyncOutputParser::tokens(" a\t b  c "), (QStringList{"a", "b", "c"}));
}

TEST(PrivateRsyncDialect, FilesToConsiderSetsTheCountAndZeroCountsAsOne) {
    RsyncOutputParser p;
    EXPECT_TRUE(p.ParseOutput("5 files to consider\n", false).isEmpty());
    EXPECT_EQ(p.noOfFiles, 5);
    p.ParseOutput("0 files to consider\n", false);
    EXPECT_EQ(p.noOfFiles, 1);
    p.ParseOutput("-3 files to consider\n", false);
    EXPECT_EQ(p.noOfFiles, 1);
}

TEST(PrivateRsyncDialect, CountStopsAtNOutOfNOutsideTheInitialBackup) {
    RsyncOutputParser p;
    p.ParseOutput("3 files to consider\n", false);
    QStringList shown;
    for (int i = 0; i < 4; ++i)
        for (const auto& e : p.ParseOutput(sent(10, QStringLiteral("home/a/f%1").arg(i)), false))
            shown << totalFiles(e);
    EXPECT_EQ(shown, (QStringList{"1 out of 3", "2 out of 3", "3 out of 3", "3 out of 3"}));
}

TEST(PrivateRsyncDialect, InitialBackupCountsWithoutClamping) {
    RsyncOutputParser p;
    p.ParseOutput("3 files to consider\n", true);
    QStringList shown;
    for (int i = 0; i < 4; ++i)
        for (const auto& e : p.ParseOutput(sent(10, QStringLiteral("f%1").arg(i)), true))
            shown << totalFiles(e);
    EXPECT_EQ(shown, (QStringList{"1", "2", "3", "4"}));
}

TEST(PrivateRsyncDialect, TaggedLinesGiveFileAndSizeOthersAreIgnored) {
    RsyncOutputParser p;
    p.ParseOutput("2 files to consider\n", false);
    const QString chunk = QStringLiteral("sending incremental file list\n") + sent(1536, "home/a/x y.txt") +
                          sent(3 * 1024 * 1024, "home/a/big", "[Incremental Backup]") +
                          sent(99, "home/a/half", "[Full Backup]", "99%") +
                          QStringLiteral("Sent 1 [Full Backup]short\n");
    const auto events = p.ParseOutput(chunk, false);
    ASSERT_EQ(events.size(), 2);
    EXPECT_EQ(events[0].file, "home/a/x y.txt");
    EXPECT_EQ(events[0].progress.value(Protocol::KeyUploadingFile).toString(), "home/a/x y.txt");
    EXPECT_EQ(totalSize(events[0]), "1.50 KB");
    EXPECT_EQ(events[1].file, "home/a/big");
    // The size is the last file's, not a running total.
    EXPECT_EQ(totalSize(events[1]), "3.00 MB");
    EXPECT_EQ(events[0].progress.size(), 3);
}

TEST(PrivateRsyncDialect, FileTextEndsAtASecondTag) {
    RsyncOutputParser p;
    const auto events = p.ParseOutput("Sent file 4 bytes 100% [Full Backup]a[Full Backup]b\n", true);
    ASSERT_EQ(events.size(), 1);
    EXPECT_EQ(events[0].file, "a");
}

TEST(SystemRsyncDialect, FirstChunkWithOnlyAFileNameShowsTheStartingTotal) {
    RsyncOutputParser p;
    const auto events = p.ParseDefaultRsyncOutput("home/a/doc.txt\n", {"/home/a/doc.txt"});
    ASSERT_EQ(events.size(), 1);
    EXPECT_EQ(events[0].file, "home/a/doc.txt");
    EXPECT_EQ(totalSize(events[0]), "1024.00 bytes");
    EXPECT_EQ(totalFiles(events[0]), "1");
}

TEST(SystemRsyncDialect, EachCompletedFileAddsItsOwnBytesOnce) {
    RsyncOutputParser p;
    const QString chunk =
        QStringLiteral("home/a/one\n        2048 100%    1.95MB/s    0:00:00 (xfr#1, to-chk=1/2)\n"
                       "home/a/two\n       1,000 100%    1.95MB/s    0:00:00 (xfr#2, to-chk=0/2)\n");
    const auto events = p.ParseDefaultRsyncOutput(chunk, {"/home/a/one", "/home/a/two"});
    ASSERT_EQ(events.size(), 2);
    // The size shown with a file is the total before its own bytes.
    EXPECT_EQ(totalSize(events[0]), "1024.00 bytes");
    EXPECT_EQ(totalSize(events[1]), RsyncOutputParser::formatBytes(1024 + 2048));
    EXPECT_DOUBLE_EQ(p.bytesuploaded, 1024 + 2048 + 1000);
    EXPECT_EQ(p.completedfiles, 3);
}

TEST(SystemRsyncDialect, FileCountAnnouncementAndFolderWithFileInside) {
    RsyncOutputParser p;
    auto events = p.ParseDefaultRsyncOutput("building file list ... \r12 files...\r", {});
    ASSERT_EQ(events.size(), 1);
    EXPECT_EQ(totalFiles(events[0]), "12");
    EXPECT_TRUE(events[0].file.isEmpty());
    EXPECT_EQ(p.completedfiles, 12);
    events = p.ParseDefaultRsyncOutput("home/a/f\n", {"/home/a", "/home/a/f"});
    EXPECT_EQ(events.size(), 2); // the folder and the file both prefix the line
}

TEST(LineJoining, LinesCutBetweenChunksAreJoined) {
    LineJoiner j;
    EXPECT_EQ(j.take("Sent file 10 by"), "");
    EXPECT_EQ(j.take("tes 100% [Full Backup]a\nSent"), "Sent file 10 bytes 100% [Full Backup]a\n");
    EXPECT_TRUE(j.hasPending());
    EXPECT_EQ(j.flush(), "Sent");
    EXPECT_FALSE(j.hasPending());

    // A tagged line split in the middle still counts once, with its full path.
    RsyncOutputParser p;
    LineJoiner out;
    QList<RsyncOutputParser::Event> events;
    for (const QString& piece :
         {QStringLiteral("Sent file 7 bytes 10"), QStringLiteral("0% [Full Backup]home/a/"),
          QStringLiteral("long name.txt\n")})
        events << p.ParseOutput(out.take(piece), true);
    ASSERT_EQ(events.size(), 1);
    EXPECT_EQ(events[0].file, "home/a/long name.txt");
}
