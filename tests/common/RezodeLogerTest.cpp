#include "RezodeLoger.h"

#include "FileTools.h"
#include "Requirements.h"
#include "TestRoots.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>

#include <unicode/locid.h>

#include <thread>
#include <vector>

namespace {

class RezodeLogerTest : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    QDateTime now = QDateTime(QDate(2026, 3, 7), QTime(14, 5, 9)); // a clock the test moves by hand
    RezodeLoger logger{[this] { return now; }};
    QString trace() const { return dir.filePath("LogsFolder/DaemonTrace.txt"); }
    QString sessions() const { return dir.filePath("SessionLogs"); }
    QString line(const QString& message) const { return RezodeLoger::traceLine(message, now); }
};

} // namespace

TEST_F(RezodeLogerTest, TraceLineAndSessionFileNameFormats) {
    const icu::Locale saved = icu::Locale::getDefault();
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale::getUS(), status);
    EXPECT_EQ(RezodeLoger::traceLine("hello", now), "Sat Mar 07 2026 02:05:09 PM : hello \n");
    // A name holding a line break cannot forge a line of its own.
    EXPECT_EQ(
        RezodeLoger::traceLine("Backup completed for /h/a\nSat Mar 07 2026 02:05:09 PM : Backup Finished "
                               "sucess full\r",
                               now),
        "Sat Mar 07 2026 02:05:09 PM : Backup completed for /h/a\n    Sat Mar 07 2026 02:05:09 PM : Backup "
        "Finished sucess full\\r \n");
    icu::Locale::setDefault(saved, status);
    EXPECT_EQ(RezodeLoger::sessionLogFileName("/logs", now), "/logs/Backup 07.03.26_02.05.09.txt");
    // The year is the week-based one: 31 December 2024 lies in the first week of 2025.
    EXPECT_EQ(RezodeLoger::sessionLogFileName("/l", QDateTime(QDate(2024, 12, 31), QTime(23, 0, 0))),
              "/l/Backup 31.12.25_11.00.00.txt");
}

TEST_F(RezodeLogerTest, MainTraceBuffersFlushesRotatesAndSurvivesBadPaths) {
    logger.logDaemonTrace("nowhere", true); // no path yet: lost quietly
    const QString blocked = dir.filePath("blocked");
    ASSERT_TRUE(QDir().mkpath(blocked)); // a folder where the file should be
    logger.setLogWritePath(blocked);
    logger.logDaemonTrace("lost", true);
    logger.setLogWritePath(trace());
    EXPECT_TRUE(QFileInfo(trace()).absoluteDir().exists());
    logger.logDaemonTrace("buffered", false);
    logger.logDaemonTrace(QString(), true); // no message at all: nothing happens
    EXPECT_FALSE(QFile::exists(trace()));
    logger.logDaemonTrace("", true); // an empty message flushes and adds no line
    logger.logDaemonTrace("Grüße aus Zürich – 東京", true);
    EXPECT_EQ(readTrace(trace()), line("buffered") + line("Grüße aus Zürich – 東京"));

    // Unflushed lines are written once the buffer passes its threshold.
    QFile::remove(trace());
    const QString chunk(1000, u'x');
    qsizetype buffered = 0;
    while (buffered + line(chunk).size() <= RezodeLoger::MainTraceThreshold) {
        logger.logDaemonTrace(chunk, false);
        buffered += line(chunk).size();
    }
    EXPECT_FALSE(QFile::exists(trace()));
    logger.logDaemonTrace(chunk, false);
    EXPECT_EQ(readTrace(trace()).size(), buffered + line(chunk).size());

    const QString big(RezodeLoger::MainTraceRotateSize / 2, u'x');
    for (int i = 0; i < 5; ++i)
        logger.logDaemonTrace(big, true);
    logger.logDaemonTrace("last", true);
    EXPECT_LT(QFileInfo(trace()).size(), RezodeLoger::MainTraceRotateSize);
    EXPECT_TRUE(readTrace(trace()).contains("last"));
    EXPECT_EQ(QDir(dir.filePath("LogsFolder")).entryList(QDir::Files),
              (QStringList{"DaemonTrace.txt", "DaemonTrace.txt.1"}));
}

TEST_F(RezodeLogerTest, SessionLogFlushesFromItsThresholdAndRollsOverAtExactlyTheLimit) {
    logger.setSessionLogWritePath(sessions());
    EXPECT_TRUE(QDir(sessions()).exists());
    const QString first = logger.sessionLogCurrentWriteFile();
    const QString chunk(500, u'y');
    qsizetype buffered = 0;
    while (buffered + line(chunk).size() < RezodeLoger::SessionTraceThreshold) {
        logger.logSessionTrace(chunk, false);
        buffered += line(chunk).size();
    }
    EXPECT_FALSE(QFile::exists(first));
    logger.logSessionTrace(chunk, false);
    EXPECT_EQ(readTrace(first).size(), buffered + line(chunk).size());

    ASSERT_TRUE(QFile::resize(first, RezodeLoger::SessionLogRolloverSize - 1));
    now = now.addSecs(5);
    logger.logSessionTrace("below", true);
    EXPECT_EQ(logger.sessionLogCurrentWriteFile(), first);
    ASSERT_TRUE(QFile::resize(first, RezodeLoger::SessionLogRolloverSize + 10));
    now = now.addSecs(5);
    logger.logSessionTraceWithoutTimeStamp(QString(79, u'-'), true); // the separator never rolls over
    EXPECT_EQ(logger.sessionLogCurrentWriteFile(), first);
    EXPECT_TRUE(readTrace(first).endsWith(line(QString(79, u'-'))));
    ASSERT_TRUE(QFile::resize(first, RezodeLoger::SessionLogRolloverSize));
    now = now.addSecs(5);
    logger.logSessionTrace("above", true);
    EXPECT_EQ(logger.sessionLogCurrentWriteFile(), RezodeLoger::sessionLogFileName(sessions(), now));
    EXPECT_EQ(readTrace(logger.sessionLogCurrentWriteFile()), line("above"));
    EXPECT_EQ(QFileInfo(first).size(), RezodeLoger::SessionLogRolloverSize);
}

TEST_F(RezodeLogerTest, ConcurrentWritersLoseAndMixNothing) {
    RezodeLoger shared; // the real clock
    shared.setLogWritePath(trace());
    shared.setSessionLogWritePath(sessions());
    std::vector<std::thread> workers;
    for (int t = 0; t < 8; ++t)
        workers.emplace_back([&shared, t] {
            for (int i = 0; i < 400; ++i) {
                shared.logDaemonTrace(QStringLiteral("thread %1 line %2").arg(t).arg(i), i % 3 == 0);
                shared.logSessionTrace(QStringLiteral("thread %1 line %2").arg(t).arg(i), i % 5 == 0);
            }
        });
    for (auto& w : workers)
        w.join();
    shared.logDaemonTrace("", true);
    shared.logSessionTrace("", true);
    for (const QString& content : {readTrace(trace()), readTrace(shared.sessionLogCurrentWriteFile())}) {
        QSet<QString> seen; // every line whole, each message once
        for (const QString& l : content.split(u'\n', Qt::SkipEmptyParts))
            seen.insert(l.mid(l.indexOf(" : thread ")));
        EXPECT_EQ(seen.size(), 8 * 400);
        EXPECT_EQ(content.count(" : thread "), 8 * 400);
        EXPECT_EQ(content.count(u'\n'), 8 * 400);
    }
}

TEST_F(RezodeLogerTest, PlantedSymlinksInAUsersSessionLogsReachNothingOfRoot) {
    const FixtureUser user = FixtureUser::get();
    ZH_SKIP_IF(needs::root("the boundary only exists for a daemon running as root"));
    ZH_SKIP_IF(user.uid == 0 ? QStringLiteral("needs an account other than root") : QString());
    TempRoot root;
    const QString logs = root.createHome(user) + "/SessionLogs";
    const QString rootFile = root.path() + "/root-file", rootFolder = root.path() + "/root-folder";
    QDir().mkpath(rootFolder);
    ASSERT_TRUE(FileTools::appendOrCreate(rootFile, "root's\n"));
    // A symlink at the name of the next session log, then the whole folder a symlink.
    FileTools::makePath(logs);
    ASSERT_TRUE(QFile::link(rootFile, RezodeLoger::sessionLogFileName(logs, now)));
    logger.setSessionLogWritePath(logs, user.name);
    logger.logSessionTrace("appended", true);
    QDir(logs).removeRecursively();
    ASSERT_TRUE(QFile::link(rootFolder, logs));
    logger.setSessionLogWritePath(logs, user.name);
    logger.logSessionTrace("created", true);
    EXPECT_EQ(readTrace(rootFile), "root's\n");
    EXPECT_TRUE(QDir(rootFolder).isEmpty());
}
