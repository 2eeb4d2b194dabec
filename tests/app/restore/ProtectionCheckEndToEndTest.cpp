// "Check a File…" against what the whole system really leaves behind: the daemon (its test host, a
// process of its own) watching the fixture user's home and sending to the appliance fixture, the
// application's side on the same private bus. Each answer comes from a state the system built itself:
// a file the daemon backed up and merged into the account's index, one waiting while the appliance is
// away, folders and names kept out through the exclusion editor, a file rsync could not read, one made
// while the daemon was stopped and handed over with "Back Up Now", and one the person cannot reach.
// One appliance and one daemon serve every test; each test works in a folder of its own and leaves the
// appliance running and backups going.

#include "AppTestSupport.h"
#include "ChildProcess.h"
#include "DistributedNotificationCenter.h"
#include "PrivateBus.h"
#include "PropertyList.h"
#include "ProtectionCheck.h"
#include "Protocol.h"
#include "QtPrinters.h"
#include "UtilityClass.h"
#include "linux/DBusNotificationCenter.h"

#include <QDBusConnection>
#include <QLineEdit>
#include <QSaveFile>
#include <QTemporaryDir>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using Answer = ProtectionCheck::Answer;

const QString Account = QStringLiteral("ann");

// What the tests share: built once for the program, torn down at its end.
struct World {
    Appliance appliance;
    PrivateBus bus;
    TempRoot root;
    FixtureUser user;
    QString home;
    std::unique_ptr<FilePathsController> daemonPaths, appPaths;
    std::unique_ptr<DBusNotificationCenter> center; // the application's, as it runs
    QString connection;
    QObject listener;
    QStringList progress;
    pid_t daemon = -1;
    QString failure; // why the world could not be built ("" when it stands)

    QString hostLog() const { return root.path() + QStringLiteral("/host.log"); }

    void startDaemon() {
        daemon = ChildProcess::spawn({QStringLiteral(ZH_DAEMON_HOST), root.path(), user.name, bus.address()},
                                     hostLog(), hostLog());
    }
    // Ends the daemon the way its service manager does (SIGTERM, the watch closed cleanly).
    void stopDaemon() {
        if (daemon > 0)
            ChildProcess::terminate(daemon, 15000);
        daemon = -1;
    }
    // The supervisor's part: a daemon that exited on its own (a restart trigger) is started again.
    void supervise() {
        int status = 0;
        if (daemon > 0 && ::waitpid(daemon, &status, WNOHANG) == daemon)
            startDaemon();
    }

    QString build() {
        QString error;
        user = FixtureUser::get(&error);
        if (user.name.isEmpty())
            return QStringLiteral("no fixture user: ") + error;
        appliance.addUser(Account, QStringLiteral("check-fixture-only"));
        if (!appliance.start(&error))
            return QStringLiteral("appliance: ") + error;
        if (!bus.start(&error))
            return QStringLiteral("private dbus-daemon: ") + error;
        qputenv("ZH_TMUTIL_STATE", (root.path() + QStringLiteral("/tmutil-state.plist")).toUtf8());
        home = root.createHome(user);
        QDir().mkpath(root.path() + QStringLiteral("/etc"));
        // The machine as an installation leaves it, asking the first start for the initial backup.
        if (const QString installed = root.installBuild(); !installed.isEmpty())
            return installed;
        daemonPaths =
            std::make_unique<FilePathsController>(FilePathsController::Table::Daemon, root.profile());
        daemonPaths->setM_ConsoleUserName(user.name);
        appPaths =
            std::make_unique<FilePathsController>(FilePathsController::Table::Application, root.profile());
        appPaths->setM_ConsoleUserName(user.name);
        FileTools::makePath(daemonPaths->pathForApplicationFile(DaemonPath::UserSupportFolder));
        PropertyList::writeDictionary(
            daemonPaths->pathForApplicationFile(DaemonPath::UserDetails),
            accountRecord({{Protocol::Password, QStringLiteral("check-fixture-only")},
                           {Protocol::Ip, appliance.address()}}),
            PropertyList::OwnerOnlyMode);
        const QDBusConnection appBus = bus.connect(QStringLiteral("zh-app-check"));
        connection = appBus.name();
        if (!appBus.isConnected())
            return QStringLiteral("cannot connect to the private bus");
        center = std::make_unique<DBusNotificationCenter>(appBus, DistributedNotificationCenter::rootOnly());
        center->addObserver(&listener, Protocol::Progress, [this](const QString&, const QVariantMap& info) {
            const QVariant p = info.value(Protocol::KeyProgress);
            progress << (p.typeId() == QMetaType::QVariantMap ? QStringLiteral("file") : p.toString());
        });
        writeFile(home + QStringLiteral("/Documents/first.txt"), "first\n");
        startDaemon();
        if (!waitUntil([this] { return supervise(), progress.contains(Protocol::ProgressBackupCompleted); },
                       120000))
            return QStringLiteral("the initial backup did not complete:\n") +
                   readTrace(hostLog()).right(3000);
        return QString();
    }
    ~World() {
        stopDaemon();
        center.reset();
        if (!connection.isEmpty())
            QDBusConnection::disconnectFromBus(connection);
        qunsetenv("ZH_TMUTIL_STATE");
    }
};

World* world = nullptr;

class ProtectionCheckEndToEnd : public RequiringTest {
  public:
    static void SetUpTestSuite() {
        if (!Appliance::skipReason().isEmpty())
            return;
        world = new World;
        world->failure = world->build();
    }
    static void TearDownTestSuite() {
        delete world;
        world = nullptr;
    }

  protected:
    // Root, for the appliance fixture and for the person's rights.
    QString requirements() override { return Appliance::skipReason(); }
    void prepare() override {
        ASSERT_NE(world, nullptr);
        ASSERT_TRUE(world->failure.isEmpty()) << world->failure.toStdString();
        w = world;
        home = w->home;
    }
    void TearDown() override {
        // What a test changed about the world is put back for the next one.
        if (!w)
            return;
        if (!w->appliance.isRunning())
            w->appliance.start();
        if (w->daemon < 0)
            w->startDaemon();
        if (paused)
            pause(false);
    }

    ProtectionCheck::Result check(const QString& path) const {
        return ProtectionCheck::check(path, *w->appPaths, Account, UtilityClass::machineName());
    }
    // Waits (keeping the daemon supervised) until the check gives answer for path.
    bool answers(const QString& path, Answer answer, int timeoutMs = 60000) const {
        return until([&] { return check(path).answer == answer; }, timeoutMs);
    }
    bool until(const std::function<bool()>& condition, int timeoutMs = 60000) const {
        return waitUntil([&] { return w->supervise(), condition(); }, timeoutMs);
    }
    QString onAppliance(const QString& local) const {
        return w->appliance.modulePath() + u'/' + Account + u'/' + UtilityClass::machineName() + local;
    }
    bool arrived(const QString& local, const QByteArray& content, int timeoutMs = 60000) const {
        return until([&] { return readTrace(onAppliance(local)).toUtf8() == content; }, timeoutMs);
    }
    // A figure of the daemon's state file.
    int pending(QLatin1String key) const {
        return PropertyList::readDictionary(
                   w->daemonPaths->pathForApplicationFile(DaemonPath::UserSupportFolder) + u'/' +
                   Protocol::PendingStateFile)
            .value(key)
            .toInt();
    }
    QString trace() const {
        return readTrace(w->daemonPaths->pathForApplicationFile(DaemonPath::DaemonTrace));
    }
    QString sessionLogs() const {
        QString all;
        const QDir folder(w->daemonPaths->pathForApplicationFile(DaemonPath::SessionLogsFolder));
        for (const QString& name : folder.entryList(QDir::Files, QDir::Name))
            all += readTrace(folder.filePath(name));
        return all;
    }
    std::string log() const {
        return (readTrace(w->hostLog()).right(2000) + trace().right(5000)).toStdString();
    }
    // Backups paused or resumed as the application does it: the account record, then "PauseState"; the
    // daemon's session log says when it took the new state.
    void pause(bool on) {
        const QString record = w->daemonPaths->pathForApplicationFile(DaemonPath::UserDetails);
        QVariantMap details = PropertyList::readDictionary(record);
        details.insert(Protocol::PauseStateKey, on ? QStringLiteral("1") : QStringLiteral("0"));
        PropertyList::writeDictionary(record, details, PropertyList::OwnerOnlyMode);
        const QString said = on ? QStringLiteral("Pause state") : QStringLiteral("Resume state");
        const qsizetype before = sessionLogs().count(said);
        w->center->postNotification(Protocol::PauseState, {}, Protocol::PostDeliverImmediatelyToAllSessions);
        paused = on;
        EXPECT_TRUE(until([&] { return sessionLogs().count(said) > before; })) << log();
    }
    // A save as editors make it: the new content under a temporary name, renamed over the file.
    static void save(const QString& path, const QByteArray& content) {
        QSaveFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        ASSERT_TRUE(file.commit());
    }
    // A file written after the others reaches the appliance: what the daemon would have sent of them
    // by then has gone.
    void sendMarker(const QString& folder) {
        const QString marker = folder + QStringLiteral("/marker %1.txt").arg(++markers);
        writeFile(marker, "marker\n");
        ASSERT_TRUE(arrived(marker, "marker\n")) << log();
    }

    // Waits until the daemon has handled everything posted before: the bus keeps one sender's
    // notifications in order, and the daemon traces a "BackupNow" it takes.
    void barrier() {
        const QString path = home + QStringLiteral("/Documents/first.txt");
        const QString taken = QStringLiteral("BackupNow: %1 queued").arg(path);
        const qsizetype before = trace().count(taken);
        w->center->postNotification(Protocol::BackupNow, {{Protocol::KeyPath, path}},
                                    Protocol::PostDeliverImmediatelyToAllSessions);
        EXPECT_TRUE(until([&] { return trace().count(taken) > before; })) << log();
    }
    // A file that arrives in the home under its name already made unreadable for the person (root's,
    // mode 000), as a file copied in by an administrator is.
    void placeUnreadable(const QString& path, const QByteArray& content) {
        const QString made = w->root.path() + QStringLiteral("/unreadable.tmp");
        writeFile(made, content);
        ASSERT_EQ(::chmod(QFile::encodeName(made).constData(), 0), 0);
        QDir().mkpath(QFileInfo(path).path());
        ASSERT_EQ(::rename(QFile::encodeName(made).constData(), QFile::encodeName(path).constData()), 0);
    }
    ProtectionCheckDialog* dialogFor(const QString& path) {
        dialogs.push_back(std::make_unique<ProtectionCheckDialog>(
            path, *w->appPaths, Account, UtilityClass::machineName(), w->center.get()));
        return dialogs.back().get();
    }

    World* w = nullptr;
    std::vector<std::unique_ptr<ProtectionCheckDialog>> dialogs;
    QString home;
    bool paused = false;
    static inline int markers = 0;
};

} // namespace

// Sent, merged into the index: on the appliance with the same size. Saved again while backups are
// paused: it waits for the next backup, and once that has run it is on the appliance as it is now.
TEST_F(ProtectionCheckEndToEnd, ABackedUpFileIsOnTheApplianceAndAChangeToItWaitsUntilItIsSent) {
    const QString offer = home + QStringLiteral("/Letters/offer.txt");
    writeFile(offer, "first draft\n");
    ASSERT_TRUE(arrived(offer, "first draft\n")) << log();
    ASSERT_TRUE(answers(offer, Answer::OnAppliance)) << check(offer).sentence.toStdString() << log();
    ProtectionCheck::Result r = check(offer);
    EXPECT_TRUE(r.sentence.startsWith(QStringLiteral("\u201coffer.txt\u201d is on the appliance since ")))
        << r.sentence.toStdString();
    EXPECT_EQ(r.details.value(0), QStringLiteral("Same size as here (12 bytes)."));
    {
        ProtectionCheckDialog dialog(offer, *w->appPaths, Account, UtilityClass::machineName(),
                                     w->center.get());
        EXPECT_EQ(dialog.sentence(), r.sentence);
        EXPECT_TRUE(dialog.backUpNowButton()->isHidden());
        EXPECT_TRUE(dialog.stopExcludingButton()->isHidden());
    }

    pause(true);
    save(offer, "second draft, longer\n");
    // The collector still notes the change while backups are paused. Its lists are root's: the person
    // learns from the daemon's state file how many changes wait, and that this one is among them.
    ASSERT_TRUE(answers(offer, Answer::Waiting, 30000)) << check(offer).sentence.toStdString() << log();
    r = check(offer);
    EXPECT_TRUE(r.sentence.startsWith(QStringLiteral("\u201coffer.txt\u201d is waiting to be sent since ")));
    EXPECT_EQ(r.queuePosition, 0);
    EXPECT_GE(r.queueLength, 1);
    EXPECT_EQ(r.details,
              QStringList{QStringLiteral("It changed after the oldest of the %1 changes waiting to "
                                         "be sent was noted.")
                              .arg(r.queueLength)});
    EXPECT_EQ(readTrace(onAppliance(offer)), QStringLiteral("first draft\n")) << "sent while paused";

    pause(false);
    ASSERT_TRUE(arrived(offer, "second draft, longer\n")) << log();
    ASSERT_TRUE(until([&] {
        const ProtectionCheck::Result now = check(offer);
        return now.answer == Answer::OnAppliance &&
               now.details.value(0) == QStringLiteral("Same size as here (21 bytes).");
    })) << check(offer).details.join(u'\n').toStdString();
}

// The appliance away: a saved file waits while it is in the daemon's list, in the run that fails, and
// owed by it; back, it is sent.
TEST_F(ProtectionCheckEndToEnd, AFileSavedWhileTheApplianceIsAwayWaitsAndIsSentWhenItIsBack) {
    w->appliance.stop();
    const QString notes = home + QStringLiteral("/Away/notes.txt");
    writeFile(notes, "written while away\n");
    ASSERT_TRUE(answers(notes, Answer::Waiting)) << check(notes).sentence.toStdString() << log();
    const ProtectionCheck::Result r = check(notes);
    EXPECT_EQ(r.queuePosition, 0);
    EXPECT_GE(r.queueLength, 1);
    EXPECT_TRUE(r.since.isValid());
    EXPECT_LE(r.since, QFileInfo(notes).lastModified().addSecs(10));
    {
        ProtectionCheckDialog dialog(notes, *w->appPaths, Account, UtilityClass::machineName(),
                                     w->center.get());
        EXPECT_TRUE(dialog.sentence().startsWith(
            QStringLiteral("\u201cnotes.txt\u201d is waiting to be sent since ")));
        EXPECT_TRUE(dialog.details().startsWith(QStringLiteral("It changed after the oldest of the ")));
        EXPECT_TRUE(dialog.backUpNowButton()->isHidden());
    }
    // Taken into a run that cannot reach the appliance, then owed by it: still waiting, not unknown.
    namespace PS = Protocol::PendingState;
    ASSERT_TRUE(until([&] { return pending(PS::Sending) > 0; })) << log();
    EXPECT_EQ(check(notes).answer, Answer::Waiting) << check(notes).sentence.toStdString();
    ASSERT_TRUE(until([&] { return pending(PS::Owed) > 0 && pending(PS::Sending) == 0; })) << log();
    EXPECT_EQ(check(notes).answer, Answer::Waiting) << check(notes).sentence.toStdString();

    ASSERT_TRUE(w->appliance.start());
    ASSERT_TRUE(arrived(notes, "written while away\n", 120000)) << log();
    EXPECT_TRUE(answers(notes, Answer::OnAppliance)) << check(notes).sentence.toStdString();
}

// Kept out through the exclusion editor (a folder on the list, a name pattern): the daemon does not send
// them and the check names the rule. Lifted from the check's window: the folder that left the list is
// sent at once; a file a pattern kept out is one the watch never noted, and "Back Up Now" sends it.
TEST_F(ProtectionCheckEndToEnd, WhatTheExclusionEditorKeepsOutIsNamedAndLiftedFromTheCheck) {
    const QString projects = home + QStringLiteral("/Projects"),
                  secret = projects + QStringLiteral("/Private");
    QDir().mkpath(secret);
    sendMarker(projects);
    ExcludeController editor(w->root.profile(), w->center.get(), w->user.name);
    editor.setDetails();
    chooseInPanel(editor, secret);
    ASSERT_TRUE(editor.excludeList().contains(secret));
    editor.AddPattern();
    outlet<QLineEdit>(editor.operationSheet(), "panelInput")->setText(QStringLiteral("*.psd"));
    outlet<QPushButton>(editor.operationSheet(), "OKpanelBtn")->click();
    ASSERT_EQ(editor.excludePatterns(), QStringList{QStringLiteral("*.psd")});
    barrier();
    // The person's exclusions are theirs alone, as the editor writes them and whoever rewrites them.
    const QString listFile = w->appPaths->pathForApplicationFile(AppPath::InitialExcludeList),
                  patternFile = w->appPaths->pathForApplicationFile(AppPath::ExcludePattern);
    const auto mode = [](const QString& file) {
        struct stat info {};
        return ::stat(QFile::encodeName(file).constData(), &info) == 0 ? info.st_mode & 07777 : 0u;
    };
    EXPECT_EQ(mode(listFile), 0600u);
    EXPECT_EQ(mode(patternFile), 0600u);

    const QString diary = secret + QStringLiteral("/diary.txt"),
                  cover = projects + QStringLiteral("/cover.psd");
    writeFile(diary, "dear diary\n");
    writeFile(cover, "layers\n");
    sendMarker(projects);
    EXPECT_FALSE(QFile::exists(onAppliance(diary)));
    EXPECT_FALSE(QFile::exists(onAppliance(cover)));

    ProtectionCheck::Result r = check(diary);
    EXPECT_EQ(r.answer, Answer::Excluded);
    EXPECT_EQ(r.exclusion.kind, ExclusionRules::Kind::FolderList);
    EXPECT_EQ(r.sentence,
              QStringLiteral("\u201cdiary.txt\u201d is not backed up: it is excluded by your list of "
                             "excluded items (\u201c%1\u201d).")
                  .arg(secret));
    EXPECT_TRUE(r.canStopExcluding);
    r = check(cover);
    EXPECT_EQ(r.answer, Answer::Excluded);
    EXPECT_EQ(r.sentence, QStringLiteral("\u201ccover.psd\u201d is not backed up: it is excluded by the name "
                                         "pattern \u201c*.psd\u201d."));

    // The folder lifted from the answer's window: the daemon sends it with what arrived meanwhile.
    ProtectionCheckDialog* folderCheck = dialogFor(diary);
    ASSERT_FALSE(folderCheck->stopExcludingButton()->isHidden());
    folderCheck->stopExcludingButton()->click();
    EXPECT_TRUE(folderCheck->stopExcludingButton()->isHidden());
    EXPECT_NE(folderCheck->result().answer, Answer::Excluded);
    EXPECT_FALSE(PropertyList::readStringArray(listFile).contains(secret));
    EXPECT_EQ(mode(listFile), 0600u) << "rewritten by Stop Excluding It";
    ASSERT_TRUE(arrived(diary, "dear diary\n")) << log();
    EXPECT_TRUE(answers(diary, Answer::OnAppliance)) << check(diary).sentence.toStdString();
    ASSERT_TRUE(until([&] { return pending(Protocol::PendingState::Count) == 0; })) << log();

    // The pattern lifted: nothing the watch noted waits for the file, so the check offers to send it.
    ProtectionCheckDialog* patternCheck = dialogFor(cover);
    patternCheck->stopExcludingButton()->click();
    EXPECT_TRUE(PropertyList::readStringArray(patternFile).isEmpty());
    EXPECT_EQ(mode(patternFile), 0600u) << "rewritten by Stop Excluding It";
    EXPECT_EQ(patternCheck->result().answer, Answer::NeverSeen) << patternCheck->sentence().toStdString();
    ASSERT_FALSE(patternCheck->backUpNowButton()->isHidden());
    // Another local user listens to the bus while the person asks: the path is not theirs to hear.
    const passwd* nobody = ::getpwnam("nobody");
    QTemporaryDir dir;
    ::chmod(QFile::encodeName(dir.path()).constData(), 0777);
    const QString heard = dir.filePath(QStringLiteral("heard"));
    pid_t listener = -1;
    if (nobody && ::geteuid() == 0) {
        listener = ChildProcess::spawn(
            {QStringLiteral("env"), QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS=") + w->bus.address(),
             QStringLiteral("runuser"), QStringLiteral("-u"), QStringLiteral("nobody"), QStringLiteral("--"),
             QStringLiteral(ZH_NOTIFICATION_PEER), QStringLiteral("--listen"), heard});
        ASSERT_TRUE(until([&] { return QFile::exists(heard); })) << "the listener did not start";
    }
    patternCheck->backUpNowButton()->click();
    ASSERT_TRUE(arrived(cover, "layers\n")) << log();
    if (listener > 0) {
        ChildProcess::terminate(listener);
        EXPECT_FALSE(readTrace(heard).contains(QStringLiteral("cover.psd")))
            << readTrace(heard).toStdString();
    }
    EXPECT_TRUE(answers(cover, Answer::OnAppliance)) << check(cover).sentence.toStdString();
}

// A file the person cannot read: rsync, reading with their rights, fails on it and the daemon's session
// log keeps rsync's line; the check tells that line and offers nothing that cannot work. Readable again
// and saved, it is sent and the error is behind it.
TEST_F(ProtectionCheckEndToEnd, AFileRsyncCannotReadIsToldWithTheDaemonsOwnErrorLine) {
    const QString ledger = home + QStringLiteral("/Books/ledger.db");
    placeUnreadable(ledger, "numbers\n");
    ASSERT_TRUE(answers(ledger, Answer::SentWithError)) << check(ledger).sentence.toStdString() << log();
    const ProtectionCheck::Result r = check(ledger);
    EXPECT_TRUE(r.errorLine.contains(ledger)) << r.errorLine.toStdString();
    EXPECT_TRUE(r.errorLine.contains(QStringLiteral("Permission denied"))) << r.errorLine.toStdString();
    EXPECT_TRUE(sessionLogs().contains(r.errorLine)) << "not the daemon's own line";
    EXPECT_EQ(r.sentence,
              QStringLiteral("\u201cledger.db\u201d could not be sent the last time it was tried."));
    EXPECT_TRUE(r.unreadable);
    EXPECT_EQ(r.details.value(0), QStringLiteral("The session log says: ") + r.errorLine);
    EXPECT_EQ(r.details.value(1),
              QStringLiteral("You cannot read it, and the backup reads your files with your "
                             "rights: it cannot be sent until you can read it."));
    ProtectionCheckDialog* dialog = dialogFor(ledger);
    EXPECT_TRUE(dialog->backUpNowButton()->isHidden());
    EXPECT_TRUE(dialog->stopExcludingButton()->isHidden());
    EXPECT_FALSE(QFile::exists(onAppliance(ledger)));

    // Given to the person and saved again: sent, and the check says so.
    ASSERT_EQ(::chown(QFile::encodeName(ledger).constData(), w->user.uid, w->user.gid), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(ledger).constData(), 0600), 0);
    writeFile(ledger, "numbers, checked\n");
    ASSERT_TRUE(arrived(ledger, "numbers, checked\n")) << log();
    EXPECT_TRUE(answers(ledger, Answer::OnAppliance))
        << check(ledger).sentence.toStdString() << sessionLogs().toStdString();
}

// Made while the daemon was stopped (it ended cleanly, so its next start does not look through the
// home again): the backup never saw it, and "Back Up Now" in the check's window has the daemon send it.
// A file the person cannot read gets no such button.
TEST_F(ProtectionCheckEndToEnd, WhatWasSavedWhileTheDaemonWasStoppedIsSentByTheStartsCatchUp) {
    const QString later = home + QStringLiteral("/Later"),
                  made = later + QStringLiteral("/made while stopped.txt"),
                  sent = later + QStringLiteral("/sent before.txt");
    writeFile(sent, "v1\n");
    ASSERT_TRUE(arrived(sent, "v1\n")) << log();
    ASSERT_TRUE(answers(sent, Answer::OnAppliance)) << log();
    const QString watching = QStringLiteral("Watching file system events with");
    const qsizetype watches = trace().count(watching);
    ASSERT_TRUE(until([&] {
        return pending(Protocol::PendingState::Count) == 0 &&
               !QDir(w->daemonPaths->pathForApplicationFile(DaemonPath::SyncUpFolder)).exists();
    })) << log();

    w->stopDaemon();
    writeFile(made, "made while stopped\n");
    // Changed here after it was sent, with nothing running to notice: the index's copy is older.
    writeFile(sent, "v2, changed while stopped\n");
    ProtectionCheck::Result r = check(sent);
    EXPECT_EQ(r.answer, Answer::OnAppliance);
    EXPECT_EQ(
        r.details.value(0),
        QStringLiteral("It changed here since, and the backup has not noted that change: it is sent when "
                       "it changes next, or now with Back Up Now."));

    // The start looks for what changed while it was stopped and sends both, nothing else.
    w->startDaemon();
    ASSERT_TRUE(until([&] { return trace().count(watching) > watches; })) << log();
    ASSERT_TRUE(arrived(made, "made while stopped\n")) << log();
    ASSERT_TRUE(arrived(sent, "v2, changed while stopped\n")) << log();
    EXPECT_TRUE(trace().contains(QStringLiteral("ended cleanly"))) << log();
    EXPECT_FALSE(trace().contains(QStringLiteral("did not end cleanly")))
        << "the home was looked through again";
    EXPECT_TRUE(answers(made, Answer::OnAppliance)) << check(made).sentence.toStdString();
    EXPECT_TRUE(until([&] {
        return check(sent).details.value(0) == QStringLiteral("Same size as here (26 bytes).");
    })) << check(sent).details.join(u'\n').toStdString();
}

// A path behind a folder the person may not open: the check says they cannot reach it and offers no
// "Back Up Now"; asked anyway, the daemon refuses it and sends nothing.
TEST_F(ProtectionCheckEndToEnd, BackUpNowForAPathThePersonCannotReachIsRefused) {
    const QString outside = w->root.path() + QStringLiteral("/closed.tmp");
    writeFile(outside + QStringLiteral("/hidden.txt"), "hidden\n");
    ASSERT_EQ(::chmod(QFile::encodeName(outside).constData(), 0700), 0);
    const QString closed = home + QStringLiteral("/Closed"), hidden = closed + QStringLiteral("/hidden.txt");
    ASSERT_EQ(::rename(QFile::encodeName(outside).constData(), QFile::encodeName(closed).constData()), 0);

    const ProtectionCheck::Result r = check(hidden);
    EXPECT_EQ(r.answer, Answer::Missing);
    EXPECT_TRUE(r.unreadable);
    EXPECT_EQ(r.sentence,
              QStringLiteral("\u201c%1\u201d cannot be reached with your rights: a folder above it is "
                             "closed to you.")
                  .arg(hidden));
    ProtectionCheckDialog* dialog = dialogFor(hidden);
    EXPECT_TRUE(dialog->backUpNowButton()->isHidden());
    EXPECT_TRUE(dialog->stopExcludingButton()->isHidden());

    // Asked as the dialog would ask.
    w->center->postNotification(Protocol::BackupNow, {{Protocol::KeyPath, hidden}},
                                Protocol::PostDeliverImmediatelyToAllSessions);
    ASSERT_TRUE(until([&] {
        return trace().contains(QStringLiteral("BackupNow refused for \"%1\"").arg(hidden));
    })) << log();
    EXPECT_FALSE(trace().contains(QStringLiteral("BackupNow: %1 queued").arg(hidden)));
    sendMarker(home + QStringLiteral("/Documents"));
    EXPECT_FALSE(QFile::exists(onAppliance(hidden)));
}
