#include "RsyncOutputParser.h"
#include "BackupRunDecision.h"
#include "RsyncErrorClassifier.h"

#include <Protocol.h>

#include <gtest/gtest.h>

namespace {
QStringList shown(const QList<RsyncOutputParser::Event>& events, const QLatin1String& key) {
    QStringList out;
    for (const auto& e : events)
        out << (key == Protocol::KeyUploadingFile ? e.file : e.progress.value(key).toString());
    return out;
}
} // namespace

TEST(PrivateRsyncDialect, TaggedLinesGiveFileAndSizeAndTheCountStopsAtNOutOfNOutsideTheInitialBackup) {
    const QString chunk =
        QStringLiteral("3 files to consider\nsending incremental file list\n"
                       "Sent file 1536 bytes 100% [Full Backup]home/a/x y.txt\n"
                       "Sent file 3145728 bytes 100% [Incremental Backup]home/a/big\n"
                       "Sent file 99 bytes 99% [Full Backup]home/a/half\nSent 1 [Full Backup]short\n"
                       "Sent file 4 bytes 100% [Full Backup]a[Full Backup]b\n"
                       "Sent file 5 bytes 100% [Full Backup]d\n");
    RsyncOutputParser p;
    const auto events = p.ParseOutput(chunk, false);
    EXPECT_EQ(shown(events, Protocol::KeyUploadingFile),
              (QStringList{"home/a/x y.txt", "home/a/big", "a", "d"}));
    EXPECT_EQ(shown(events, Protocol::KeyTotalSize),
              (QStringList{"1.50 KB", "3.00 MB", "4.00 bytes", "5.00 bytes"}));
    EXPECT_EQ(shown(events, Protocol::KeyTotalFiles),
              (QStringList{"1 out of 3", "2 out of 3", "3 out of 3", "3 out of 3"}));
    // Beside the file's own size, what the run has sent so far: the figures are posted only as the
    // newest, so each must say everything the skipped ones did.
    EXPECT_EQ(shown(events, Protocol::KeySentBytes), (QStringList{"1536", "3147264", "3147268", "3147273"}));
    EXPECT_EQ(shown(events, Protocol::KeySentFiles), (QStringList{"1", "2", "3", "4"}));
    EXPECT_EQ(events[0].progress.size(), 5);
    // The totals carry over to the next set of the run and start again with the next run.
    EXPECT_EQ(shown(p.ParseOutput("1 files to consider\nSent file 10 bytes 100% [Full Backup]e\n", false),
                    Protocol::KeySentBytes),
              QStringList{"3147283"});
    p.reset();
    EXPECT_EQ(shown(p.ParseOutput("Sent file 10 bytes 100% [Full Backup]e\n", false), Protocol::KeySentFiles),
              QStringList{"1"});
    // The initial backup counts without clamping; no files to consider counts as one.
    RsyncOutputParser initial;
    EXPECT_EQ(shown(initial.ParseOutput(chunk, true), Protocol::KeyTotalFiles),
              (QStringList{"1", "2", "3", "4"}));
    initial.ParseOutput("0 files to consider\n", true);
    EXPECT_EQ(initial.noOfFiles, 1);
    EXPECT_EQ(RsyncOutputParser::formatBytes(5.0 * 1024 * 1024 * 1024 * 1024 * 2048), "10240.00 TB");
}

TEST(SystemRsyncDialect, EachFileShowsTheTotalBeforeItsOwnBytesAndTheFileCountIsAnnounced) {
    RsyncOutputParser p;
    const auto events = p.ParseDefaultRsyncOutput(
        "home/a/one\n        2048 100%    1.95MB/s    0:00:00 (xfr#1, to-chk=1/2)\n"
        "home/a/two\n       1,000 100%    1.95MB/s    0:00:00 (xfr#2, to-chk=0/2)\n",
        {"/home/a/one", "/home/a/two"});
    // Each named file, then the run's totals once its "100%" line has come (the last file's too).
    EXPECT_EQ(shown(events, Protocol::KeyUploadingFile), (QStringList{"home/a/one", "", "home/a/two", ""}));
    EXPECT_EQ(shown(events, Protocol::KeyTotalSize),
              (QStringList{"1024.00 bytes", "1024.00 bytes", "3.00 KB", "3.00 KB"}));
    EXPECT_EQ(shown(events, Protocol::KeySentBytes), (QStringList{"0", "2048", "2048", "3048"}));
    EXPECT_EQ(shown(events, Protocol::KeySentFiles), (QStringList{"0", "1", "1", "2"}));
    EXPECT_EQ(events.last().progress.value(Protocol::KeyTotalFiles).toString(), "2");
    EXPECT_DOUBLE_EQ(p.bytesuploaded, 1024 + 2048 + 1000);
    EXPECT_EQ(p.completedfiles, 3);
    // A "100%" line in a chunk of its own still completes the file named before it.
    RsyncOutputParser split;
    split.ParseDefaultRsyncOutput("home/a/big\n", {"/home/a/big"});
    const auto done =
        split.ParseDefaultRsyncOutput("  5,000,000,000 100%  9.00MB/s 0:00:01\n", {"/home/a/big"});
    ASSERT_EQ(done.size(), 1);
    EXPECT_EQ(done[0].file, "");
    EXPECT_EQ(done[0].progress.value(Protocol::KeySentBytes).toString(), "5000000000");
    EXPECT_EQ(done[0].progress.value(Protocol::KeyUploadingFile).toString(), "home/a/big");
    // A folder and the file inside it both prefix the line.
    EXPECT_EQ(p.ParseDefaultRsyncOutput("home/a/f\n", {"/home/a", "/home/a/f"}).size(), 2);
    RsyncOutputParser q;
    EXPECT_EQ(shown(q.ParseDefaultRsyncOutput("building file list ... \r12 files...\r", {}),
                    Protocol::KeyTotalFiles),
              QStringList{"12"});
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
    QList<RsyncOutputParser::Event> events;
    for (const char* piece : {"Sent file 7 bytes 10", "0% [Full Backup]home/a/", "long name.txt\n"})
        events << p.ParseOutput(j.take(piece), true);
    EXPECT_EQ(shown(events, Protocol::KeyUploadingFile), QStringList{"home/a/long name.txt"});
}

TEST(ErrorClassification, PerFileErrorComesFirstAndTheRestOfTheChunkStillCounts) {
    using C = RsyncErrorClassifier;
    const QString chunk = "IOERROR: rsync: link_stat \"/home/a/gone\" failed: No such file or directory (2)\n"
                          "rsync: failed to connect to 10.0.0.1 (10.0.0.1): Connection refused (111)\n";
    EXPECT_EQ(C::classify(chunk).kind, C::Kind::PerFileError);
    EXPECT_TRUE(C::classify(chunk).line.startsWith("IOERROR: rsync: link_stat"));
    EXPECT_EQ(C::classify(C::withoutPerFileLines(chunk)).kind, C::Kind::Network);
    EXPECT_EQ(C::classify("SFERROR: write failed\n").kind, C::Kind::PerFileError);
    // The appliance's refusals: a password the person must renew, and no connection free for now.
    const QString auth = "@ERROR: auth failed on module backup\nrsync error: error starting client-server "
                         "protocol (code 5) at main.c(1863) [sender=3.2.7]\n";
    EXPECT_EQ(C::classify(auth).kind, C::Kind::AuthRefused);
    EXPECT_TRUE(C::isRsyncFailure(auth));
    EXPECT_FALSE(C::isPartialTransfer(auth));
    const QString busy =
        "@ERROR: max connections (4) reached -- try again later\nrsync error: error starting "
        "client-server protocol (code 5) at main.c(1863) [sender=3.2.7]\n";
    EXPECT_EQ(C::classify(busy).kind, C::Kind::Busy);
    EXPECT_EQ(C::classify("@ERROR: Unknown module 'backup'\n").kind, C::Kind::None);
    EXPECT_EQ(C::classify("file has vanished: \"/home/a/@ERROR: max connections (4) reached\"").kind,
              C::Kind::None);
    EXPECT_TRUE(C::isPartialTransfer("rsync error: some files/attrs were not transferred (code 23)"));
    EXPECT_FALSE(C::isRsyncFailure("rsync warning: something"));
    // The address check reads the address between the first parentheses of ping's answer.
    EXPECT_EQ(C::addressFromPingOutput("PING 127.0.0.5 (127.0.0.5) 56(84) bytes of data."), "127.0.0.5");
    for (const char* text : {"(192.168.1.20) x", "no parentheses", "a ) b ("})
        EXPECT_EQ(C::addressFromPingOutput(QString::fromLatin1(text)), "") << text;
}

TEST(ErrorClassification, OnlyRsyncsOwnMessageFormsCountNotFileNames) {
    using C = RsyncErrorClassifier;
    for (const char* text : {"rsync: [Receiver] read error: Operation timed out (60)",
                             "rsync: failed to connect to x (1.2.3.4): Connection timed out (110)",
                             "rsync: connection unexpectedly closed (0 bytes received so far) [sender]",
                             "rsync error: error in socket IO (code 10) at clientserver.c(139)"})
        EXPECT_EQ(C::classify(QString::fromLatin1(text)).kind, C::Kind::Network) << text;
    for (const char* text : {"rsync: [receiver] write failed on \"/m/x\": No space left on device (28)",
                             "rsync: mkstemp \"/m/.x.Ab\" failed: Disk quota exceeded (122)",
                             "rsync: write failed: Disc quota exceeded (69)",
                             // A full appliance breaks the connection too: the full disk decides.
                             "rsync: write failed on \"/m/x\": No space left on device (28)\n"
                             "rsync: connection unexpectedly closed (9 bytes received so far)"})
        EXPECT_EQ(C::classify(QString::fromLatin1(text)).kind, C::Kind::Quota) << text;
    // Names that read like failures, in lines that are about those files.
    for (const char* text :
         {"file has vanished: \"/home/a/No space left on device.txt\"",
          "rsync: link_stat \"/home/a/Connection refused.pdf\" failed: No such file or directory (2)",
          "sending /home/a/failed to connect.txt", "Connection refused"})
        EXPECT_EQ(C::classify(QString::fromLatin1(text)).kind, C::Kind::None) << text;
}

TEST(RunDecision, RefusalsComeBeforeRetriesAndABusyApplianceIsWaitedForWithSpreadDelays) {
    using D = BackupRunDecision;
    D::SetEnd end;
    end.exitCode = 5;
    end.failureText = true;
    end.busy = true;
    end.retriesMade = 10; // never counted for a busy appliance
    EXPECT_EQ(D::decide(end), D::Outcome::Busy);
    EXPECT_FALSE(D::keepsPaths(D::Outcome::Busy)) << "the run goes on with its paths";
    end.refused = true;
    EXPECT_EQ(D::decide(end), D::Outcome::Refused);
    EXPECT_TRUE(D::keepsPaths(D::Outcome::Refused));
    EXPECT_FALSE(D::backsOff(D::Outcome::Refused)) << "held on a schedule of its own (refusedDelay)";
    end.cancelled = true;
    EXPECT_EQ(D::decide(end), D::Outcome::Cancelled);

    using ms = std::chrono::milliseconds;
    EXPECT_EQ(D::busyDelay(1, ms(1000), ms(8000), 0.999), ms(999));
    EXPECT_EQ(D::busyDelay(1, ms(1000), ms(8000), 0.0), ms(500));
    EXPECT_EQ(D::busyDelay(3, ms(1000), ms(8000), 0.5), ms(1687)) << "half as long again each time";
    EXPECT_EQ(D::busyDelay(2, ms(1000), ms(8000), 1.0), ms(1500));
    EXPECT_EQ(D::busyDelay(40, ms(1000), ms(8000), 1.0), ms(8000)) << "capped, however long the wait";

    // A refused password is tried again after a minute, then twice as long each time, at most half an hour.
    const ms minute(60000), halfHour(1800000);
    QList<long long> minutes;
    for (int refusals = 1; refusals <= 8; ++refusals)
        minutes << D::refusedDelay(refusals, minute, halfHour).count() / 60000;
    EXPECT_EQ(minutes, (QList<long long>{1, 2, 4, 8, 16, 30, 30, 30}));
    EXPECT_EQ(D::refusedDelay(100000, minute, halfHour), halfHour) << "no overflow after days of refusals";
}
