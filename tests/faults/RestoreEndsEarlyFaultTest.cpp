// The application ended during a restore, or in the delay after it, every way the field ends it: killed
// (SIGKILL) and started again, "Quit Zorvik Hollin", and the session's end (SIGTERM, SIGHUP). The
// application is its real object graph in a process of its own (zh-app-host), the restore goes through
// the restore window against the appliance fixture, the person's own exclusion is made in the exclusion
// editor, and the test listens on the private bus as the daemon does. Whatever ends the application,
// no exclusion the restore added outlives it, the daemon is told to queue the item ("Exclude" "Type" "1"),
// and the person's own exclusions stay, one of the very folder a restore writes included. Root, for the
// appliance.

#include "Appliance.h"
#include "EventLoopWait.h"
#include "FileTools.h"
#include "PrivateBus.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "Requirements.h"
#include "TestRoots.h"
#include "linux/DBusNotificationCenter.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <csignal>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

const QString Account = QStringLiteral("zhends");
const QString TestPassword = QStringLiteral("fixture-only");
constexpr int BigSize = 64 * 1024 * 1024;

// The application as a process, driven over its standard input; what it says, line by line.
class ApplicationProcess {
  public:
    ApplicationProcess(const TempRoot& root, const QString& user, const QString& bus) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus);
        mProcess.setProcessEnvironment(env);
        QObject::connect(&mProcess, &QProcess::readyReadStandardOutput, [this] {
            while (mProcess.canReadLine())
                mLines << QString::fromUtf8(mProcess.readLine()).trimmed();
        });
        mProcess.start(QStringLiteral(ZH_APP_HOST), {root.path(), user, bus});
    }
    ~ApplicationProcess() {
        if (mProcess.state() != QProcess::NotRunning) {
            mProcess.kill();
            mProcess.waitForFinished();
        }
    }
    // The next line said that starts with prefix, once said; "" when it is not said in time.
    QString waitFor(const QString& prefix, int timeoutMs = 120000) {
        QString found;
        waitUntil(
            [&] {
                for (qsizetype i = mRead; i < mLines.size(); ++i)
                    if (mLines.at(i).startsWith(prefix)) {
                        mRead = i + 1;
                        return !(found = mLines.at(i)).isEmpty();
                    }
                return mProcess.state() == QProcess::NotRunning;
            },
            timeoutMs);
        return found;
    }
    void send(const QStringList& fields) { mProcess.write((fields.join(u'\t') + u'\n').toUtf8()); }
    void signal(int number) { ::kill(pid_t(mProcess.processId()), number); }
    bool ended(int timeoutMs = 60000) {
        return waitUntil([&] { return mProcess.state() == QProcess::NotRunning; }, timeoutMs);
    }
    bool endedCleanly() const {
        return mProcess.exitStatus() == QProcess::NormalExit && mProcess.exitCode() == 0;
    }
    QString said() { return mLines.join(u'\n') + u'\n' + QString::fromUtf8(mProcess.readAllStandardError()); }
    QProcess& process() { return mProcess; }

  private:
    QProcess mProcess;
    QStringList mLines;
    qsizetype mRead = 0; // lines before this one were waited for
};

class RestoreEndsEarly : public RequiringTest {
  protected:
    static inline std::unique_ptr<Appliance> appliance;
    static inline QString applianceSkip;

    static void SetUpTestSuite() {
        if (!(applianceSkip = Appliance::skipReason()).isEmpty())
            return;
        appliance = std::make_unique<Appliance>();
        QString error;
        if (!appliance->start(&error))
            applianceSkip = QStringLiteral("appliance did not start: ") + error;
        appliance->addUser(Account, TestPassword);
        appliance->putFile(Account + QStringLiteral("/Big.bin"), QByteArray(BigSize, 'b'));
        appliance->putFile(Account + QStringLiteral("/notes.txt"), "notes\n");
        appliance->putFile(Account + QStringLiteral("/Letters/to ann.txt"), "Dear Ann,\n");
    }
    static void TearDownTestSuite() { appliance.reset(); }

    QString requirements() override { return applianceSkip; }
    void prepare() override {
        QString error;
        user = FixtureUser::get(&error);
        ASSERT_FALSE(user.name.isEmpty()) << error.toStdString();
        // The private rsync copy where the package puts it: the application runs it when the system's
        // rsync is not the one it expects.
        const QString installed = root.installBuild();
        ASSERT_TRUE(installed.isEmpty()) << installed.toStdString();
        home = root.createHome(user);
        support = root.profile().userSupportFolder(user.name);
        // The application runs as the person and owns its support folder; here that is the test's account.
        ASSERT_TRUE(FileTools::makePath(support, 0700));
        ASSERT_EQ(::chown(QFile::encodeName(support).constData(), ::geteuid(), ::getegid()), 0);
        ASSERT_TRUE(bus.start(&error)) << error.toStdString();
        daemonSide = std::make_unique<DBusNotificationCenter>(bus.connect(QStringLiteral("daemon")),
                                                              [](uint) { return true; });
        daemonSide->addObserver(&observer, Protocol::Exclude,
                                [this](const QString&, const QVariantMap& info) {
                                    excludes << info.value(Protocol::KeyType).toString();
                                });
        destination = home + QStringLiteral("/Downloads");
        QDir().mkpath(destination);
    }
    void TearDown() override {
        for (const qint64 group : std::as_const(restoreGroups))
            ::kill(-pid_t(group), SIGKILL);
    }

    // What the log-in leaves (the log-out of "Quit" removes it).
    void logIn() {
        ASSERT_TRUE(PropertyList::writeDictionary(support + u'/' + Protocol::UserDetailsFile,
                                                  {{Protocol::UserName, Account},
                                                   {Protocol::Password, TestPassword},
                                                   {Protocol::Ip, appliance->address()},
                                                   {Protocol::Login, QStringLiteral("1")},
                                                   {Protocol::LocalBackup, QStringLiteral("1")}},
                                                  PropertyList::OwnerOnlyMode));
    }
    QStringList excludeList() const {
        return PropertyList::readStringArray(support + u'/' + Protocol::InitialExcludeListFile);
    }
    QString recordPath() const { return support + u'/' + Protocol::RestoreExclusionsFile; }
    QString trace() const { return readTrace(support + u'/' + Protocol::InteractiveTraceFile); }

    // Starts the restore of name and holds its rsync mid-transfer (stopped, as a slow link holds it);
    // the process group of that rsync.
    qint64 restoreHeldMidTransfer(ApplicationProcess& app, const QString& name) {
        app.send({QStringLiteral("restore"), name, destination});
        const QString restoring = app.waitFor(QStringLiteral("restoring "));
        const qint64 group = restoring.section(u' ', 1).toLongLong();
        EXPECT_GT(group, 0) << app.said().toStdString() << trace().toStdString();
        if (group <= 0)
            return 0;
        restoreGroups << group;
        ::kill(-pid_t(group), SIGSTOP);
        return group;
    }
    static bool gone(qint64 pid) {
        return waitUntil(
            [pid] {
                QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
                return !stat.open(QIODevice::ReadOnly) || stat.readAll().contains(") Z ");
            },
            30000);
    }

    TempRoot root;
    FixtureUser user;
    QString home, support, destination;
    PrivateBus bus;
    std::unique_ptr<DBusNotificationCenter> daemonSide;
    QObject observer;
    QStringList excludes; // the "Type" of every "Exclude" the daemon side heard
    QList<qint64> restoreGroups;
};

} // namespace

TEST_F(RestoreEndsEarly, KilledMidRestoreTheNextStartLiftsWhatTheRestoreExcludedAndTheDaemonQueuesIt) {
    const QString music = home + QStringLiteral("/Music");
    QDir().mkpath(music);
    logIn();
    const QString target = destination + QStringLiteral("/Big.bin");
    {
        ApplicationProcess app(root, user.name, bus.address());
        ASSERT_FALSE(app.waitFor(QStringLiteral("launched")).isEmpty()) << app.said().toStdString();
        // The person keeps a folder of their own out of the backup.
        app.send({QStringLiteral("exclude"), music});
        ASSERT_FALSE(app.waitFor(QStringLiteral("excluded")).isEmpty()) << app.said().toStdString();
        ASSERT_TRUE(waitUntil([&] { return excludeList().contains(music); }));

        const qint64 group = restoreHeldMidTransfer(app, QStringLiteral("Big.bin"));
        ASSERT_GT(group, 0);
        EXPECT_TRUE(waitUntil([&] {
            return excludeList() == QStringList{music, target};
        })) << excludeList().join(u' ').toStdString();
        EXPECT_NE(QFileInfo(target).size(), BigSize);
        // Killed: nothing of it runs any more; its restore's rsync is left over, and ended here.
        app.process().kill();
        ASSERT_TRUE(app.ended());
        ::kill(-pid_t(group), SIGKILL);
        ASSERT_TRUE(gone(group));
    }
    // What the kill leaves: the item out of the backup, and the record saying the restore put it there.
    ASSERT_EQ(excludeList(), (QStringList{music, target}));
    EXPECT_EQ(PropertyList::readStringArray(recordPath()), QStringList{target});
    EXPECT_EQ(QFileInfo(recordPath()).permissions() &
                  (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
              QFile::Permissions());

    // The next start lifts it, tells the daemon to queue it, and leaves the person's own folder.
    excludes.clear();
    ApplicationProcess again(root, user.name, bus.address());
    ASSERT_FALSE(again.waitFor(QStringLiteral("launched")).isEmpty()) << again.said().toStdString();
    EXPECT_EQ(excludeList(), QStringList{music});
    EXPECT_FALSE(QFileInfo::exists(recordPath()));
    EXPECT_TRUE(waitUntil([&] { return excludes.contains(QString(Protocol::ExcludeTypeUser)); }))
        << excludes.join(u' ').toStdString();
    EXPECT_TRUE(trace().contains(QStringLiteral("Lifted the exclusion of %1 left by a restore").arg(target)))
        << trace().toStdString();
    again.signal(SIGTERM);
    EXPECT_TRUE(again.ended());
}

TEST_F(RestoreEndsEarly, AQuitOrTheSessionsEndDuringARestoreOrItsDelayLiftsWhatTheRestoreExcluded) {
    struct Case {
        const char* how;
        int signal;       // 0: "Quit Zorvik Hollin"
        bool midTransfer; // else just after the restore finished, within its release delay
    };
    const QString person = home + QStringLiteral("/Music");
    QDir().mkpath(person);
    for (const Case& c :
         {Case{"quit mid-transfer", 0, true}, Case{"SIGTERM mid-transfer", SIGTERM, true},
          Case{"SIGHUP mid-transfer", SIGHUP, true}, Case{"quit after the restore", 0, false}}) {
        SCOPED_TRACE(c.how);
        logIn();
        excludes.clear();
        const QString name = c.midTransfer ? QStringLiteral("Big.bin") : QStringLiteral("notes.txt");
        const QString target = destination + u'/' + name;
        ApplicationProcess app(root, user.name, bus.address());
        ASSERT_FALSE(app.waitFor(QStringLiteral("launched")).isEmpty()) << app.said().toStdString();
        if (!excludeList().contains(person)) {
            app.send({QStringLiteral("exclude"), person});
            ASSERT_FALSE(app.waitFor(QStringLiteral("excluded")).isEmpty()) << app.said().toStdString();
            ASSERT_TRUE(waitUntil([&] { return excludeList().contains(person); }));
        }
        qint64 group = 0;
        if (c.midTransfer) {
            group = restoreHeldMidTransfer(app, name);
            ASSERT_GT(group, 0);
        } else {
            app.send({QStringLiteral("restore"), name, destination});
            ASSERT_FALSE(app.waitFor(QStringLiteral("finished")).isEmpty()) << app.said().toStdString();
            EXPECT_EQ(QFileInfo(target).size(), 6);
        }
        EXPECT_TRUE(waitUntil([&] { return excludeList().contains(target); }));

        if (c.signal == 0)
            app.send({QStringLiteral("quit")});
        else
            app.signal(c.signal);
        ASSERT_TRUE(app.ended()) << app.said().toStdString();
        EXPECT_TRUE(app.endedCleanly()) << app.said().toStdString();
        if (group > 0) {
            EXPECT_TRUE(gone(group)) << "the restore's rsync outlived the application";
        }
        EXPECT_EQ(excludeList(), QStringList{person});
        EXPECT_FALSE(QFileInfo::exists(recordPath()));
        EXPECT_TRUE(waitUntil([&] { return excludes.contains(QString(Protocol::ExcludeTypeUser)); }))
            << excludes.join(u' ').toStdString();
        if (c.signal != 0) {
            EXPECT_TRUE(trace().contains(QStringLiteral("Zorvik Hollin ended by SIG")));
        }
        QFile::remove(target);
    }
}

TEST_F(RestoreEndsEarly, AFolderThePersonExcludedStaysExcludedWhenARestoreWritesIntoIt) {
    logIn();
    // The person keeps their letters folder out of the backup; a restore writes the appliance's
    // "Letters" into it.
    const QString letters = destination + QStringLiteral("/Letters");
    QDir().mkpath(letters);
    ApplicationProcess app(root, user.name, bus.address());
    ASSERT_FALSE(app.waitFor(QStringLiteral("launched")).isEmpty()) << app.said().toStdString();
    app.send({QStringLiteral("exclude"), letters});
    ASSERT_FALSE(app.waitFor(QStringLiteral("excluded")).isEmpty()) << app.said().toStdString();
    ASSERT_TRUE(waitUntil([&] { return excludeList() == QStringList{letters}; }));
    // The editor's own notice of the edit may reach the bus after the list reaches the disk.
    ASSERT_TRUE(waitUntil([&] { return excludes.contains(QString(Protocol::ExcludeTypeUser)); }))
        << excludes.join(u' ').toStdString();
    excludes.clear();

    app.send({QStringLiteral("restore"), QStringLiteral("Letters"), destination});
    ASSERT_FALSE(app.waitFor(QStringLiteral("finished")).isEmpty()) << app.said().toStdString();
    EXPECT_TRUE(QFileInfo::exists(letters + QStringLiteral("/to ann.txt")));
    // Past the restore's release delay, and past the application's end: still the person's.
    spinFor(12000);
    EXPECT_EQ(excludeList(), QStringList{letters});
    app.send({QStringLiteral("quit")});
    ASSERT_TRUE(app.ended()) << app.said().toStdString();
    EXPECT_EQ(excludeList(), QStringList{letters});
    EXPECT_FALSE(QFileInfo::exists(recordPath()));
    EXPECT_TRUE(excludes.isEmpty()) << excludes.join(u' ').toStdString();
}
