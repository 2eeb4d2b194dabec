// The daemon's trace in the system journal: a daemon run against the appliance (a save, a busy
// appliance, a changed password) leaves entries under its identifier with priorities that say what
// went wrong, and none of them holds the password. The journal is a stand-in: this program runs in a
// mount namespace of its own where /run/systemd/journal/socket is a datagram socket the test reads,
// exactly where sd_journal_send writes.

#include "DaemonRig.h"
#include "SystemJournal.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

const char* const kJournalFolder = "/run/systemd/journal";
QString gJournalSkip = QStringLiteral("the stand-in journal was not set up");
int gJournal = -1;

// Enters a mount namespace of our own with an empty /run/systemd and the stand-in socket in it.
QString setUpStandInJournal() {
    if (::geteuid() != 0)
        return QStringLiteral("needs root for a mount namespace of its own");
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return QStringLiteral("no mount namespace: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    const char* over = QFileInfo::exists(QStringLiteral("/run/systemd")) ? "/run/systemd" : "/run";
    if (::mount("zh-journal", over, "tmpfs", 0, "mode=0755") != 0)
        return QStringLiteral("cannot mount a tmpfs on %1").arg(QLatin1String(over));
    QDir().mkpath(QString::fromLatin1(kJournalFolder));
    gJournal = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/socket", kJournalFolder);
    if (gJournal < 0 || ::bind(gJournal, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return QStringLiteral("cannot bind the stand-in journal socket");
    return {};
}

struct Entry {
    QMap<QByteArray, QByteArray> fields;
};

// Journal's native datagram: "KEY=value\n" lines, or "KEY\n" + 64-bit little-endian length + value +
// "\n" for values with line breaks.
Entry parse(const QByteArray& datagram) {
    Entry entry;
    qsizetype at = 0;
    while (at < datagram.size()) {
        const qsizetype end = datagram.indexOf('\n', at);
        if (end < 0)
            break;
        const QByteArray line = datagram.mid(at, end - at);
        const qsizetype equals = line.indexOf('=');
        if (equals >= 0) {
            entry.fields.insert(line.left(equals), line.mid(equals + 1));
            at = end + 1;
            continue;
        }
        quint64 length = 0;
        std::memcpy(&length, datagram.constData() + end + 1, sizeof length);
        entry.fields.insert(line, datagram.mid(end + 1 + 8, qsizetype(length)));
        at = end + 1 + 8 + qsizetype(length) + 1;
    }
    return entry;
}

class JournalTest : public DaemonRig {
  protected:
    QList<Entry> entries;
    std::unique_ptr<QSocketNotifier> reader;

    Appliance::Options applianceOptions() const override {
        Appliance::Options options;
        options.maxConnections = 1;
        return options;
    }
    QString requirements() override {
        const QString appliance = DaemonRig::requirements();
        return appliance.isEmpty() ? gJournalSkip : appliance;
    }
    void prepare() override {
        DaemonRig::prepare();
        reader = std::make_unique<QSocketNotifier>(gJournal, QSocketNotifier::Read);
        QObject::connect(reader.get(), &QSocketNotifier::activated, [this] {
            QByteArray datagram(256 * 1024, Qt::Uninitialized);
            const ssize_t got = ::recv(gJournal, datagram.data(), datagram.size(), MSG_DONTWAIT);
            if (got > 0)
                entries << parse(datagram.left(got));
        });
    }
    QList<QByteArray> messages(const QByteArray& priority) const {
        QList<QByteArray> out;
        for (const Entry& entry : entries)
            if (entry.fields.value("PRIORITY") == priority)
                out << entry.fields.value("MESSAGE");
        return out;
    }
    bool heard(const QByteArray& priority, const QByteArray& part, int timeoutMs = 60000) {
        return waitUntil(
            [&] {
                for (const QByteArray& message : messages(priority))
                    if (message.contains(part))
                        return true;
                return false;
            },
            timeoutMs);
    }
};

} // namespace

TEST(JournalPriority, WhatFailedIsAnErrorWhatIsTriedAgainAWarningTheRestInformation) {
    using P = SystemJournal::Priority;
    EXPECT_EQ(SystemJournal::priorityOf("@ERROR: auth failed on module backup"), P::Error);
    EXPECT_EQ(SystemJournal::priorityOf("rsync: connection unexpectedly closed (0 bytes received so far)"),
              P::Error);
    EXPECT_EQ(SystemJournal::priorityOf("Backup Stoped in the middle due to Quota Exceded."), P::Error);
    EXPECT_EQ(SystemJournal::priorityOf("Could not write backup set 3"), P::Error);
    EXPECT_EQ(SystemJournal::priorityOf("Retrying.."), P::Warning);
    EXPECT_EQ(SystemJournal::priorityOf(
                  "The appliance is busy (all its connections are taken), the set is tried again in 300 ms"),
              P::Warning);
    EXPECT_EQ(SystemJournal::priorityOf("ExecuteBackup Called"), P::Info);
    EXPECT_EQ(SystemJournal::priorityOf("Initial Backup Finished sucess full"), P::Info);
    // A file named like an error word is not an error when the line is not about failing.
    EXPECT_EQ(SystemJournal::priorityOf("current set going on is:File_3"), P::Info);
}

TEST_F(JournalTest, ADaemonRunLeavesItsTraceInTheJournalWithPrioritiesAndWithoutThePassword) {
    writeFile(home + QStringLiteral("/Documents/first.txt"), "first");
    writeDetails();
    startDaemon();
    ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 60000))
        << hostLog();
    EXPECT_TRUE(heard("6", "Initial Backup")) << hostLog();

    // Another program holds the appliance's only connection: the daemon waits, as a warning.
    // (The daemon may be listing the appliance for its index just now: take the connection once free.)
    QString error;
    ASSERT_TRUE(waitUntil([&] { return appliance->holdConnection(account, &error); }, 60000))
        << error.toStdString();
    writeFile(home + QStringLiteral("/Documents/second.txt"), "second");
    EXPECT_TRUE(heard("4", "The appliance is busy")) << trace().toStdString();
    appliance->releaseConnections();
    ASSERT_TRUE(waitUntil([&] { return QFile::exists(onAppliance(home + "/Documents/second.txt")); }, 60000))
        << trace().toStdString();

    // The password is changed on the appliance: the refusal is an error.
    ASSERT_TRUE(appliance->setPassword(account, QStringLiteral("an0ther one")));
    writeFile(home + QStringLiteral("/Documents/third.txt"), "third");
    EXPECT_TRUE(heard("3", "auth failed")) << trace().toStdString();

    for (const Entry& entry : entries) {
        EXPECT_EQ(entry.fields.value("SYSLOG_IDENTIFIER"), "ZorvikHollinWatcher");
        EXPECT_FALSE(entry.fields.value("MESSAGE").contains(password.toUtf8()));
        EXPECT_FALSE(entry.fields.value("MESSAGE").contains("an0ther one"));
    }
}

int main(int argc, char** argv) {
    // Before any thread exists: unshare(CLONE_NEWNS) is refused to a process with threads.
    gJournalSkip = setUpStandInJournal();
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
