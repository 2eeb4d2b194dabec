#include "RsyncOutputFilter.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

const std::string kMarker = "<ZH:1> ";

std::vector<std::string> tokens(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string t; in >> t;)
        out.push_back(t);
    return out;
}

// The restore reader: the text after the first occurrence of the seventh token, trimmed.
std::string restorePath(const std::string& line) {
    const auto t = tokens(line);
    std::string rest = line.substr(line.find(t.at(6)) + t.at(6).size());
    rest.erase(0, rest.find_first_not_of(" \t"));
    rest.erase(rest.find_last_not_of(" \t\n") + 1);
    return rest;
}

} // namespace

TEST(RsyncOutputFilter, SentFilesBecomeTaggedLinesWithTheSizeInThirdPlace) {
    RsyncOutputFilter f(RsyncArguments::Mode::Upload, false, kMarker);
    const std::string out = f.standardOutput(
        "sending incremental file list\n" + kMarker + "cd+++++++++ 4096 0 home/\n" + kMarker +
        "<f+++++++++ 1536 1600 home/u/a b.txt\n" + kMarker + "<f.st...... 3145728 70 home/u/changed\n");
    EXPECT_EQ(out, "sending incremental file list\n"
                   "Sent file 1536 bytes 100% [Full Backup]home/u/a b.txt\n"
                   "Sent file 3145728 bytes 100% [Incremental Backup]home/u/changed\n");
    const auto t = tokens("Sent file 1536 bytes 100% [Full Backup]home/u/a b.txt");
    EXPECT_EQ(t.at(2), "1536");
    EXPECT_EQ(t.at(4), "100%");
}

TEST(RsyncOutputFilter, ALineCutBetweenChunksIsReadWhole) {
    RsyncOutputFilter f(RsyncArguments::Mode::Upload, false, kMarker);
    const std::string line = kMarker + "<f+++++++++ 12 40 home/u/split name.txt\n";
    EXPECT_EQ(f.standardOutput(line.substr(0, 9)), "");
    EXPECT_EQ(f.standardOutput(line.substr(9, 7)), "");
    EXPECT_EQ(f.standardOutput(line.substr(16)),
              "Sent file 12 bytes 100% [Full Backup]home/u/split name.txt\n");
    // An unfinished last line is still passed on at the end.
    EXPECT_EQ(f.standardOutput("total size is 12"), "");
    EXPECT_EQ(f.finishOutput(), "total size is 12");
}

TEST(RsyncOutputFilter, DownloadProgressStepsGiveSevenTokensPercentFifthAndThePathAfter) {
    RsyncOutputFilter f(RsyncArguments::Mode::Download, true, kMarker);
    std::string out =
        f.standardOutput("receiving incremental file list\n" + kMarker + "cd+++++++++ 4096 Docs/\n" +
                         kMarker + ">f+++++++++ 3000000 Docs/my report.txt\n");
    EXPECT_EQ(out, "receiving incremental file list\n");
    out = f.standardOutput(
        "\r          0   0%    0.00kB/s    0:00:00  \r  1,500,000  50%   10.00MB/s    0:00:01  "
        "\r  1,500,000  50%   12.00MB/s    0:00:01  \r  3,000,000 100%   62.20MB/s    0:00:00 "
        "(xfr#1, to-chk=7/9)\n");
    std::istringstream lines(out);
    std::vector<std::string> all;
    for (std::string l; std::getline(lines, l);)
        all.push_back(l);
    ASSERT_EQ(all.size(), 3u) << out; // the repeated 50% step is shown once
    for (const std::string& l : all) {
        const auto t = tokens(l);
        ASSERT_GE(t.size(), 7u);
        EXPECT_EQ(t.at(4).back(), '%');
        EXPECT_NE(t.at(4).front(), '.');
        EXPECT_EQ(restorePath(l), "Docs/my report.txt");
    }
    EXPECT_EQ(tokens(all[1]).at(2), "1500000");
    EXPECT_EQ(tokens(all[2]).at(4), "100%");
}

TEST(RsyncOutputFilter, ListingAndOtherOutputPassUnchanged) {
    RsyncOutputFilter f(RsyncArguments::Mode::List, false, kMarker);
    const std::string text =
        "drwxr-xr-x          4,096 2024/01/02 10:11:12 Mac\r\n-rw-r--r-- 5 2024/01/02 10:11:12 x";
    std::string out = f.standardOutput(text);
    out += f.finishOutput();
    EXPECT_EQ(out, text);
}

TEST(RsyncOutputFilter, PerFileFailuresAreTaggedWithRsyncsTextKept) {
    using E = RsyncOutputFilter::FileError;
    EXPECT_EQ(RsyncOutputFilter::classify(
                  "rsync: [sender] link_stat \"/home/u/gone\" failed: No such file or directory (2)"),
              E::IoError);
    EXPECT_EQ(RsyncOutputFilter::classify(
                  "rsync: [sender] send_files failed to open \"/home/u/secret\": Permission denied (13)"),
              E::IoError);
    EXPECT_EQ(RsyncOutputFilter::classify("file has vanished: \"/home/u/tmp.swp\""), E::IoError);
    EXPECT_EQ(RsyncOutputFilter::classify("rsync: [sender] read errors mapping \"/home/u/disk.img\": "
                                          "Input/output error (5)"),
              E::SendError);
    EXPECT_EQ(RsyncOutputFilter::classify("could not make way for new regular file: home/u/x"), E::SendError);

    RsyncOutputFilter f(RsyncArguments::Mode::Upload, false, kMarker);
    const std::string err =
        f.standardError("rsync: [sender] link_stat \"/a b\" failed: No such file or directory "
                        "(2)\nrsync: [sender] read errors mapping \"/c\": Input/output error (5)\n");
    EXPECT_EQ(err, "IOERROR: rsync: [sender] link_stat \"/a b\" failed: No such file or directory (2)\n"
                   "SFERROR: rsync: [sender] read errors mapping \"/c\": Input/output error (5)\n");
}

TEST(RsyncOutputFilter, RunFailuresAndSummariesAreNeverTagged) {
    using E = RsyncOutputFilter::FileError;
    // A full appliance must reach the quota check, not the per-file one.
    EXPECT_EQ(
        RsyncOutputFilter::classify("rsync: [receiver] write failed on \"/backup/u/M/big\" (in backup): "
                                    "No space left on device (28)"),
        E::None);
    EXPECT_EQ(
        RsyncOutputFilter::classify("rsync: [receiver] mkstemp \"/x\" failed: Disk quota exceeded (122)"),
        E::None);
    EXPECT_EQ(
        RsyncOutputFilter::classify("rsync: failed to connect to 127.0.0.9 (127.0.0.9): Connection refused "
                                    "(111)"),
        E::None);
    EXPECT_EQ(RsyncOutputFilter::classify("@ERROR: auth failed on module backup"), E::None);
    // A file whose name reads like a run failure is still a per-file matter.
    EXPECT_EQ(RsyncOutputFilter::classify("file has vanished: \"/home/a/No space left on device.txt\""),
              E::IoError);
    EXPECT_EQ(RsyncOutputFilter::classify("rsync: [sender] send_files failed to open \"/home/a/Connection "
                                          "refused.pdf\": Permission denied (13)"),
              E::IoError);
    EXPECT_EQ(RsyncOutputFilter::classify("rsync error: some files/attrs were not transferred (see previous "
                                          "errors) (code 23) at main.c(1338) [sender=3.2.7]"),
              E::None);
    EXPECT_EQ(
        RsyncOutputFilter::classify("rsync warning: some files vanished before they could be transferred "
                                    "(code 24)"),
        E::None);

    RsyncOutputFilter f(RsyncArguments::Mode::Upload, false, kMarker);
    EXPECT_EQ(
        f.standardError("@ERROR: auth failed on module backup\nrsync error: error starting client-server "
                        "protocol (code 5)"),
        "@ERROR: auth failed on module backup\n");
    EXPECT_EQ(f.finishError(), "rsync error: error starting client-server protocol (code 5)");
}
