// The person at the screen against root's daemon, as a local user would try it: through the bus with
// their own account, with the daemon at the field's intervals. What they hand it is checked and what
// they make it write is bounded.

#include "DaemonRig.h"

#include <QScopeGuard>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

class PersonAttacks : public DaemonRig {
  protected:
    // The command that posts name count times as account, addressed to the daemon as the application
    // addresses it.
    QStringList postCommand(const QString& account, int count, const QString& name,
                            const QStringList& pairs = {}) const {
        return QStringList{QStringLiteral("env"),
                           QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=") + bus.address(),
                           QStringLiteral("runuser"),
                           QStringLiteral("-u"),
                           account,
                           QStringLiteral("--"),
                           QStringLiteral(ZH_NOTIFICATION_PEER),
                           QStringLiteral("--post"),
                           QString::number(count),
                           name} +
               pairs;
    }
    void postAsThePerson(int count, const QString& name, const QStringList& pairs = {}) {
        QByteArray out, errors;
        ASSERT_EQ(ChildProcess::run(postCommand(user.name, count, name, pairs), &out, &errors), 0)
            << errors.toStdString();
    }
};

} // namespace

TEST_F(PersonAttacks, ALineBreakInABackUpNowPathNamesNothingAndFloodsLeaveRootsTraceAsItWas) {
    ZH_SKIP_IF(user.uid == 0 ? QStringLiteral("needs a fixture account other than root") : QString());
    // Root's file, which the person may not read, named by a path the person can make real inside
    // their home: "<home>/evil<line feed>" followed by the file's own absolute path. Written to a list
    // of one path a line, it would become a second, unchecked path for root's rsync.
    const QString rootsFile = root.path() + QStringLiteral("/srv/root-only/ledger.txt");
    writeFile(rootsFile, "root's own");
    ASSERT_EQ(::chmod(QFile::encodeName(QFileInfo(rootsFile).path()).constData(), 0700), 0);
    const QString planted = home + QStringLiteral("/evil\n") + rootsFile;
    writeFile(planted, "the person's");
    user.handOver(home + QStringLiteral("/evil\n"));
    writeFile(home + QStringLiteral("/Documents/plain.txt"), "plain");
    writeDetails();
    startDaemon(QString(), true);
    ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 90000))
        << hostLog();
    const qint64 traceBefore = trace().size();

    postAsThePerson(1, Protocol::BackupNow, {QStringLiteral("path=") + planted});
    // Then a flood: paths longer than a path can be, paths nobody can see, and restore checks.
    postAsThePerson(300, Protocol::BackupNow, {QStringLiteral("path=/") + QString(5000, u'x')});
    postAsThePerson(300, Protocol::BackupNow, {QStringLiteral("path=/nowhere/") + QString(200, u'y')});
    postAsThePerson(100, Protocol::VerifyRestorable);
    // A path the person may name still works, and its run ends the look.
    const QString named = home + QStringLiteral("/Documents/plain.txt");
    writeFile(named, "named again");
    postAsThePerson(1, Protocol::BackupNow, {QStringLiteral("path=") + named});
    const QMap<QString, QByteArray> expected{{named, "named again"}};
    ASSERT_TRUE(arrived(expected, 60000)) << missing(expected).join(u' ').toStdString() << hostLog();

    EXPECT_FALSE(QFile::exists(onAppliance(rootsFile))) << "root's file was sent for the person";
    const QString after = trace().mid(traceBefore);
    EXPECT_FALSE(after.contains(QStringLiteral("BackupNow: ") + home + QStringLiteral("/evil")))
        << after.toStdString();
    // Each kind heard, and told once.
    EXPECT_TRUE(after.contains(QStringLiteral("BackupNow: ") + named + QStringLiteral(" queued")))
        << after.toStdString();
    EXPECT_EQ(after.count(QStringLiteral("BackupNow refused")), 1) << after.toStdString();
    EXPECT_EQ(after.count(QStringLiteral("Restore check asked for")), 1) << after.toStdString();
    // 700 requests leave a few lines, none of them long: the trace is not rotated away.
    EXPECT_LT(after.size(), 16 * 1024) << after.size();
    EXPECT_FALSE(after.contains(QString(300, u'x')));
}

TEST_F(PersonAttacks, WhileTheConsoleChangesHandsTheNextPersonCannotReinitializeTheLastOnesAccount) {
    ZH_SKIP_IF(user.uid == 0 ? QStringLiteral("needs fixture accounts other than root") : QString());
    QString error;
    const FixtureUser next =
        FixtureUser::account(QStringLiteral("zhsecond"), QStringLiteral("/home/zhsecond"), &error);
    ASSERT_EQ(next.name, QStringLiteral("zhsecond")) << error.toStdString();
    root.createHome(next);
    writeFile(home + QStringLiteral("/Documents/a.txt"), "a");
    user.handOver(home);
    writeDetails();
    const QString consoleFile = root.path() + QStringLiteral("/console-user");
    writeFile(consoleFile, user.name.toUtf8());
    // The machine knows its next person at once; the daemon hears of it two seconds later, as a
    // loaded machine may hear logind's signal.
    startDaemon(u'@' + consoleFile, false, {QStringLiteral("console-news-after=2000")});
    ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 60000))
        << hostLog();
    const QString accountFolder =
        paths.pathForApplicationFile(DaemonPath::UserSupportFolder) + u'/' + account;
    const auto inAccount = [&] {
        return QDir(accountFolder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    };
    ASSERT_TRUE(waitUntil([&] { return !inAccount().isEmpty(); }, 30000)) << "the index of the first backup";
    spinFor(1000);
    const QStringList before = inAccount();
    const qsizetype traceBefore = trace().size();

    // The console changes hands, and the next person asks at once, again and again, for a
    // "Reinitialize" of the account the objects still serve.
    writeFile(consoleFile, next.name.toUtf8());
    QByteArray out, errors;
    for (int round = 0; round < 4; ++round)
        EXPECT_EQ(ChildProcess::run(postCommand(next.name, 5, Protocol::Reinitialize), &out, &errors), 0)
            << errors.toStdString();
    ASSERT_TRUE(waitForExit(20000)) << "the console change ends the daemon";

    EXPECT_EQ(inAccount(), before) << "the last person's account folder was emptied";
    EXPECT_FALSE(QFile::exists(paths.pathForApplicationFile(DaemonPath::InstalMarker)))
        << "a \"Reinitialize\" of the next person was taken for the last one's";
    // The requests reached the daemon, which refused them as the next person's.
    EXPECT_TRUE(trace()
                    .mid(traceBefore)
                    .contains(QStringLiteral("\"Reinitialize\" from uid %1 refused").arg(next.uid)))
        << trace().mid(traceBefore).toStdString();
}
