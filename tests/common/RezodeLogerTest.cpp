#include "RezodeLoger.h"

#include "FileTools.h"
#include "TestRoots.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>

#include <atomic>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

void writeRaw(const QString& path, const QByteArray& data) {
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(data);
}

QString readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll());
}

// Parses text with an ICU pattern in the current locale; returns ms since the epoch or -1.
double parseWithPattern(const char* pattern, const QString& text) {
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat format(icu::UnicodeString(pattern, -1, US_INV), icu::Locale::getDefault(), status);
    if (U_FAILURE(status))
        return -1;
    format.setLenient(false);
    icu::UnicodeString input(reinterpret_cast<const char16_t*>(text.utf16()), int32_t(text.size()));
    icu::ParsePosition pos(0);
    const UDate date = format.parse(input, pos);
    if (pos.getIndex() != input.length())
        return -1;
    return date;
}

// A clock the test moves by hand.
struct ManualClock {
    QDateTime now = QDateTime(QDate(2026, 3, 7), QTime(14, 5, 9));
    RezodeLoger::Clock clock() {
        return [this] { return now; };
    }
};

class RezodeLogerTest : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    ManualClock time;
    RezodeLoger logger{time.clock()};
    QString trace() const { return dir.filePath(QStringLiteral("LogsFolder/DaemonTrace.txt")); }
    QString sessions() const { return dir.filePath(QStringLiteral("SessionLogs")); }
};

} // namespace

TEST_F(RezodeLogerTest, LineFormatParsesBack) {
    const QString line = RezodeLoger::traceLine(QStringLiteral("hello"), time.now);
    ASSERT_TRUE(line.endsWith(QStringLiteral(" : hello \n"))) << line.toStdString();
    const QString stamp = line.left(line.size() - QStringLiteral(" : hello \n").size());
    EXPECT_EQ(parseWithPattern("EE MMM dd yyyy hh:mm:ss a", stamp), double(time.now.toMSecsSinceEpoch()))
        << stamp.toStdString();
    // 12-hour clock: 14:05 is "02:05:09".
    EXPECT_TRUE(stamp.contains(QStringLiteral(" 2026 02:05:09 "))) << stamp.toStdString();
}

TEST_F(RezodeLogerTest, SessionFileNameParsesBack) {
    const QString name = RezodeLoger::sessionLogFileName(QStringLiteral("/logs"), time.now);
    EXPECT_EQ(name, QStringLiteral("/logs/Backup 07.03.26_02.05.09.txt"));
    // The year is the week-based one: 31 December 2024 lies in the first week of 2025.
    EXPECT_EQ(RezodeLoger::sessionLogFileName(QStringLiteral("/l"),
                                              QDateTime(QDate(2024, 12, 31), QTime(23, 0, 0))),
              QStringLiteral("/l/Backup 31.12.25_11.00.00.txt"));
}

TEST_F(RezodeLogerTest, MainTraceCreatesFolderThenAppends) {
    logger.setLogWritePath(trace());
    EXPECT_TRUE(QFileInfo(trace()).absoluteDir().exists());
    EXPECT_FALSE(QFile::exists(trace()));
    logger.logDaemonTrace(QStringLiteral("first"), true);
    logger.logDaemonTrace(QStringLiteral("second"), true);
    EXPECT_EQ(readAll(trace()), RezodeLoger::traceLine(QStringLiteral("first"), time.now) +
                                    RezodeLoger::traceLine(QStringLiteral("second"), time.now));
}

TEST_F(RezodeLogerTest, UnflushedLinesWaitForAFlushOrAnEmptyMessage) {
    logger.setLogWritePath(trace());
    logger.logDaemonTrace(QStringLiteral("buffered"), false);
    EXPECT_FALSE(QFile::exists(trace()));
    logger.logDaemonTrace(QString(), true); // no message at all: nothing happens
    EXPECT_FALSE(QFile::exists(trace()));
    logger.logDaemonTrace(QStringLiteral(""), true); // an empty message flushes and adds no line
    EXPECT_EQ(readAll(trace()), RezodeLoger::traceLine(QStringLiteral("buffered"), time.now));
}

TEST_F(RezodeLogerTest, MainTraceFlushesItselfPastItsThreshold) {
    logger.setLogWritePath(trace());
    const QString chunk(1000, u'x');
    qsizetype buffered = 0;
    const qsizetype lineLength = RezodeLoger::traceLine(chunk, time.now).size();
    while (buffered + lineLength <= RezodeLoger::MainTraceThreshold) {
        logger.logDaemonTrace(chunk, false);
        buffered += lineLength;
        ASSERT_FALSE(QFile::exists(trace())) << buffered;
    }
    logger.logDaemonTrace(chunk, false);
    EXPECT_EQ(readAll(trace()).size(), buffered + lineLength);
}

TEST_F(RezodeLogerTest, SessionLogFlushesItselfFromItsThreshold) {
    logger.setSessionLogWritePath(sessions());
    EXPECT_TRUE(QDir(sessions()).exists());
    const QString file = logger.sessionLogCurrentWriteFile();
    const QString chunk(500, u'y');
    const qsizetype lineLength = RezodeLoger::traceLine(chunk, time.now).size();
    qsizetype buffered = 0;
    while (buffered + lineLength < RezodeLoger::SessionTraceThreshold) {
        logger.logSessionTrace(chunk, false);
        buffered += lineLength;
        ASSERT_FALSE(QFile::exists(file));
    }
    logger.logSessionTrace(chunk, false);
    EXPECT_EQ(readAll(file).size(), buffered + lineLength);
}

TEST_F(RezodeLogerTest, RolloverAtExactlyTheLimitNotOneByteBelow) {
    logger.setSessionLogWritePath(sessions());
    const QString first = logger.sessionLogCurrentWriteFile();
    {
        QFile f(first);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(RezodeLoger::SessionLogRolloverSize - 1, 'a'));
    }
    time.now = time.now.addSecs(5);
    logger.logSessionTrace(QStringLiteral("below"), true);
    EXPECT_EQ(logger.sessionLogCurrentWriteFile(), first);

    // Now exactly at the limit.
    ASSERT_TRUE(QFile::resize(first, RezodeLoger::SessionLogRolloverSize));
    time.now = time.now.addSecs(5);
    logger.logSessionTrace(QStringLiteral("above"), true);
    const QString second = logger.sessionLogCurrentWriteFile();
    EXPECT_NE(second, first);
    EXPECT_EQ(second, RezodeLoger::sessionLogFileName(sessions(), time.now));
    EXPECT_EQ(readAll(second), RezodeLoger::traceLine(QStringLiteral("above"), time.now));
    EXPECT_EQ(QFileInfo(first).size(), RezodeLoger::SessionLogRolloverSize);
}

TEST_F(RezodeLogerTest, SeparatorOperationNeverRollsOver) {
    logger.setSessionLogWritePath(sessions());
    const QString first = logger.sessionLogCurrentWriteFile();
    {
        QFile f(first);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(RezodeLoger::SessionLogRolloverSize + 10, 'a'));
    }
    time.now = time.now.addSecs(5);
    const QString separator(79, u'-');
    logger.logSessionTraceWithoutTimeStamp(separator, true);
    EXPECT_EQ(logger.sessionLogCurrentWriteFile(), first);
    EXPECT_TRUE(readAll(first).endsWith(RezodeLoger::traceLine(separator, time.now)));
}

TEST_F(RezodeLogerTest, MissingPathsLoseTheLinesQuietly) {
    logger.logDaemonTrace(QStringLiteral("nowhere"), true);
    logger.logSessionTrace(QStringLiteral("nowhere"), true);
    logger.setLogWritePath(trace());
    logger.logDaemonTrace(QStringLiteral("later"), true);
    EXPECT_EQ(readAll(trace()), RezodeLoger::traceLine(QStringLiteral("later"), time.now));
}

TEST_F(RezodeLogerTest, UnwritableFileLosesTheBufferButKeepsWorking) {
    const QString blocked = dir.filePath(QStringLiteral("blocked"));
    ASSERT_TRUE(QDir().mkpath(blocked)); // a folder where the file should be
    logger.setLogWritePath(blocked);
    logger.logDaemonTrace(QStringLiteral("lost"), true);
    logger.setLogWritePath(trace());
    logger.logDaemonTrace(QStringLiteral("kept"), true);
    EXPECT_EQ(readAll(trace()), RezodeLoger::traceLine(QStringLiteral("kept"), time.now));
}

TEST_F(RezodeLogerTest, TwoLoggersAreIndependent) {
    RezodeLoger other(time.clock());
    const QString otherTrace = dir.filePath(QStringLiteral("InteractiveTrace.txt"));
    logger.setLogWritePath(trace());
    other.setLogWritePath(otherTrace);
    logger.logDaemonTrace(QStringLiteral("daemon"), false);
    other.logInteractiveTrace(QStringLiteral("Zorvik Hollin Launched"), true);
    EXPECT_FALSE(QFile::exists(trace()));
    EXPECT_EQ(readAll(otherTrace),
              RezodeLoger::traceLine(QStringLiteral("Zorvik Hollin Launched"), time.now));
    EXPECT_NE(&RezodeLoger::progressLogger(), &logger);
    EXPECT_EQ(&RezodeLoger::progressLogger(), &RezodeLoger::progressLogger());
}

TEST_F(RezodeLogerTest, ConcurrentWritersLoseAndMixNothing) {
    RezodeLoger shared; // the real clock
    shared.setLogWritePath(trace());
    shared.setSessionLogWritePath(sessions());
    constexpr int threads = 8, perThread = 400;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&shared, t] {
            for (int i = 0; i < perThread; ++i) {
                const QString message = QStringLiteral("thread %1 line %2").arg(t).arg(i);
                shared.logDaemonTrace(message, i % 3 == 0);
                shared.logSessionTrace(message, i % 5 == 0);
            }
        });
    }
    for (auto& w : workers)
        w.join();
    shared.logDaemonTrace(QStringLiteral(""), true);
    shared.logSessionTrace(QStringLiteral(""), true);
    for (const QString& content : {readAll(trace()), readAll(shared.sessionLogCurrentWriteFile())}) {
        const QStringList lines = content.split(u'\n', Qt::SkipEmptyParts);
        ASSERT_EQ(lines.size(), threads * perThread);
        QSet<QString> seen;
        for (const QString& line : lines) {
            const int at = line.indexOf(QStringLiteral(" : thread "));
            ASSERT_GT(at, 0) << line.toStdString();
            seen.insert(line.mid(at));
        }
        EXPECT_EQ(seen.size(), threads * perThread);
    }
}

TEST_F(RezodeLogerTest, NonAsciiMessagesAreUtf8) {
    logger.setLogWritePath(trace());
    const QString message = QStringLiteral("Grüße aus Zürich – 東京");
    logger.logDaemonTrace(message, true);
    EXPECT_TRUE(readAll(trace()).contains(message));
}

TEST_F(RezodeLogerTest, MainTraceIsRotatedKeepingOneOldFile) {
    logger.setLogWritePath(trace());
    const QString big(RezodeLoger::MainTraceRotateSize / 2, u'x');
    for (int i = 0; i < 5; ++i)
        logger.logDaemonTrace(big, true);
    logger.logDaemonTrace(QStringLiteral("last"), true);
    EXPECT_LT(QFileInfo(trace()).size(), RezodeLoger::MainTraceRotateSize);
    EXPECT_TRUE(readAll(trace()).contains(QStringLiteral("last")));
    EXPECT_TRUE(QFile::exists(trace() + QStringLiteral(".1")));
    EXPECT_EQ(QDir(dir.filePath(QStringLiteral("LogsFolder"))).entryList(QDir::Files).size(), 2);
}

TEST_F(RezodeLogerTest, PlantedSymlinksInAUsersSessionLogsReachNothingOfRoot) {
    TempRoot root;
    const FixtureUser user = FixtureUser::get();
    if (geteuid() != 0 || user.uid == 0)
        GTEST_SKIP() << "the boundary only exists for a daemon running as root, against another account";
    const QString logs = root.createHome(user) + QStringLiteral("/SessionLogs");
    const QString rootFile = root.path() + QStringLiteral("/root-file");
    const QString rootFolder = root.path() + QStringLiteral("/root-folder");
    QDir().mkpath(rootFolder);
    writeRaw(rootFile, "root's\n");
    // A symlink at the name of the next session log, then the whole folder a symlink.
    FileTools::makePath(logs);
    ASSERT_TRUE(QFile::link(rootFile, RezodeLoger::sessionLogFileName(logs, time.now)));
    logger.setSessionLogWritePath(logs, user.name);
    logger.logSessionTrace(QStringLiteral("appended"), true);
    QDir(logs).removeRecursively();
    ASSERT_TRUE(QFile::link(rootFolder, logs));
    logger.setSessionLogWritePath(logs, user.name);
    logger.logSessionTrace(QStringLiteral("created"), true);
    EXPECT_EQ(readAll(rootFile), QStringLiteral("root's\n"));
    EXPECT_TRUE(QDir(rootFolder).isEmpty());
}
