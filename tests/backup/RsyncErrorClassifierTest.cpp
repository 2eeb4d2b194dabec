#include "RsyncErrorClassifier.h"

#include <gtest/gtest.h>

using Kind = RsyncErrorClassifier::Kind;

TEST(ErrorClassification, PerFileErrorWinsOverNetworkInTheSameChunk) {
    const auto r = RsyncErrorClassifier::classify(
        "rsync: x\nIOERROR: rsync: link_stat \"/home/a/gone\" failed\nConnection refused\n");
    EXPECT_EQ(r.kind, Kind::PerFileError);
    EXPECT_EQ(r.line, "IOERROR: rsync: link_stat \"/home/a/gone\" failed");
    EXPECT_EQ(RsyncErrorClassifier::classify("SFERROR: write failed\n").kind, Kind::PerFileError);
}

TEST(ErrorClassification, NetworkWordingsBsdAndLinux) {
    for (const char* text :
         {"Operation timed out", "Connection timed out", "Connection refused",
          "rsync: connection unexpectedly closed (0 bytes)", "rsync: failed to connect to x"})
        EXPECT_EQ(RsyncErrorClassifier::classify(QString::fromLatin1(text)).kind, Kind::Network) << text;
}

TEST(ErrorClassification, QuotaWordingsBsdAndLinux) {
    for (const char* text : {"write failed: No space left on device (28)", "Disc quota exceeded",
                             "write failed: Disk quota exceeded (122)"})
        EXPECT_EQ(RsyncErrorClassifier::classify(QString::fromLatin1(text)).kind, Kind::Quota) << text;
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
