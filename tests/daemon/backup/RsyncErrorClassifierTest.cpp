#include "RsyncErrorClassifier.h"

#include <gtest/gtest.h>

using Kind = RsyncErrorClassifier::Kind;

TEST(ErrorClassification, PerFileErrorComesFirstAndTheRestOfTheChunkStillCounts) {
    const QString chunk = "IOERROR: rsync: link_stat \"/home/a/gone\" failed: No such file or directory (2)\n"
                          "rsync: failed to connect to 10.0.0.1 (10.0.0.1): Connection refused (111)\n";
    const auto r = RsyncErrorClassifier::classify(chunk);
    EXPECT_EQ(r.kind, Kind::PerFileError);
    EXPECT_TRUE(r.line.startsWith("IOERROR: rsync: link_stat"));
    EXPECT_EQ(RsyncErrorClassifier::classify(RsyncErrorClassifier::withoutPerFileLines(chunk)).kind,
              Kind::Network);
    EXPECT_EQ(RsyncErrorClassifier::classify("SFERROR: write failed\n").kind, Kind::PerFileError);
}

TEST(ErrorClassification, OnlyRsyncsOwnMessageFormsCountNotFileNames) {
    for (const char* text : {"rsync: [Receiver] read error: Operation timed out (60)",
                             "rsync: failed to connect to x (1.2.3.4): Connection timed out (110)",
                             "rsync: connection unexpectedly closed (0 bytes received so far) [sender]",
                             "rsync error: error in socket IO (code 10) at clientserver.c(139)"})
        EXPECT_EQ(RsyncErrorClassifier::classify(QString::fromLatin1(text)).kind, Kind::Network) << text;
    for (const char* text : {"rsync: [receiver] write failed on \"/m/x\": No space left on device (28)",
                             "rsync: mkstemp \"/m/.x.Ab\" failed: Disk quota exceeded (122)",
                             "rsync: write failed: Disc quota exceeded (69)"})
        EXPECT_EQ(RsyncErrorClassifier::classify(QString::fromLatin1(text)).kind, Kind::Quota) << text;
    // A full appliance breaks the connection too: the full disk decides.
    EXPECT_EQ(
        RsyncErrorClassifier::classify("rsync: write failed on \"/m/x\": No space left on device (28)\n"
                                       "rsync: connection unexpectedly closed (9 bytes received so far)")
            .kind,
        Kind::Quota);
    // Names that read like failures, in lines that are about those files.
    for (const char* text :
         {"file has vanished: \"/home/a/No space left on device.txt\"",
          "rsync: link_stat \"/home/a/Connection refused.pdf\" failed: No such file or directory (2)",
          "sending /home/a/failed to connect.txt", "Connection refused"})
        EXPECT_EQ(RsyncErrorClassifier::classify(QString::fromLatin1(text)).kind, Kind::None) << text;
}

TEST(ErrorClassification, OtherTextChangesNothingButRsyncFailuresAreRecognised) {
    const QString auth = "@ERROR: auth failed on module backup\nrsync error: error starting client-server "
                         "protocol (code 5) at main.c(1863) [sender=3.2.7]\n";
    EXPECT_EQ(RsyncErrorClassifier::classify(auth).kind, Kind::None);
    EXPECT_TRUE(RsyncErrorClassifier::isRsyncFailure(auth));
    EXPECT_FALSE(RsyncErrorClassifier::isPartialTransfer(auth));
    EXPECT_TRUE(RsyncErrorClassifier::isPartialTransfer("rsync error: some files/attrs were not transferred "
                                                        "(see previous errors) (code 23)"));
    EXPECT_FALSE(RsyncErrorClassifier::isRsyncFailure("rsync warning: something"));
    EXPECT_TRUE(RsyncErrorClassifier::hasTransferSummary("total size is 10  speedup is 1.00\n"));
}

TEST(AddressCheck, AddressIsBetweenTheFirstParentheses) {
    EXPECT_EQ(RsyncErrorClassifier::addressFromPingOutput("PING host (192.168.1.20): 56 data bytes\n"),
              "192.168.1.20");
    EXPECT_EQ(RsyncErrorClassifier::addressFromPingOutput("PING 127.0.0.5 (127.0.0.5) 56(84) bytes of data."),
              "127.0.0.5");
    EXPECT_EQ(RsyncErrorClassifier::addressFromPingOutput("(192.168.1.20) x"), "");
    EXPECT_EQ(RsyncErrorClassifier::addressFromPingOutput("no parentheses"), "");
    EXPECT_EQ(RsyncErrorClassifier::addressFromPingOutput("a ) b ("), "");
    EXPECT_EQ(RsyncErrorClassifier::addressFromPingOutput(""), "");
}
