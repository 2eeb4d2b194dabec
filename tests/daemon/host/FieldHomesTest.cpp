// The whole daemon with homes as they are in the field (behind a link, outside the users folder), the
// hidden files of a desktop session, and saves made while the daemon was not running (stopped, killed,
// between a restart trigger and the supervisor's start).

#include "DaemonRig.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

namespace {

using Files = QMap<QString, QByteArray>;

class FieldHomes : public DaemonRig {
  protected:
    // Writes files (relative to the home) the person owns, as their programs would: nothing else in
    // the home is touched.
    Files put(const Files& relative) {
        Files out;
        for (auto it = relative.cbegin(); it != relative.cend(); ++it) {
            const QString path = home + u'/' + it.key();
            writeFile(path, it.value());
            out.insert(path, it.value());
            for (QString p = path; p != home; p = QFileInfo(p).path())
                if (QFileInfo(p).ownerId() != user.uid)
                    ::lchown(QFile::encodeName(p).constData(), user.uid, user.gid);
        }
        return out;
    }
    void firstBackup(const Files& files) {
        writeDetails();
        startDaemon();
        ASSERT_TRUE(arrived(files, 60000)) << missing(files).join(u' ').toStdString() << hostLog();
        ASSERT_TRUE(waitUntil([&] { return progress.contains(Protocol::ProgressBackupCompleted); }, 30000));
    }
    void restartAfter(int status) {
        ASSERT_TRUE(waitForExit()) << hostLog();
        EXPECT_EQ(exitStatuses.last(), status);
    }
    // How often the session logs say a file named name was sent.
    int sent(const QString& name) const {
        const QRegularExpression line(
            QStringLiteral("Backup completed for [^\\n]*/%1 *\\n").arg(QRegularExpression::escape(name)));
        return int(sessionLogs().count(line));
    }
};

class HomeBehindALinkRig : public FieldHomes {
  protected:
    void prepare() override {
        ASSERT_TRUE(root.linkUsersFolder());
        DaemonRig::prepare();
    }
};

class HomeOutsideTheUsersFolder : public FieldHomes {
  protected:
    HomeOutsideTheUsersFolder() { user = FixtureUser::account("zhdatahome", "/data/home/zhdatahome"); }
    QString requirements() override {
        return needs::all(DaemonRig::requirements(), needs::root("a local account whose home is elsewhere"));
    }
};

} // namespace

TEST_F(HomeBehindALinkRig, EveryChangeAfterTheInitialBackupArrivesUnderTheHomesOwnName) {
    ASSERT_TRUE(QFileInfo(root.path() + "/home").isSymLink());
    Files files = put({{"Documents/Report.odt", "first"}, {"Pictures/summer.jpg", "jpeg"}});
    firstBackup(files);
    // Saved in place, through a temporary name, and new.
    files.insert(put({{"Documents/Report.odt", "second, longer"}, {"Documents/new.txt", "new"}}));
    writeFile(home + "/Documents/lu77.tmp", "third");
    ASSERT_EQ(::rename(QFile::encodeName(home + "/Documents/lu77.tmp").constData(),
                       QFile::encodeName(home + "/Pictures/summer.jpg").constData()),
              0);
    files[home + "/Pictures/summer.jpg"] = "third";
    EXPECT_TRUE(arrived(files, 40000)) << missing(files).join(u' ').toStdString() << hostLog();
    EXPECT_FALSE(QFile::exists(onAppliance(root.path() + "/var/home")))
        << "the same files under a second name on the appliance";
}

TEST_F(HomeOutsideTheUsersFolder, ItsFilesAndAFolderThatMerelyReadsLikeAHomeAreBackedUp) {
    EXPECT_EQ(home, root.path() + "/data/home/zhdatahome");
    Files files = put({{"Documents/a.txt", "a"}});
    // Beside it on the same disk: a folder whose name only begins like the users folder's, and
    // another account's home, which is theirs.
    writeFile(root.path() + "/data/homework/plan.txt", "plan");
    writeFile(root.path() + "/data/home/otheruser/diary.txt", "private");
    const FixtureUser nobody{QStringLiteral("nobody"), 65534, 65534, {}};
    nobody.handOver(root.path() + "/data/home/otheruser");
    files.insert(root.path() + "/data/homework/plan.txt", "plan");
    firstBackup(files);
    EXPECT_FALSE(QFile::exists(onAppliance(root.path() + "/data/home/otheruser/diary.txt")));
    files.insert(put({{"Documents/later.txt", "later"}}));
    EXPECT_TRUE(arrived(files, 40000)) << missing(files).join(u' ').toStdString() << hostLog();
}

TEST_F(HomeOutsideTheUsersFolder, NamesBelowAnotherAccountsClosedFolderInASharedFolderAreNeitherSentNorTold) {
    // A folder on the home's disk the initial set shares with the person, and in it another account's
    // folder closed to everybody else.
    const QString shared = root.path() + "/data/shared";
    writeFile(shared + "/minutes.txt", "minutes");
    writeFile(shared + "/their own/salary-2026.xlsx", "salary");
    const FixtureUser nobody{QStringLiteral("nobody"), 65534, 65534, {}};
    ASSERT_TRUE(nobody.handOver(shared + "/their own"));
    ASSERT_EQ(::chmod(QFile::encodeName(shared + "/their own").constData(), 0700), 0);
    Files files = put({{"Documents/a.txt", "a"}});
    files.insert(shared + "/minutes.txt", "minutes");
    firstBackup(files);
    // The other account goes on working in its folder while a shared file changes.
    writeFile(shared + "/their own/salary-2026.xlsx", "salary, revised");
    writeFile(shared + "/their own/bonus-letter.odt", "bonus");
    ASSERT_TRUE(nobody.handOver(shared + "/their own"));
    writeFile(shared + "/minutes.txt", "minutes, later");
    files[shared + "/minutes.txt"] = "minutes, later";
    EXPECT_TRUE(arrived(files, 40000)) << missing(files).join(u' ').toStdString() << hostLog();
    spinFor(3000);
    for (const char* name : {"salary-2026", "bonus-letter"}) {
        EXPECT_FALSE(trace().contains(QLatin1String(name))) << name << "\n"
                                                            << trace().right(2000).toStdString();
        EXPECT_FALSE(sessionLogs().contains(QLatin1String(name))) << name;
    }
    EXPECT_FALSE(QFile::exists(onAppliance(shared + "/their own/bonus-letter.odt")));
}

TEST_F(FieldHomes, HiddenFilesFollowOneRuleAndSessionSecretsNeverLeave) {
    const Files kept = put({{"Documents/a.txt", "a"},
                            {".config/editor/settings.conf", "theme=dark"},
                            {".bashrc", "alias ll='ls -l'"}});
    const Files secret = put({{".Xauthority", "MIT-MAGIC-COOKIE-1 0123456789abcdef"},
                              {".xsession-errors", "session log"},
                              {".cache/thumbnails/large/x.png", "png"},
                              {".local/share/Trash/files/old.txt", "trash"},
                              {".local/state/app/history", "history"}});
    firstBackup(kept);
    // Changed in the session: the settings arrive again, the secret and the logs never.
    put({{".config/editor/settings.conf", "theme=light"},
         {".Xauthority", "a new cookie"},
         {".xsession-errors", "more of the log"},
         {".cache/thumbnails/large/y.png", "png"}});
    const Files settings{{home + "/.config/editor/settings.conf", "theme=light"}};
    EXPECT_TRUE(arrived(settings, 40000)) << hostLog();
    spinFor(3000);
    for (auto it = secret.cbegin(); it != secret.cend(); ++it)
        EXPECT_FALSE(QFile::exists(onAppliance(it.key()))) << it.key().toStdString();
    EXPECT_FALSE(QFile::exists(onAppliance(home + "/.cache/thumbnails/large/y.png")));
    EXPECT_FALSE(trace().contains("MIT-MAGIC-COOKIE"));
    // The person sees those defaults in their exclusion list.
    const QStringList listed =
        PropertyList::readStringArray(paths.pathForApplicationFile(DaemonPath::InitialExcludeList));
    for (const char* entry : {"/.cache", "/.Xauthority", "/.xsession-errors", "/.local/share/Trash"})
        EXPECT_TRUE(listed.contains(home + QLatin1String(entry))) << entry;
}

TEST_F(FieldHomes, AFolderTheEditorStopsExcludingWhileTheDaemonIsDownArrivesAtTheNextStart) {
    Files files = put({{"Documents/a.txt", "a"}});
    firstBackup(files);
    // The person excludes a folder in the editor; what they keep there stays home.
    const QString list = paths.pathForApplicationFile(DaemonPath::InitialExcludeList);
    const auto edit = [&](const QStringList& change, bool add) {
        QStringList entries = PropertyList::readStringArray(list);
        for (const QString& entry : change)
            add ? void(entries << entry) : void(entries.removeAll(entry));
        ASSERT_TRUE(PropertyList::writeStringArray(list, entries, PropertyList::OwnerOnlyMode));
        user.handOver(list);
        appSide->postNotification(Protocol::Exclude, {{Protocol::KeyType, Protocol::ExcludeTypeUser}});
    };
    edit({home + "/Private"}, true);
    spinFor(1000);
    const Files kept = put({{"Private/letter.odt", "kept home"}, {"Private/deep/notes.txt", "notes"}});
    files.insert(put({{"Documents/b.txt", "b"}}));
    ASSERT_TRUE(arrived(files, 40000)) << missing(files).join(u' ').toStdString() << hostLog();
    for (auto it = kept.cbegin(); it != kept.cend(); ++it)
        EXPECT_FALSE(QFile::exists(onAppliance(it.key()))) << it.key().toStdString();

    // Stopped (an upgrade, the unit's restart pause); meanwhile the person takes the folder off the
    // list, and nobody hears the editor's word. Nothing in the folder changes.
    spinFor(2500);
    ::kill(daemon, SIGTERM);
    restartAfter(0);
    edit({home + "/Private"}, false);
    spinFor(500);
    startDaemon();
    EXPECT_TRUE(arrived(kept, 40000)) << missing(kept).join(u' ').toStdString() << hostLog();
    EXPECT_TRUE(trace().contains(QStringLiteral("Exclusions taken off while no daemon ran (1 list entries")))
        << trace().toStdString();
}

TEST_F(FieldHomes, WhatIsSavedWhileTheDaemonIsDownArrivesAndNothingElseIsSentAgain) {
    Files files = put({{"Documents/unchanged.txt", "same"}, {"Documents/edited.txt", "v1"}});
    firstBackup(files);
    const auto waitForCatchUp = [&](int times) {
        return waitUntil([&] { return trace().count(QStringLiteral("Catch-up for ")) >= times; }, 30000);
    };

    // File times come from a coarse clock, so the catch-up looks two seconds further back than the
    // moment the watch stopped covering: what was written in those seconds would be sent again.
    const auto settle = [] { spinFor(2500); };
    settle();
    // The supervisor's stop (an upgrade, a shutdown), then saves, moves in, a start.
    ::kill(daemon, SIGTERM);
    restartAfter(0);
    files.insert(put({{"Documents/edited.txt", "v2"}, {"Documents/written while stopped.txt", "new"}}));
    writeFile(root.path() + "/elsewhere/Album/photo.jpg", "jpeg");
    user.handOver(root.path() + "/elsewhere/Album");
    ASSERT_TRUE(QDir().rename(root.path() + "/elsewhere/Album", home + "/Album"));
    files.insert(home + "/Album/photo.jpg", "jpeg");
    startDaemon();
    EXPECT_TRUE(arrived(files, 40000)) << missing(files).join(u' ').toStdString() << hostLog();
    ASSERT_TRUE(waitForCatchUp(1)) << trace().toStdString();
    EXPECT_TRUE(trace().contains(QStringLiteral("The last watch for %1 ended cleanly").arg(user.name)));

    // A restart trigger and the supervisor's pause before the next start.
    settle();
    appSide->postNotification(Protocol::LogOut);
    restartAfter(1);
    files.insert(put({{"Documents/during the restart pause.txt", "pause"}}));
    startDaemon();
    EXPECT_TRUE(arrived(files, 40000)) << missing(files).join(u' ').toStdString() << hostLog();

    // Killed: what the next watch finds is only what changed since its predecessor's start.
    ASSERT_TRUE(waitForCatchUp(2));
    settle();
    ::kill(-daemon, SIGKILL);
    restartAfter(128 + SIGKILL);
    files.insert(put({{"Documents/after the kill.txt", "kill"}}));
    startDaemon();
    EXPECT_TRUE(arrived(files, 40000)) << missing(files).join(u' ').toStdString() << hostLog();
    EXPECT_TRUE(trace().contains(
        QStringLiteral("The last watch for %1 did not end cleanly (killed or crashed), catching up")
            .arg(user.name)));
    EXPECT_FALSE(trace().contains(QStringLiteral("backing up the home folder")));
    EXPECT_EQ(sent("unchanged.txt"), 1)
        << "an unchanged file was sent again: " << sessionLogs().toStdString();
    EXPECT_EQ(sent("edited.txt"), 2) << sessionLogs().toStdString() << trace().toStdString();
}
