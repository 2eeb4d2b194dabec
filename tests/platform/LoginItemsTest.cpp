#include "XdgAutostartLoginItems.h"

#include "ChildProcess.h"
#include "Requirements.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString App = QStringLiteral("/opt/zorvik-hollin/bin/ZorvikHollin");

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
    ASSERT_TRUE(login.add(App));
    EXPECT_FALSE(readTrace(ours).contains(QLatin1String("Hidden=true")));

    // A file where the folder belongs: add fails and the file is left alone.
    QFile blocker(home.path() + QStringLiteral("/.config"));
    ASSERT_TRUE(QDir(blocker.fileName()).removeRecursively() && blocker.open(QIODevice::WriteOnly));
    EXPECT_FALSE(login.add(App));
    EXPECT_TRUE(QFileInfo(blocker.fileName()).isFile());
    EXPECT_FALSE(login.add(QString()));
    EXPECT_FALSE(login.remove(QString()));
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
