#include "PlatformProfile.h"

#include "ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <iostream>

namespace {

// One line of the install layout the build writes: what is installed where, from which built file
// ("" for a program whose target does not exist yet).
struct LayoutEntry {
    QString component;
    QString installedPath;
    QString builtFile;
};

const QString LayoutFile = QStringLiteral(ZH_BUILD_DIR "/packaging/install-layout.txt");
const QStringList ProgramComponents = {QStringLiteral("daemon"), QStringLiteral("application"),
                                       QStringLiteral("helpers")};

QString readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The value of key in a unit or desktop file (the first occurrence).
QString valueOf(const QString& text, const QString& key) {
    for (const QString& line : text.split(QLatin1Char('\n')))
        if (line.startsWith(key + QLatin1Char('=')))
            return line.mid(key.size() + 1).trimmed();
    return QString();
}

class PackagingTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        sStage = new QTemporaryDir;
        const QString text = readAll(LayoutFile);
        if (text.isEmpty()) {
            sError = QStringLiteral("no %1: the packaging folder is not part of the build").arg(LayoutFile);
            return;
        }
        for (const QString& line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const QStringList parts = line.split(QLatin1Char('|'));
            if (parts.size() == 3)
                sLayout.append({parts[0], parts[1], parts[2]});
        }
        // Programs that are not built cannot be installed; their components are left out.
        QStringList components;
        bool everythingBuilt = true;
        for (const LayoutEntry& e : sLayout) {
            const bool built = !ProgramComponents.contains(e.component) || QFileInfo::exists(e.builtFile);
            if (!built) {
                everythingBuilt = false;
                sNotInstalled << e.installedPath;
            }
        }
        for (const LayoutEntry& e : sLayout) {
            bool complete = true;
            for (const LayoutEntry& other : sLayout)
                complete = complete &&
                           (other.component != e.component || !sNotInstalled.contains(other.installedPath));
            if (complete && !components.contains(e.component))
                components << e.component;
        }
        const QList<QStringList> runs = everythingBuilt ? QList<QStringList>{{}} : [&] {
            QList<QStringList> perComponent;
            for (const QString& c : components)
                perComponent.append({QStringLiteral("--component"), c});
            return perComponent;
        }();
        for (const QStringList& extra : runs) {
            QProcess install;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("DESTDIR"), sStage->path());
            install.setProcessEnvironment(env);
            install.setProcessChannelMode(QProcess::MergedChannels);
            install.start(QStringLiteral(ZH_CMAKE_COMMAND),
                          QStringList{QStringLiteral("--install"), QStringLiteral(ZH_BUILD_DIR)} + extra);
            if (!install.waitForFinished(120000) || install.exitStatus() != QProcess::NormalExit ||
                install.exitCode() != 0) {
                sError = QStringLiteral("cmake --install %1 failed: %2")
                             .arg(extra.join(QLatin1Char(' ')), QString::fromUtf8(install.readAll()));
                return;
            }
        }
    }

    static void TearDownTestSuite() {
        delete sStage;
        sStage = nullptr;
        sLayout.clear();
        sNotInstalled.clear();
        sError.clear();
    }

    void SetUp() override { ASSERT_TRUE(sError.isEmpty()) << sError.toStdString(); }

    static QString staged(const QString& installedPath) { return sStage->path() + installedPath; }

    static QList<LayoutEntry> entries(const QString& component) {
        QList<LayoutEntry> out;
        for (const LayoutEntry& e : sLayout)
            if (e.component == component)
                out.append(e);
        return out;
    }

    static const LayoutEntry* entryAt(const QString& installedPath) {
        for (const LayoutEntry& e : sLayout)
            if (e.installedPath == installedPath)
                return &e;
        return nullptr;
    }

    static QTemporaryDir* sStage;
    static QList<LayoutEntry> sLayout;
    static QStringList sNotInstalled;
    static QString sError;
};

QTemporaryDir* PackagingTest::sStage = nullptr;
QList<LayoutEntry> PackagingTest::sLayout;
QStringList PackagingTest::sNotInstalled;
QString PackagingTest::sError;

TEST_F(PackagingTest, EveryInstalledFileLandsInItsPlace) {
    ASSERT_FALSE(entries(QStringLiteral("service")).isEmpty());
    ASSERT_FALSE(entries(QStringLiteral("desktop")).isEmpty());
    for (const LayoutEntry& e : sLayout) {
        if (sNotInstalled.contains(e.installedPath))
            continue;
        const QFileInfo info(staged(e.installedPath));
        ASSERT_TRUE(info.isFile()) << e.installedPath.toStdString() << " is missing from the staged install";
        EXPECT_EQ(readAll(info.filePath()), readAll(e.builtFile)) << e.installedPath.toStdString();
        if (ProgramComponents.contains(e.component)) {
            EXPECT_TRUE(info.isExecutable()) << e.installedPath.toStdString();
        }
        // Nothing installed is writable by everybody.
        EXPECT_FALSE(info.permission(QFile::WriteOther)) << e.installedPath.toStdString();
    }
}

TEST_F(PackagingTest, HelpersGoWhereTheProfileLooksForThem) {
    const PlatformProfile profile = PlatformProfile::forLinux();
    ASSERT_NE(entryAt(profile.privateRsyncPath), nullptr) << profile.privateRsyncPath.toStdString();
    EXPECT_EQ(entryAt(profile.privateRsyncPath)->component, QStringLiteral("helpers"));
    ASSERT_NE(entryAt(profile.snapshotToolPath), nullptr) << profile.snapshotToolPath.toStdString();
    EXPECT_EQ(profile.snapshotToolPath, QStringLiteral(ZH_LIBEXEC_DIR "/tmutil"));
}

TEST_F(PackagingTest, EveryProgramIsBuiltAndInstalled) {
    QStringList missing;
    for (const LayoutEntry& e : sLayout)
        if (ProgramComponents.contains(e.component) && e.builtFile.isEmpty())
            missing << e.installedPath + QStringLiteral(" (no target yet)");
        else if (sNotInstalled.contains(e.installedPath))
            missing << e.installedPath + QStringLiteral(" (not built)");
    EXPECT_EQ(entries(QStringLiteral("daemon")).size(), 1);
    EXPECT_EQ(entries(QStringLiteral("application")).size(), 1);
    EXPECT_EQ(entries(QStringLiteral("helpers")).size(), 2);
    if (!missing.isEmpty())
        GTEST_SKIP() << "left out of the staged install: "
                     << missing.join(QStringLiteral(", ")).toStdString();
}

TEST_F(PackagingTest, UnitRunsTheInstalledDaemonAsRootAndAlwaysRestartsIt) {
    const LayoutEntry unit = entries(QStringLiteral("service")).first();
    EXPECT_TRUE(unit.installedPath.endsWith(QLatin1String("/systemd/system/zorvik-hollin-watcher.service")));
    const QString text = readAll(staged(unit.installedPath));
    EXPECT_EQ(valueOf(text, QStringLiteral("ExecStart")),
              entries(QStringLiteral("daemon")).first().installedPath);
    EXPECT_EQ(valueOf(text, QStringLiteral("Restart")), QStringLiteral("always"));
    EXPECT_EQ(valueOf(text, QStringLiteral("RestartSec")), QStringLiteral("5"));
    EXPECT_EQ(valueOf(text, QStringLiteral("User")), QStringLiteral("root"));
    EXPECT_TRUE(valueOf(text, QStringLiteral("After")).contains(QLatin1String("dbus")));
    EXPECT_EQ(valueOf(text, QStringLiteral("WantedBy")), QStringLiteral("multi-user.target"));
}

TEST_F(PackagingTest, UnitPassesSystemdVerification) {
    const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
    if (analyze.isEmpty())
        GTEST_SKIP() << "systemd-analyze is not installed";
    const LayoutEntry unit = entries(QStringLiteral("service")).first();
    const QString daemon = entries(QStringLiteral("daemon")).first().installedPath;
    // The unit names the daemon's final place; verify it against the staged daemon, or against a
    // stand-in program while the daemon is not built.
    QString program = staged(daemon);
    if (!QFileInfo(program).isExecutable()) {
        program = QStringLiteral("/bin/true");
        std::cout << "[ NOTE     ] daemon not staged; ExecStart verified with " << program.toStdString()
                  << '\n';
    }
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("zorvik-hollin-watcher.service"));
    QFile out(copy);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(readAll(staged(unit.installedPath))
                  .replace(QStringLiteral("ExecStart=") + daemon, QStringLiteral("ExecStart=") + program)
                  .toUtf8());
    out.close();
    QByteArray stdOut, stdErr;
    EXPECT_EQ(ChildProcess::run({analyze, QStringLiteral("verify"), QStringLiteral("--man=no"), copy},
                                &stdOut, &stdErr),
              0)
        << stdOut.toStdString() << stdErr.toStdString();
}

TEST_F(PackagingTest, DesktopEntriesStartTheInstalledApplicationAndPassTheValidator) {
    const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    const QString app = entries(QStringLiteral("application")).first().installedPath;
    for (const LayoutEntry& e : entries(QStringLiteral("desktop"))) {
        const QString text = readAll(staged(e.installedPath));
        EXPECT_EQ(valueOf(text, QStringLiteral("Exec")), app) << e.installedPath.toStdString();
        EXPECT_EQ(valueOf(text, QStringLiteral("Type")), QStringLiteral("Application"));
        if (validator.isEmpty())
            continue;
        QByteArray stdOut, stdErr;
        EXPECT_EQ(ChildProcess::run({validator, staged(e.installedPath)}, &stdOut, &stdErr), 0)
            << e.installedPath.toStdString() << ": " << stdOut.toStdString() << stdErr.toStdString();
    }
    if (validator.isEmpty())
        GTEST_SKIP() << "desktop-file-validate is not installed (package desktop-file-utils)";
}

} // namespace
