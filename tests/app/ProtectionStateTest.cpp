// What is not yet safe on the appliance, what the watch covers and the last restore check, as the tray's
// tooltip and the status window say it from the daemon's "PendingState.plist"; the desktop
// notifications for changes waiting too long, lost coverage and a failed restore check, once per
// episode under a controlled clock; "Check now" and the threshold's setting in the preferences.

#include "AppTestHost.h"
#include "AppTestSupport.h"
#include "HeldChangesDialog.h"
#include "PropertyList.h"
#include "ProtectionPanel.h"

#include <QApplication>
#include <QListWidget>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
namespace Key = Protocol::PendingState;

namespace {

const QDateTime kNow(QDate(2026, 3, 1), QTime(9, 0), Qt::UTC);

QString iso(const QDateTime& when) {
    return when.toUTC().toString(Qt::ISODate);
}

// The file as the daemon writes it with nothing waiting, the whole disk watched and no check yet.
QVariantMap calmState() {
    return pendingStateRecord({{Key::VerifyState, ""},
                               {Key::VerifyAttempted, ""},
                               {Key::Verified, ""},
                               {Key::VerifiedText, ""},
                               {Key::VerifiedFiles, "0"},
                               {Key::VerifiedSnapshot, ""},
                               {Key::Updated, iso(kNow)}});
}

QVariantMap with(QVariantMap state, const QVariantMap& changes) {
    for (auto it = changes.begin(); it != changes.end(); ++it)
        state.insert(it.key(), it.value());
    return state;
}

class ProtectionTextTest : public ::testing::Test {
  protected:
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void TearDown() override { QLocale::setDefault(QLocale::c()); }
    static ProtectionState state(const QVariantMap& changes) {
        return ProtectionState::fromMap(with(calmState(), changes));
    }
};

} // namespace

TEST_F(ProtectionTextTest, WhatWaitsInWords) {
    EXPECT_EQ(state({}).pendingText(kNow), QStringLiteral("All changes are on the Zorvik Hollin device"));
    EXPECT_EQ(state({{Key::Count, "12"}, {Key::Oldest, iso(kNow.addSecs(-200))}}).pendingText(kNow),
              QStringLiteral("12 changes waiting, the oldest from 3 minutes ago"));
    EXPECT_EQ(state({{Key::Count, "1"}, {Key::Oldest, iso(kNow.addSecs(-20))}}).pendingText(kNow),
              QStringLiteral("1 change waiting, from less than a minute ago"));
    EXPECT_EQ(state({{Key::Count, "3"}, {Key::Oldest, iso(kNow.addSecs(-7300))}}).pendingText(kNow),
              QStringLiteral("3 changes waiting, the oldest from 2 hours ago"));
    EXPECT_EQ(state({{Key::Count, "3"}, {Key::Oldest, iso(kNow.addDays(-3))}}).pendingText(kNow),
              QStringLiteral("3 changes waiting, the oldest from 3 days ago"));
    EXPECT_EQ(state({{Key::Count, "40"}, {Key::Paused, "1"}, {Key::Oldest, iso(kNow.addSecs(-60))}})
                  .pendingText(kNow),
              QStringLiteral("Paused — 40 changes waiting"));
    // Without a time (or with one the file cannot hold) the count still stands; without the sum, the
    // parts make it.
    EXPECT_EQ(state({{Key::Count, "5"}, {Key::Oldest, "yesterday"}}).pendingText(kNow),
              QStringLiteral("5 changes waiting"));
    QVariantMap parts = with(calmState(), {{Key::Collected, "2"}, {Key::Owed, "4"}});
    parts.remove(Key::Count);
    EXPECT_EQ(ProtectionState::fromMap(parts).count, 6);
    // A clock behind the daemon's does not make a negative age.
    EXPECT_EQ(state({{Key::Count, "2"}, {Key::Oldest, iso(kNow.addSecs(90))}}).pendingText(kNow),
              QStringLiteral("2 changes waiting, the oldest from less than a minute ago"));
}

TEST_F(ProtectionTextTest, WhatTheWatchCoversAndTheRestoreCheck) {
    EXPECT_EQ(state({}).watchText(), QStringLiteral("Watching the whole disk"));
    EXPECT_EQ(state({{Key::Watch, "users"}, {Key::WatchFolders, "1234"}}).watchText(),
              QStringLiteral("Watching the users folder (1,234 folders)"));
    EXPECT_TRUE(state({{Key::Watch, "users"}, {Key::WatchFolders, "9"}, {Key::WatchLimited, "1"}})
                    .watchText()
                    .contains(QStringLiteral("watch limit")));
    const ProtectionState lost = state({{Key::Watch, "rescanning"}, {Key::WatchSince, iso(kNow)}});
    EXPECT_TRUE(lost.coverageLost());
    EXPECT_TRUE(lost.watchText().startsWith(QStringLiteral("Events were lost at ")));
    EXPECT_TRUE(lost.watchText().endsWith(QStringLiteral(": rescanning")));
    EXPECT_EQ(state({{Key::Watch, "none"}, {Key::WatchReason, "fanotify_init: Operation not permitted"}})
                  .watchText(),
              QStringLiteral("Not watching: fanotify_init: Operation not permitted"));
    EXPECT_FALSE(state({}).coverageLost());

    EXPECT_EQ(state({}).verifyText(), QStringLiteral("No restore check yet"));
    EXPECT_EQ(state({{Key::VerifyState, "running"}}).verifyText(), QStringLiteral("Restore check running…"));
    const QString passed = QStringLiteral("Verified restorable on 2026-02-28: 50 files");
    EXPECT_EQ(state({{Key::VerifyState, "passed"}, {Key::VerifiedText, passed}}).verifyText(), passed);
    // A check that could not ask the appliance keeps the last result and says why beside it.
    const QString unavailable = state({{Key::VerifyState, "unavailable"},
                                       {Key::VerifyReason, "the appliance did not answer"},
                                       {Key::VerifyAttempted, iso(kNow)},
                                       {Key::VerifiedText, passed}})
                                    .verifyText();
    EXPECT_TRUE(unavailable.startsWith(passed + u'\n'));
    EXPECT_TRUE(unavailable.endsWith(QStringLiteral(": the appliance did not answer")));
    EXPECT_EQ(state({{Key::VerifyState, "nothing"}}).verifyText(),
              QStringLiteral("Restore check: no file to check yet"));
    const ProtectionView failed = ProtectionView::of(
        state({{Key::VerifyState, "failed"},
               {Key::VerifiedText, "Restore check on 2026-02-28: 2 of 50 files differ from "
                                   "the snapshot"},
               {Key::VerifiedFailures, QStringList{"/home/a/x", "/home/a/y"}}}),
        kNow);
    EXPECT_TRUE(failed.verifyFailed);
    EXPECT_EQ(failed.verify,
              QStringLiteral("Restore check on 2026-02-28: 2 of 50 files differ from the snapshot"));
}

TEST_F(ProtectionTextTest, AMissingOrDamagedFileIsNoState) {
    TempRoot root;
    EXPECT_FALSE(ProtectionState::read(root.path() + QStringLiteral("/PendingState.plist")).present);
    const QString damaged = root.path() + QStringLiteral("/damaged.plist");
    writeFile(damaged, "<?xml version=\"1.0\"?><plist><dict><key>count");
    EXPECT_FALSE(ProtectionState::read(damaged).present);
    EXPECT_FALSE(ProtectionView::of(ProtectionState::read(damaged), kNow).known);
    // Values that are not what they should be read as nothing rather than as garbage.
    const ProtectionState odd = state({{Key::Count, "-4"}, {Key::WatchFolders, "many"}});
    EXPECT_EQ(odd.count, 0);
    EXPECT_EQ(odd.watchFolders, 0);
}

namespace {

class ProtectionAppTest : public RequiringTest {
  protected:
    QDateTime clock = kNow;
    std::unique_ptr<AppTestHost> host;
    QVariantMap current = calmState();

    QString requirements() override {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        AppTestHost::Options options;
        options.windows = applicationWindows();
        options.desktop.now = [this] { return clock; };
        options.desktop.timings = {1h, 20min};
        options.desktop.protection = {100ms, 5min};
        host = std::make_unique<AppTestHost>(options);
        const QString why = host->setUp();
        return why.isEmpty() ? host->setUpDesktopNotifications() : why;
    }
    void TearDown() override { QLocale::setDefault(QLocale::c()); }
    void launchWith(const QVariantMap& state, bool local = true) {
        write(state);
        host->writeDetails({{Protocol::UserName, QStringLiteral("zhacct")},
                            {Protocol::LocalBackup, local ? QStringLiteral("1") : QStringLiteral("0")}});
        host->launch();
    }
    // The daemon rewrites the file and says so.
    void write(const QVariantMap& state) {
        current = state;
        ASSERT_TRUE(PropertyList::writeDictionary(host->supportFile(Protocol::PendingStateFile), state,
                                                  PropertyList::OwnerOnlyMode));
    }
    void announce(const QVariantMap& changes) {
        write(with(current, changes));
        host->postAsDaemon(Protocol::PendingStateChanged);
    }
    QWidget* window() { return host->app().statusWindow()->window(); }
    QString line(const char* name) { return text(window(), name); }
    int count(const QString& summary) const { return host->notificationService.count(summary); }
};

} // namespace

TEST_F(ProtectionAppTest, TheTooltipAndTheWindowSayWhatIsNotYetSafe) {
    launchWith(calmState());
    AppDelegate& app = host->app();
    const QString calm = QStringLiteral("All changes are on the Zorvik Hollin device");
    ASSERT_TRUE(waitUntil([&] { return line("protectionPending") == calm; }));
    EXPECT_EQ(app.statusItem()->toolTip(), QStringLiteral("ZorvikHollin\n") + calm);
    // The section is added below the two boxes, which keep their places.
    EXPECT_EQ(window()->height(), 499 + ProtectionPanel::Height);
    EXPECT_EQ(outlet(window(), "localBox")->y(), 499 - 147 - 244);
    EXPECT_FALSE(outlet(window(), "protectionBox")->isHidden());
    EXPECT_EQ(line("protectionWatch"), QStringLiteral("Watching the whole disk"));
    EXPECT_EQ(line("protectionVerify"), QStringLiteral("No restore check yet"));

    announce({{Key::Count, "12"}, {Key::Oldest, iso(clock.addSecs(-180))}});
    const QString waiting = QStringLiteral("12 changes waiting, the oldest from 3 minutes ago");
    ASSERT_TRUE(waitUntil([&] { return line("protectionPending") == waiting; }));
    EXPECT_TRUE(app.statusItem()->toolTip().endsWith(u'\n' + waiting));
    // The age moves with the clock without a word from the daemon.
    clock = clock.addSecs(120);
    ASSERT_TRUE(waitUntil([&] {
        return line("protectionPending") ==
               QStringLiteral("12 changes waiting, the oldest from 5 minutes ago");
    }));
    // A rewrite whose announcement got lost is read on the slow timer.
    write(with(current, {{Key::Count, "40"}, {Key::Paused, "1"}}));
    ASSERT_TRUE(waitUntil(
        [&] { return line("protectionPending") == QStringLiteral("Paused — 40 changes waiting"); }));

    announce({{Key::Watch, "users"}, {Key::WatchFolders, "1234"}});
    ASSERT_TRUE(waitUntil([&] {
        return line("protectionWatch") == QStringLiteral("Watching the users folder (1,234 folders)");
    }));
    announce({{Key::Watch, "none"}, {Key::WatchReason, "inotify_init1: Too many open files"}});
    ASSERT_TRUE(waitUntil([&] {
        return line("protectionWatch") == QStringLiteral("Not watching: inotify_init1: Too many open files");
    }));
    // The warning of the backup's age stays last in the tooltip.
    EXPECT_TRUE(app.statusItem()->toolTip().startsWith(QStringLiteral("ZorvikHollin\nPaused — 40")));
}

TEST_F(ProtectionAppTest, CheckNowAsksTheDaemonAndTheResultShows) {
    launchWith(calmState());
    ASSERT_TRUE(waitUntil([&] { return !outlet(window(), "protectionBox")->isHidden(); }));
    auto* check = outlet<QPushButton>(window(), "checkRestorable");
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(check->text(), QStringLiteral("Check now"));
    check->click();
    ASSERT_TRUE(waitUntil([&] { return host->posted().contains(Protocol::VerifyRestorable); }));
    EXPECT_TRUE(host->trace().contains(QStringLiteral("Restore check asked for")));

    announce({{Key::VerifyState, "running"}, {Key::VerifyAttempted, iso(clock)}});
    ASSERT_TRUE(
        waitUntil([&] { return line("protectionVerify") == QStringLiteral("Restore check running…"); }));
    EXPECT_FALSE(check->isEnabled());
    const QString passed = QStringLiteral("Verified restorable on 2026-03-01: 50 files");
    announce({{Key::VerifyState, "passed"}, {Key::Verified, iso(clock)}, {Key::VerifiedText, passed}});
    ASSERT_TRUE(waitUntil([&] { return line("protectionVerify") == passed; }));
    EXPECT_TRUE(check->isEnabled());

    // A damaged copy: the line, and a desktop notification naming how many files differ.
    const QString differ =
        QStringLiteral("Restore check on 2026-03-01: 2 of 50 files differ from the snapshot");
    write(with(current, {{Key::VerifyState, "failed"},
                         {Key::VerifiedText, differ},
                         {Key::VerifiedFailed, "2"},
                         {Key::VerifiedFailures, QStringList{"/home/zhacct/a.txt", "/home/zhacct/b.txt"}}}));
    host->postAsDaemon(Protocol::RestoreCheckFailed);
    const QString summary = QStringLiteral("Restore check found damaged copies");
    ASSERT_TRUE(waitUntil([&] { return count(summary) == 1; }));
    const QString body = host->notificationService.bodies.last();
    EXPECT_TRUE(body.startsWith(QStringLiteral("2 files differ from their copies in the newest snapshot")));
    EXPECT_TRUE(body.contains(QStringLiteral("/home/zhacct/a.txt, /home/zhacct/b.txt")));
    ASSERT_TRUE(waitUntil([&] { return line("protectionVerify") == differ; }));
    EXPECT_FALSE(outlet<QLabel>(window(), "protectionVerify")->styleSheet().isEmpty());
}

TEST_F(ProtectionAppTest, ChangesWaitingTooLongAreToldOncePerEpisodeWhileTheApplianceIsReachable) {
    launchWith(with(calmState(), {{Key::Count, "5"}, {Key::Oldest, iso(clock.addSecs(-30 * 60))}}));
    const QString summary = QStringLiteral("Changes are waiting to be backed up");
    ASSERT_TRUE(waitUntil([&] { return !line("protectionPending").startsWith(QStringLiteral("<no")); }));
    spinFor(300);
    EXPECT_EQ(count(summary), 0);
    // Past the hour: told once, however often the file is read again.
    clock = clock.addSecs(31 * 60);
    ASSERT_TRUE(waitUntil([&] { return count(summary) == 1; }));
    EXPECT_TRUE(host->notificationService.bodies.last().startsWith(
        QStringLiteral("5 changes have not reached the Zorvik Hollin device for 61 minutes.")));
    announce({{Key::Count, "6"}});
    spinFor(400);
    EXPECT_EQ(count(summary), 1);
    // Everything sent ends the episode; the next one is told again.
    announce({{Key::Count, "0"}, {Key::Oldest, ""}});
    ASSERT_TRUE(waitUntil([&] {
        return line("protectionPending") == QStringLiteral("All changes are on the Zorvik Hollin device");
    }));
    announce({{Key::Count, "2"}, {Key::Oldest, iso(clock.addSecs(-2 * 3600))}});
    ASSERT_TRUE(waitUntil([&] { return count(summary) == 2; }));

    // While the backup fails (the appliance out of reach) the failure speaks, not this.
    announce({{Key::Count, "0"}, {Key::Oldest, ""}});
    spinFor(300);
    host->postAsDaemon(Protocol::Progress, {{Protocol::KeyProgress, QString(Protocol::ProgressError)}});
    ASSERT_TRUE(waitUntil([&] { return host->app().backupHealth().failing(); }));
    announce({{Key::Count, "3"}, {Key::Oldest, iso(clock.addSecs(-2 * 3600))}});
    spinFor(500);
    EXPECT_EQ(count(summary), 2);
    // Paused by the person: quiet as well.
    host->postAsDaemon(Protocol::Progress,
                       {{Protocol::KeyProgress, QString(Protocol::ProgressBackupCompleted)}});
    announce({{Key::Paused, "1"}});
    spinFor(500);
    EXPECT_EQ(count(summary), 2);
    // Reachable and resumed: told.
    announce({{Key::Paused, "0"}});
    ASSERT_TRUE(waitUntil([&] { return count(summary) == 3; }));

    // The threshold is set in the preferences window.
    announce({{Key::Count, "0"}, {Key::Oldest, ""}});
    ASSERT_TRUE(waitUntil([&] {
        return line("protectionPending") == QStringLiteral("All changes are on the Zorvik Hollin device");
    }));
    host->app().Preferences();
    QSpinBox* minutes = nullptr;
    for (QWidget* top : QApplication::topLevelWidgets())
        minutes = minutes ? minutes : top->findChild<QSpinBox*>(QStringLiteral("pendingWarningMinutes"));
    ASSERT_NE(minutes, nullptr);
    EXPECT_EQ(minutes->value(), 60);
    minutes->setValue(10);
    EXPECT_EQ(host->app().protection().waitMinutes(), 10);
    announce({{Key::Count, "1"}, {Key::Oldest, iso(clock.addSecs(-11 * 60))}});
    ASSERT_TRUE(waitUntil([&] { return count(summary) == 4; }));
    EXPECT_TRUE(host->notificationService.bodies.last().startsWith(
        QStringLiteral("1 change has not reached the Zorvik Hollin device for 11 minutes.")));
}

TEST_F(ProtectionAppTest, LostCoverageIsToldWhenItLastsAndOncePerEpisode) {
    launchWith(calmState());
    const QString summary = QStringLiteral("Changes may go unnoticed");
    ASSERT_TRUE(
        waitUntil([&] { return line("protectionWatch") == QStringLiteral("Watching the whole disk"); }));
    announce({{Key::Watch, "rescanning"}, {Key::WatchSince, iso(clock)}});
    ASSERT_TRUE(waitUntil([&] { return line("protectionWatch").endsWith(QStringLiteral(": rescanning")); }));
    EXPECT_FALSE(outlet<QLabel>(window(), "protectionWatch")->styleSheet().isEmpty());
    // A rescan that ends within the grace is not worth a word.
    clock = clock.addSecs(60);
    announce({{Key::Watch, "disk"}, {Key::WatchSince, ""}});
    ASSERT_TRUE(
        waitUntil([&] { return line("protectionWatch") == QStringLiteral("Watching the whole disk"); }));
    clock = clock.addSecs(600);
    spinFor(300);
    EXPECT_EQ(count(summary), 0);
    // Lost for longer: told once.
    announce({{Key::Watch, "none"}, {Key::WatchReason, "fanotify_init: Operation not permitted"}});
    ASSERT_TRUE(
        waitUntil([&] { return line("protectionWatch").startsWith(QStringLiteral("Not watching")); }));
    clock = clock.addSecs(6 * 60);
    ASSERT_TRUE(waitUntil([&] { return count(summary) == 1; }));
    EXPECT_TRUE(host->notificationService.bodies.last().startsWith(
        QStringLiteral("Not watching: fanotify_init: Operation not permitted\n")));
    clock = clock.addSecs(3600);
    spinFor(300);
    EXPECT_EQ(count(summary), 1);
    // Back, then lost again: a new episode.
    announce({{Key::Watch, "disk"}, {Key::WatchReason, ""}});
    ASSERT_TRUE(
        waitUntil([&] { return line("protectionWatch") == QStringLiteral("Watching the whole disk"); }));
    announce({{Key::Watch, "rescanning"}, {Key::WatchSince, iso(clock)}});
    ASSERT_TRUE(waitUntil([&] { return line("protectionWatch").endsWith(QStringLiteral(": rescanning")); }));
    clock = clock.addSecs(6 * 60);
    ASSERT_TRUE(waitUntil([&] { return count(summary) == 2; }));
}

TEST_F(ProtectionAppTest, NothingIsSaidWithoutTheLocalBackup) {
    launchWith(with(calmState(), {{Key::Count, "9"}, {Key::Oldest, iso(clock.addDays(-1))}}), false);
    host->postAsDaemon(Protocol::PendingStateChanged);
    spinFor(500);
    EXPECT_EQ(host->app().statusItem()->toolTip(), QStringLiteral("ZorvikHollin"));
    EXPECT_TRUE(outlet(window(), "protectionBox")->isHidden());
    EXPECT_EQ(window()->height(), 385);
    EXPECT_TRUE(host->notificationService.summaries.isEmpty());
}

TEST_F(ProtectionAppTest, ChangesTheTripwireHoldsAreToldAtOnceWithTheFilesAndAWayToLetThemGo) {
    launchWith(calmState());
    const QStringList files{QStringLiteral("/home/ann/Documents/letter 1.txt"),
                            QStringLiteral("/home/ann/Documents/letter 2.txt")};
    announce({{Key::Count, "600"},
              {Key::Held, "600"},
              {Key::HeldChanged, "612"},
              {Key::HeldSince, iso(clock)},
              {Key::HeldFiles, files}});
    const QString summary = QStringLiteral("612 files changed at once — backups of them are held");
    ASSERT_TRUE(waitUntil([&] { return count(summary) == 1; }));
    EXPECT_EQ(line("protectionPending"), QStringLiteral("600 changes held after many files changed at once"));
    const int id = int(host->notificationService.summaries.indexOf(summary)) + 1;
    EXPECT_EQ(host->notificationService.actions.value(id - 1),
              (QStringList{"show-held", "Show Files", "continue", "Continue"}));
    // Told once per tripping, however often the file is rewritten.
    announce({{Key::Held, "601"}});
    spinFor(300);
    EXPECT_EQ(count(summary), 1);

    // "Show Files": the files the daemon names, and "Continue" there lets them go.
    host->notificationService.invoke(uint(id), QStringLiteral("show-held"));
    HeldChangesDialog* dialog = nullptr;
    ASSERT_TRUE(waitUntil([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = qobject_cast<HeldChangesDialog*>(w); d && d->isVisible())
                dialog = d;
        return dialog != nullptr;
    }));
    ASSERT_EQ(dialog->files()->count(), 2);
    EXPECT_EQ(dialog->files()->item(0)->text(), files.first());
    dialog->findChild<QPushButton*>(QStringLiteral("continue"))->click();
    ASSERT_TRUE(waitUntil([&] { return host->posted().contains(Protocol::ReleaseHeldChanges); }));
    // From the notification itself too.
    host->notificationService.invoke(uint(id), QStringLiteral("continue"));
    EXPECT_TRUE(waitUntil([&] { return host->posted().count(Protocol::ReleaseHeldChanges) == 2; }));

    // The notification gone, the menu leads to the held changes first, as long as any are held.
    QMenu* menu = host->app().statusMenu();
    ASSERT_NE(menu, nullptr);
    QMetaObject::invokeMethod(menu, "aboutToShow");
    QAction* item = menu->findChild<QAction*>(QStringLiteral("heldChangesItem"));
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(menu->actions().value(0), item);
    EXPECT_TRUE(item->isEnabled());
    item->trigger();
    ASSERT_TRUE(waitUntil([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (qobject_cast<HeldChangesDialog*>(w) && w->isVisible())
                return true;
        return false;
    }));
    announce({{Key::Count, "0"}, {Key::Held, "0"}, {Key::HeldSince, ""}, {Key::HeldChanged, "0"}});
    ASSERT_TRUE(
        waitUntil([&] { return line("protectionPending").startsWith(QStringLiteral("All changes")); }));
    QMetaObject::invokeMethod(menu, "aboutToShow");
    EXPECT_EQ(menu->findChild<QAction*>(QStringLiteral("heldChangesItem")), nullptr);
    EXPECT_EQ(menu->actions().value(0)->text(), QStringLiteral("Reinitialize"));
}
