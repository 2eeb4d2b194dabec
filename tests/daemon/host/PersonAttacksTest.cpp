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
    // Posts name count times as the fixture account, addressed to the daemon as the application does.
    void postAsThePerson(int count, const QString& name, const QStringList& pairs = {}) {
        QByteArray out, errors;
        const int status = ChildProcess::run(
            QStringList{QStringLiteral("env"), QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=") + bus.address(),
                        QStringLiteral("runuser"), QStringLiteral("-u"), user.name, QStringLiteral("--"),
                        QStringLiteral(ZH_NOTIFICATION_PEER), QStringLiteral("--post"),
                        QString::number(count), name} +
                pairs,
            &out, &errors);
        ASSERT_EQ(status, 0) << errors.toStdString();
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
