// Desktop notifications once per change of state and none for a routine success; "no backup for N days"
// under a controlled clock, in the tooltip and the status window, and its setting in the preferences.

#include "AppTestHost.h"
#include "ApplicationWindows.h"
#include "EventLoopWait.h"
#include "Protocol.h"
#include "Requirements.h"

#include <QApplication>
#include <QLabel>
#include <QSpinBox>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

class BackupHealthTest : public RequiringTest {
  protected:
    QDateTime clock = QDateTime(QDate(2026, 3, 1), QTime(9, 0), Qt::UTC);
    std::unique_ptr<AppTestHost> host;

    QString requirements() override {
        AppTestHost::Options options;
        options.windows = applicationWindows();
        options.desktop.now = [this] { return clock; };
        options.desktop.timings = {50ms, 300ms};
        host = std::make_unique<AppTestHost>(options);
        const QString why = host->setUp();
        return why.isEmpty() ? host->setUpDesktopNotifications() : why;
    }
    void prepare() override {
        host->writeDetails(
            {{Protocol::UserName, QStringLiteral("zhacct")}, {Protocol::LocalBackup, QStringLiteral("1")}});
        host->launch();
    }
    void report(QLatin1String text) {
        host->postAsDaemon(Protocol::Progress, {{Protocol::KeyProgress, QString(text)}});
    }
    int count(const char* summary) const {
        return host->notificationService.count(QString::fromUtf8(summary));
    }
    QString statusLine() {
        return host->app().statusWindow()->window()->findChild<QLabel*>("lastBackup")->text();
    }
};

} // namespace

TEST_F(BackupHealthTest, OneNotificationPerChangeOfStateAndNoneForARoutineSuccess) {
    report(Protocol::ProgressQuotaExceeded);
    report(Protocol::ProgressQuotaExceeded);
    ASSERT_TRUE(waitUntil([&] { return count("Storage is full") == 1; }));
    // A completed backup ends the state without a word; the next quota report is a new change.
    report(Protocol::ProgressBackupCompleted);
    report(Protocol::ProgressQuotaExceeded);
    ASSERT_TRUE(waitUntil([&] { return count("Storage is full") == 2; }));

    // An error that a completed backup follows within the retries is no failure; one that none follows
    // is, once, however many errors come.
    report(Protocol::ProgressError);
    report(Protocol::ProgressBackupCompleted);
    spinFor(1500);
    EXPECT_EQ(count("Backup failed"), 0);
    report(Protocol::ProgressError);
    ASSERT_TRUE(waitUntil([&] { return count("Backup failed") == 1; }));
    report(Protocol::ProgressError);
    host->postAsDaemon(Protocol::IntialBackupFailedDueToNetworkConnection);
    spinFor(1500);
    EXPECT_EQ(host->notificationService.summaries.size(), 3);
    EXPECT_TRUE(host->trace().contains(QStringLiteral("Desktop notification: Backup failed")));
}

TEST_F(BackupHealthTest, NoBackupForNDaysComesWithTheClockAndGoesWithTheNextBackup) {
    AppDelegate& app = host->app();
    const QStringList& sent = host->notificationService.summaries;
    clock = clock.addDays(6);
    spinFor(300);
    EXPECT_TRUE(sent.isEmpty());
    clock = clock.addDays(1);
    ASSERT_TRUE(waitUntil([&] { return sent.size() == 1; }));
    EXPECT_EQ(sent.first(), QStringLiteral("No backup for 7 days"));
    EXPECT_EQ(host->notificationService.bodies.first(), QStringLiteral("No backup has completed yet."));
    EXPECT_TRUE(app.statusItem()->toolTip().endsWith(QStringLiteral("\nNo backup for 7 days")));
    EXPECT_EQ(statusLine(), QStringLiteral("No backup for 7 days"));
    // Another day of it is the same state: the text follows, no second notification.
    clock = clock.addDays(1);
    ASSERT_TRUE(waitUntil([&] { return statusLine() == QStringLiteral("No backup for 8 days"); }));
    report(Protocol::ProgressBackupCompleted);
    ASSERT_TRUE(waitUntil([&] { return app.backupHealth().warning().isEmpty(); }));
    EXPECT_FALSE(app.statusItem()->toolTip().contains(QStringLiteral("No backup")));
    EXPECT_FALSE(statusLine().contains(QStringLiteral("No backup for")));
    EXPECT_EQ(sent.size(), 1);

    // N is set in the exclusion editor's window.
    app.Preferences();
    QSpinBox* days = nullptr;
    for (QWidget* window : QApplication::topLevelWidgets())
        days = days ? days : window->findChild<QSpinBox*>(QStringLiteral("noBackupWarningDays"));
    ASSERT_NE(days, nullptr);
    EXPECT_EQ(days->value(), 7);
    days->setValue(2);
    clock = clock.addDays(2);
    ASSERT_TRUE(waitUntil([&] { return sent.size() == 2; }));
    EXPECT_EQ(sent.last(), QStringLiteral("No backup for 2 days"));
    EXPECT_TRUE(
        host->notificationService.bodies.last().startsWith(QStringLiteral("The last backup completed on")));
}
