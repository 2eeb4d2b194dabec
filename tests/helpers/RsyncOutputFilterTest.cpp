// The line handling the real runs against the appliance (PrivateRsyncTest) cannot provoke at will:
// lines cut between chunks, repeated progress steps, and file names that read like run failures.

#include "RsyncOutputFilter.h"

#include <gtest/gtest.h>

namespace {

const std::string kMarker = "<ZH:1> ";

} // namespace

TEST(RsyncOutputFilter, ALineCutBetweenChunksIsReadWholeAndAProgressStepShownOnce) {
    RsyncOutputFilter up(RsyncArguments::Mode::Upload, false, kMarker);
    const std::string line = kMarker + "<f+++++++++ 12 40 home/u/split name.txt\n";
    EXPECT_EQ(up.standardOutput(line.substr(0, 9)), "");
    EXPECT_EQ(up.standardOutput(line.substr(9, 7)), "");
    EXPECT_EQ(up.standardOutput(line.substr(16) + kMarker + "<f.st...... 3145728 70 home/u/changed\n"),
              "Sent file 12 bytes 100% [Full Backup]home/u/split name.txt\n"
              "Sent file 3145728 bytes 100% [Incremental Backup]home/u/changed\n");
    EXPECT_EQ(up.standardOutput("total size is 12"), ""); // an unfinished last line is passed on at the end
    EXPECT_EQ(up.finishOutput(), "total size is 12");

    RsyncOutputFilter down(RsyncArguments::Mode::Download, true, kMarker);
    EXPECT_EQ(down.standardOutput("receiving incremental file list\n" + kMarker +
                                  ">f+++++++++ 3000000 Docs/my r.txt\n"),
              "receiving incremental file list\n");
    EXPECT_EQ(down.standardOutput(
                  "\r  1,500,000  50%   10.00MB/s    0:00:01  \r  1,500,000  50%   12.00MB/s    0:00:01  "
                  "\r  3,000,000 100%   62.20MB/s    0:00:00 (xfr#1, to-chk=7/9)\n"),
              "Restoring file 1500000 bytes 50% [Restore Progress] Docs/my r.txt\n"
              "Restoring file 3000000 bytes 100% [Restore Progress] Docs/my r.txt\n");

    RsyncOutputFilter list(RsyncArguments::Mode::List, false, kMarker);
    const std::string text =
        "drwxr-xr-x          4,096 2024/01/02 10:11:12 Mac\r\n-rw-r--r-- 5 2024/01/02 10:11:12 x";
    const std::string listed = list.standardOutput(text);
    EXPECT_EQ(listed + list.finishOutput(), text);
}

TEST(RsyncOutputFilter, RunFailuresAndSummariesAreNeverTagged) {
    using E = RsyncOutputFilter::FileError;
    const std::vector<std::pair<std::string, E>> lines{
        // A full appliance must reach the quota check, not the per-file one.
        {"rsync: [receiver] write failed on \"/backup/u/M/big\" (in backup): No space left on device (28)",
         E::None},
        {"rsync: [receiver] mkstemp \"/x\" failed: Disk quota exceeded (122)", E::None},
        {"rsync: failed to connect to 127.0.0.9 (127.0.0.9): Connection refused (111)", E::None},
        {"rsync error: some files/attrs were not transferred (see previous errors) (code 23) at main.c(1338)",
         E::None},
        {"rsync warning: some files vanished before they could be transferred (code 24)", E::None},
        // A file whose name reads like a run failure is still a per-file matter.
        {"file has vanished: \"/home/a/No space left on device.txt\"", E::IoError},
        {"rsync: [sender] send_files failed to open \"/home/a/Connection refused.pdf\": Permission denied "
         "(13)",
         E::IoError},
        {"could not make way for new regular file: home/u/x", E::SendError}};
    for (const auto& [line, kind] : lines)
        EXPECT_EQ(RsyncOutputFilter::classify(line), kind) << line;

    RsyncOutputFilter f(RsyncArguments::Mode::Upload, false, kMarker);
    EXPECT_EQ(f.standardError(
                  "@ERROR: auth failed on module backup\nrsync: [sender] read errors mapping \"/c\": "
                  "Input/output error (5)\nrsync error: error starting client-server protocol (code 5)"),
              "@ERROR: auth failed on module backup\n"
              "SFERROR: rsync: [sender] read errors mapping \"/c\": Input/output error (5)\n");
    EXPECT_EQ(f.finishError(), "rsync error: error starting client-server protocol (code 5)");
}
