// The mass-change tripwire with the whole daemon: a home where a third of the documents is encrypted in
// place, and the bulk work of a person's programs that must not trip it.

#include "DaemonRig.h"

#include <QProcess>
#include <QRandomGenerator>

#include <gtest/gtest.h>

namespace {

namespace PS = Protocol::PendingState;

class MassChange : public DaemonRig {
  protected:
    QString requirements() override {
        return needs::all(DaemonRig::requirements(), needs::tool("openssl", "openssl"),
                          needs::tool("git", "git"), needs::tool("tar", "tar"));
    }
    QVariantMap state() const {
        FilePathsController p(FilePathsController::Table::Daemon, root.profile());
        p.setM_ConsoleUserName(user.name);
        return PropertyList::readDictionary(p.pathForApplicationFile(DaemonPath::UserSupportFolder) + u'/' +
                                            Protocol::PendingStateFile);
    }
    static int run(const QStringList& argv, const QString& folder) {
        QProcess p;
        p.setWorkingDirectory(folder);
        p.start(argv.first(), argv.mid(1));
        p.waitForFinished(300000);
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    int tripped() const { return trace().count(QStringLiteral("Mass change:")); }
};

} // namespace

TEST_F(MassChange, AThirdOfTheDocumentsEncryptedIsHeldUntilContinueWhileBulkWorkNeverTrips) {
    // 2,000 documents of a few kilobytes.
    QMap<QString, QByteArray> documents;
    for (int i = 0; i < 2000; ++i) {
        const QString path = home + QStringLiteral("/Documents/Folder %1/letter %2.txt").arg(i / 100).arg(i);
        QByteArray text;
        while (text.size() < 4096)
            text += QByteArray("Letter ") + QByteArray::number(i) + " of a person who writes a lot. ";
        documents.insert(path, text);
        writeFile(path, text);
    }
    // A repository of 3,000 files on two branches that differ in every file, made before.
    const QString repo = home + QStringLiteral("/src/project");
    QDir().mkpath(repo);
    user.handOver(home + QStringLiteral("/src"));
    const auto git = [&](const QStringList& args) {
        return run(QStringList{"runuser", "-u", user.name, "--", "git", "-c", "user.name=A", "-c",
                               "user.email=a@example.org"} +
                       args,
                   repo);
    };
    ASSERT_EQ(git({"init", "-q", "-b", "main"}), 0);
    for (int i = 0; i < 3000; ++i)
        writeFile(repo + QStringLiteral("/src/module %1/unit %2.c").arg(i / 100).arg(i),
                  "int version = 1;\n");
    user.handOver(repo);
    ASSERT_EQ(git({"add", "-A"}), 0);
    ASSERT_EQ(git({"commit", "-q", "-m", "one"}), 0);
    ASSERT_EQ(git({"checkout", "-q", "-b", "two"}), 0);
    for (int i = 0; i < 3000; ++i)
        writeFile(repo + QStringLiteral("/src/module %1/unit %2.c").arg(i / 100).arg(i),
                  "int version = 2;\n");
    user.handOver(repo);
    ASSERT_EQ(git({"commit", "-q", "-a", "-m", "two"}), 0);
    ASSERT_EQ(git({"checkout", "-q", "main"}), 0);
    user.handOver(home);
    writeDetails();
    startDaemon();
    ASSERT_TRUE(arrived(documents, 240000)) << missing(documents).size() << " missing" << hostLog();

    // Bulk work people do: 10,000 files unpacked, a 1,000-photo import, a checkout that changes a
    // repository's every file.
    const QString outside = root.path() + QStringLiteral("/elsewhere");
    for (int i = 0; i < 10000; ++i)
        writeFile(outside + QStringLiteral("/unpacked/dir %1/file %2.c").arg(i / 500).arg(i), "int x;\n");
    ASSERT_EQ(run({"tar", "cf", outside + "/archive.tar", "unpacked"}, outside), 0);
    ASSERT_EQ(run({"runuser", "-u", user.name, "--", "tar", "xf", outside + "/archive.tar"}, home), 0);
    QRandomGenerator random(7);
    for (int i = 0; i < 1000; ++i) {
        QByteArray jpeg("\xFF\xD8\xFF\xE0", 4);
        for (int b = 0; b < 8192; ++b)
            jpeg += char(random.bounded(256));
        writeFile(outside + QStringLiteral("/camera/IMG_%1.JPG").arg(i), jpeg);
    }
    user.handOver(outside);
    ASSERT_EQ(
        run({"runuser", "-u", user.name, "--", "cp", "-r", outside + "/camera", home + "/Pictures"}, home),
        0);
    ASSERT_EQ(git({"checkout", "-q", "two"}), 0);
    const QMap<QString, QByteArray> bulk{
        {home + "/unpacked/dir 19/file 9999.c", "int x;\n"},
        {repo + "/src/module 29/unit 2999.c", "int version = 2;\n"},
    };
    ASSERT_TRUE(arrived(bulk, 300000)) << missing(bulk).join(u' ').toStdString() << hostLog();
    ASSERT_TRUE(waitUntil([&] { return state().value(PS::Count).toString() == "0"; }, 120000))
        << "held " << state().value(PS::Held).toString().toStdString() << ", collected "
        << state().value(PS::Collected).toString().toStdString() << ", listed "
        << state().value(PS::Listed).toString().toStdString() << ", sending "
        << state().value(PS::Sending).toString().toStdString() << ", owed "
        << state().value(PS::Owed).toString().toStdString() << "; tripped " << tripped() << "\n"
        << trace().right(4000).toStdString();
    EXPECT_EQ(tripped(), 0) << "bulk work tripped the tripwire";

    // A third of the documents encrypted in place, as ransomware does: written beside, renamed over.
    QStringList encrypted;
    for (auto it = documents.cbegin(); it != documents.cend() && encrypted.size() < 600; ++it) {
        if (QRandomGenerator::global()->bounded(3) != 0)
            continue;
        const QString f = it.key();
        ASSERT_EQ(run({"runuser", "-u", user.name, "--", "sh", "-c",
                       "openssl enc -aes-256-cbc -pbkdf2 -pass pass:ransom -in \"$1\" -out \"$1.x\" && mv "
                       "\"$1.x\" \"$1\"",
                       "sh", f},
                      home),
                  0);
        encrypted << f;
    }
    ASSERT_TRUE(waitUntil([&] { return tripped() == 1; }, 60000)) << hostLog();
    ASSERT_TRUE(waitUntil([&] { return state().value(PS::Held).toInt() >= encrypted.size() - 5; }, 60000))
        << state().value(PS::Held).toString().toStdString();
    EXPECT_FALSE(state().value(PS::HeldSince).toString().isEmpty());
    // Everything else goes on: a new document arrives while the rest is held.
    const QMap<QString, QByteArray> meanwhile{{home + "/Documents/written meanwhile.txt", "new"}};
    writeFile(meanwhile.firstKey(), "new");
    user.handOver(meanwhile.firstKey());
    EXPECT_TRUE(arrived(meanwhile, 60000)) << hostLog();
    // The good copies are still there: no encrypted content reached the appliance.
    int overwritten = 0;
    for (const QString& f : std::as_const(encrypted))
        overwritten += contentOf(onAppliance(f)) != documents.value(f) ? 1 : 0;
    EXPECT_EQ(overwritten, 0);

    // The person looked and lets them go ("Continue").
    appSide->postNotification(Protocol::ReleaseHeldChanges);
    QMap<QString, QByteArray> nowEncrypted;
    for (const QString& f : std::as_const(encrypted))
        nowEncrypted.insert(f, contentOf(f));
    EXPECT_TRUE(arrived(nowEncrypted, 120000)) << missing(nowEncrypted).size() << " missing" << hostLog();
    EXPECT_TRUE(waitUntil([&] { return state().value(PS::Held).toString() == "0"; }, 30000));
}
