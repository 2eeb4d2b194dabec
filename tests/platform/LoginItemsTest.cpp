#include "XdgAutostartLoginItems.h"

#include "ChildProcess.h"
#include "Requirements.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString App = QStringLiteral("/opt/zorvik-hollin/bin/ZorvikHollin");
constexpr const char* AutostartGenerator = "/usr/lib/systemd/user-generators/systemd-xdg-autostart-generator";

// Writes an entry that runs exec ("" writes no Exec line) into folder.
void writeEntry(const QString& folder, const char* name, const QString& exec) {
    QDir().mkpath(folder);
    QFile file(folder + QLatin1Char('/') + QLatin1String(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(("[Desktop Entry]\nType=Application\nName=X\n" + (exec.isEmpty() ? QString() : "Exec=" + exec))
                   .toUtf8());
}

TEST(LoginItems, AddRemoveTheUsersEntriesAndHideTheSystemOne) {
    QTemporaryDir home, system;
    const QString folder = home.path() + QStringLiteral("/.config/autostart");
    const QString ours = folder + QStringLiteral("/ZorvikHollin.desktop");
    XdgAutostartLoginItems login(home.path(), {system.path()});
    ASSERT_TRUE(login.add(App));
    ASSERT_TRUE(login.add(App)); // again: still one entry
    EXPECT_TRUE(readTrace(ours).contains(QStringLiteral("\nExec=") + App + QLatin1Char('\n')));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 1);

    // Removal takes every entry that starts the application, under any name, and nothing else.
    writeEntry(folder, "old-name.desktop", App + QStringLiteral(" --minimized"));
    writeEntry(folder, "quoted.desktop", QLatin1Char('"') + App + "\" %U");
    writeEntry(folder, "other.desktop", QStringLiteral("/usr/bin/other-tool"));
    writeEntry(folder, "no-exec.desktop", QString());
    writeEntry(folder, "notes.txt", App);
    ASSERT_TRUE(login.remove(App));
    EXPECT_EQ(QDir(folder).entryList(QDir::Files, QDir::Name),
              (QStringList{QStringLiteral("no-exec.desktop"), QStringLiteral("notes.txt"),
                           QStringLiteral("other.desktop")}));

    // An entry installed for every user is not the user's to delete: a hidden entry overrides it.
    writeEntry(system.path(), "ZorvikHollin.desktop", App);
    ASSERT_TRUE(login.remove(App));
    ASSERT_TRUE(login.remove(App)); // a second removal keeps the override
    EXPECT_TRUE(readTrace(ours).contains(QLatin1String("\nHidden=true\n")));
    EXPECT_TRUE(QFile::exists(system.path() + QStringLiteral("/ZorvikHollin.desktop")));
    // The next start lifts the override, and the system's entry starts the application again.
    ASSERT_TRUE(login.add(App));
    EXPECT_FALSE(QFile::exists(ours));

    // A file where the folder belongs: add fails and the file is left alone.
    ASSERT_TRUE(QFile::remove(system.path() + QStringLiteral("/ZorvikHollin.desktop")));
    QFile blocker(home.path() + QStringLiteral("/.config"));
    ASSERT_TRUE(QDir(blocker.fileName()).removeRecursively() && blocker.open(QIODevice::WriteOnly));
    EXPECT_FALSE(login.add(App));
    EXPECT_TRUE(QFileInfo(blocker.fileName()).isFile());
    EXPECT_FALSE(login.add(QString()));
    EXPECT_FALSE(login.remove(QString()));
}

// What the person's desktop starts at log-in, as systemd's autostart generator (GNOME, KDE and others
// on systemd) decides it: the names of the units it makes for the entries it would start.
QStringList startedAtLogIn(const QString& home, const QString& systemConfig) {
    QTemporaryDir out;
    QProcess generator;
    QProcessEnvironment env;
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_CONFIG_DIRS"), systemConfig);
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
    generator.setProcessEnvironment(env);
    generator.start(QString::fromLatin1(AutostartGenerator), {out.path(), out.path(), out.path()});
    EXPECT_TRUE(generator.waitForFinished(30000) && generator.exitCode() == 0)
        << generator.readAllStandardError().toStdString();
    return QDir(out.path()).entryList({QStringLiteral("app-*@autostart.service")}, QDir::Files);
}

// Every entry of ours names the program in TryExec: one left behind when the program is removed (the
// package purged, the person's home kept) starts nothing, rather than failing at every log-in.
TEST(LoginItems, AnEntryLeftBehindStartsNothingOnceTheProgramIsGone) {
    ZH_SKIP_IF(QFileInfo(QString::fromLatin1(AutostartGenerator)).isExecutable()
                   ? QString()
                   : QStringLiteral("systemd's autostart generator is not installed (package systemd)"));
    QTemporaryDir home, bin, system;
    const QString program = bin.path() + QStringLiteral("/Zorvik Hollin");
    QFile executable(program);
    ASSERT_TRUE(executable.open(QIODevice::WriteOnly));
    executable.write("#!/bin/sh\n");
    executable.close();
    ASSERT_TRUE(executable.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    XdgAutostartLoginItems login(home.path(), {system.path() + QStringLiteral("/autostart")});
    ASSERT_TRUE(login.add(program));
    EXPECT_EQ(startedAtLogIn(home.path(), system.path()), QStringList{"app-ZorvikHollin@autostart.service"});

    ASSERT_TRUE(QFile::remove(program));
    EXPECT_EQ(startedAtLogIn(home.path(), system.path()), QStringList());
    // The hidden entry a removal leaves for the system's entry names it as well.
    writeEntry(system.path() + QStringLiteral("/autostart"), "ZorvikHollin.desktop",
               XdgAutostartLoginItems::execValueFor(program));
    ASSERT_TRUE(login.remove(program));
    const QString hidden = readTrace(home.path() + QStringLiteral("/.config/autostart/ZorvikHollin.desktop"));
    EXPECT_TRUE(hidden.contains(QStringLiteral("\nTryExec=") + program + QLatin1Char('\n')))
        << hidden.toStdString();
}

// While the system's entry starts the application, the person keeps no entry of their own: nothing of
// ours is left in their home when the package goes. Where there is no such entry (an installation
// without it, an administrator's Hidden=true, another program), the application's own entry is written.
TEST(LoginItems, NoEntryOfTheirOwnWhileTheSystemsEntryStartsTheApplication) {
    QTemporaryDir home, system;
    const QString ours = home.path() + QStringLiteral("/.config/autostart/ZorvikHollin.desktop");
    XdgAutostartLoginItems login(home.path(), {system.path() + QStringLiteral("/first"), system.path()});
    writeEntry(system.path(), "ZorvikHollin.desktop", App);
    ASSERT_TRUE(login.add(App));
    EXPECT_FALSE(QFileInfo::exists(ours));
    EXPECT_FALSE(QFileInfo::exists(home.path() + QStringLiteral("/.config"))) << "nothing made in the home";

    // An entry an earlier version wrote goes at the next start.
    XdgAutostartLoginItems alone(home.path(), {});
    ASSERT_TRUE(alone.add(App));
    ASSERT_TRUE(QFileInfo::exists(ours));
    ASSERT_TRUE(login.add(App));
    EXPECT_FALSE(QFileInfo::exists(ours));

    // The first folder of the search path decides: an administrator's hidden entry there keeps the
    // system's entry from starting anything, so the person who starts the application gets their own.
    QFile hidden(system.path() + QStringLiteral("/first/ZorvikHollin.desktop"));
    QDir().mkpath(system.path() + QStringLiteral("/first"));
    ASSERT_TRUE(hidden.open(QIODevice::WriteOnly));
    hidden.write(("[Desktop Entry]\nType=Application\nName=X\nExec=" + App + "\nHidden=true\n").toUtf8());
    hidden.close();
    ASSERT_TRUE(login.add(App));
    EXPECT_TRUE(readTrace(ours).contains(QStringLiteral("\nExec=") + App + QLatin1Char('\n')));
    ASSERT_TRUE(hidden.remove());

    // A system entry of another installation (another path) does not start this one.
    ASSERT_TRUE(login.add(QStringLiteral("/usr/local/bin/ZorvikHollin")));
    EXPECT_TRUE(readTrace(ours).contains(QLatin1String("\nExec=/usr/local/bin/ZorvikHollin\n")));
}

TEST(LoginItems, OddProgramPathsRoundTripThroughExecAndPassTheValidator) {
    for (const QString& program :
         {QStringLiteral("/opt/Zorvik Hollin/bin/app"), QStringLiteral("/opt/a\"b/$HOME/`x`/back\\slash"),
          QStringLiteral("/opt/100%/app"), QStringLiteral("/opt/tab\there")})
        EXPECT_EQ(XdgAutostartLoginItems::execProgram(XdgAutostartLoginItems::execValueFor(program)), program)
            << XdgAutostartLoginItems::execValueFor(program).toStdString();
    // Entries written by others: the program is the first argument.
    EXPECT_EQ(XdgAutostartLoginItems::execProgram(QStringLiteral("  /usr/bin/app --flag %U")),
              QStringLiteral("/usr/bin/app"));
    EXPECT_EQ(XdgAutostartLoginItems::execProgram(QStringLiteral("\"/a\\sb\" x")), QStringLiteral("/a b"));
    EXPECT_EQ(XdgAutostartLoginItems::execProgram(QString()), QString());

    ZH_SKIP_IF(needs::tool("desktop-file-validate", "desktop-file-utils"));
    QTemporaryDir home;
    ASSERT_TRUE(XdgAutostartLoginItems(home.path(), {})
                    .add(QStringLiteral("/opt/Zorvik Hollin/bin/Zorvik\"Hollin$")));
    QByteArray out, err;
    EXPECT_EQ(ChildProcess::run({QStringLiteral("desktop-file-validate"),
                                 home.path() + QStringLiteral("/.config/autostart/ZorvikHollin.desktop")},
                                &out, &err),
              0)
        << out.toStdString() << err.toStdString();
}

} // namespace
