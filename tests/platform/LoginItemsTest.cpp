#include "XdgAutostartLoginItems.h"

#include "ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

const QString App = QStringLiteral("/opt/zorvik-hollin/bin/ZorvikHollin");

QString readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void writeFile(const QString& path, const QString& text) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text.toUtf8());
}

QString entryRunning(const QString& exec, bool hidden = false) {
    return QStringLiteral("[Desktop Entry]\nType=Application\nName=X\nExec=%1\n%2")
        .arg(exec, hidden ? QStringLiteral("Hidden=true\n") : QString());
}

class LoginItemsTest : public ::testing::Test {
  protected:
    QString userFolder() const { return mHome.path() + QStringLiteral("/.config/autostart"); }
    QString ourEntry() const { return userFolder() + QStringLiteral("/ZorvikHollin.desktop"); }
    QString systemFolder() const { return mSystem.path() + QStringLiteral("/autostart"); }
    XdgAutostartLoginItems items() const { return XdgAutostartLoginItems(mHome.path(), {systemFolder()}); }

    QTemporaryDir mHome;
    QTemporaryDir mSystem;
};

TEST_F(LoginItemsTest, AddThenRemoveRoundTrip) {
    auto login = items();
    ASSERT_TRUE(login.add(App));
    ASSERT_TRUE(QFile::exists(ourEntry()));
    const QString text = readAll(ourEntry());
    EXPECT_TRUE(text.contains(QStringLiteral("\nExec=") + App + QLatin1Char('\n'))) << text.toStdString();
    EXPECT_FALSE(text.contains(QLatin1String("Hidden=true")));

    ASSERT_TRUE(login.add(App)); // again: still one entry
    EXPECT_EQ(QDir(userFolder()).entryList(QDir::Files).size(), 1);

    ASSERT_TRUE(login.remove(App));
    EXPECT_FALSE(QFile::exists(ourEntry()));
}

TEST_F(LoginItemsTest, AddedEntryPassesTheDesktopEntryValidator) {
    const QString validator = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (validator.isEmpty())
        GTEST_SKIP() << "desktop-file-validate is not installed (package desktop-file-utils)";
    auto login = items();
    ASSERT_TRUE(login.add(QStringLiteral("/opt/Zorvik Hollin/bin/Zorvik\"Hollin$")));
    QByteArray out, err;
    EXPECT_EQ(ChildProcess::run({validator, ourEntry()}, &out, &err), 0)
        << out.toStdString() << err.toStdString();
}

TEST_F(LoginItemsTest, RemoveTakesEveryEntryOfTheApplicationAndNothingElse) {
    writeFile(userFolder() + QStringLiteral("/old-name.desktop"),
              entryRunning(App + QStringLiteral(" --minimized")));
    writeFile(userFolder() + QStringLiteral("/quoted.desktop"),
              entryRunning(QStringLiteral("\"/opt/zorvik-hollin/bin/ZorvikHollin\" %U")));
    writeFile(userFolder() + QStringLiteral("/other.desktop"),
              entryRunning(QStringLiteral("/usr/bin/other-tool")));
    writeFile(userFolder() + QStringLiteral("/no-exec.desktop"),
              QStringLiteral("[Desktop Entry]\nType=Application\n"));
    writeFile(userFolder() + QStringLiteral("/notes.txt"), App);
    auto login = items();
    ASSERT_TRUE(login.add(App));

    ASSERT_TRUE(login.remove(App));
    EXPECT_EQ(QDir(userFolder()).entryList(QDir::Files, QDir::Name),
              (QStringList{QStringLiteral("no-exec.desktop"), QStringLiteral("notes.txt"),
                           QStringLiteral("other.desktop")}));
}

TEST_F(LoginItemsTest, SystemEntryIsHiddenForTheUserAndAddShowsItAgain) {
    writeFile(systemFolder() + QStringLiteral("/ZorvikHollin.desktop"), entryRunning(App));
    writeFile(systemFolder() + QStringLiteral("/other.desktop"),
              entryRunning(QStringLiteral("/usr/bin/other-tool")));
    auto login = items();

    ASSERT_TRUE(login.remove(App));
    ASSERT_TRUE(QFile::exists(ourEntry()));
    EXPECT_TRUE(readAll(ourEntry()).contains(QLatin1String("\nHidden=true\n")));
    EXPECT_FALSE(QFile::exists(userFolder() + QStringLiteral("/other.desktop")));
    EXPECT_TRUE(QFile::exists(systemFolder() + QStringLiteral("/ZorvikHollin.desktop")))
        << "not the user's to delete";

    ASSERT_TRUE(login.remove(App)); // a second removal keeps the override
    EXPECT_TRUE(readAll(ourEntry()).contains(QLatin1String("\nHidden=true\n")));

    ASSERT_TRUE(login.add(App));
    EXPECT_FALSE(readAll(ourEntry()).contains(QLatin1String("Hidden=true")));
}

TEST_F(LoginItemsTest, AddFailsWithoutHarmWhenTheFolderCannotBeMade) {
    writeFile(mHome.path() + QStringLiteral("/.config"), QStringLiteral("a file where the folder belongs"));
    auto login = items();
    EXPECT_FALSE(login.add(App));
    EXPECT_EQ(readAll(mHome.path() + QStringLiteral("/.config")),
              QStringLiteral("a file where the folder belongs"));
    EXPECT_FALSE(login.add(QString()));
    EXPECT_FALSE(login.remove(QString()));
}

TEST(DesktopEntryExec, QuotingRoundTrips) {
    for (const QString& program :
         {QStringLiteral("/usr/bin/ZorvikHollin"), QStringLiteral("/opt/Zorvik Hollin/bin/app"),
          QStringLiteral("/opt/a\"b/$HOME/`x`/back\\slash"), QStringLiteral("/opt/100%/app"),
          QStringLiteral("/opt/tab\there")})
        EXPECT_EQ(XdgAutostartLoginItems::execProgram(XdgAutostartLoginItems::execValueFor(program)), program)
            << program.toStdString() << " as " << XdgAutostartLoginItems::execValueFor(program).toStdString();
}

TEST(DesktopEntryExec, ProgramIsTheFirstArgument) {
    EXPECT_EQ(XdgAutostartLoginItems::execProgram(QStringLiteral("  /usr/bin/app --flag %U")),
              QStringLiteral("/usr/bin/app"));
    EXPECT_EQ(XdgAutostartLoginItems::execProgram(QStringLiteral("\"/a b/app\" x")),
              QStringLiteral("/a b/app"));
    EXPECT_EQ(XdgAutostartLoginItems::execProgram(QStringLiteral("\"/a\\sb\" x")), QStringLiteral("/a b"));
    EXPECT_EQ(XdgAutostartLoginItems::execProgram(QString()), QString());
}

} // namespace
