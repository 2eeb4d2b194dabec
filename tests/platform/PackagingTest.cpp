#include "PlatformProfile.h"

#include "ChildProcess.h"
#include "DeploymentSettings.h"
#include "Requirements.h"

#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

namespace {

const QStringList ProgramComponents = {QStringLiteral("daemon"), QStringLiteral("application"),
                                       QStringLiteral("helpers")};

// The value of key in a unit or desktop file (the first occurrence).
QString valueOf(const QString& text, const QString& key) {
    for (const QString& line : text.split(QLatin1Char('\n')))
        if (line.startsWith(key + QLatin1Char('=')))
            return line.mid(key.size() + 1).trimmed();
    return QString();
}

// The whole build installed once (DESTDIR) into a staging folder, as the install layout the build
// writes describes it: component|installed path|built file ("" for a program with no target yet).
class PackagingTest : public RequiringTest {
  protected:
    struct Entry {
        QString component, installedPath, builtFile;
    };

    static void SetUpTestSuite() {
        const QString layout = readTrace(QStringLiteral(ZH_BUILD_DIR "/packaging/install-layout.txt"));
        for (const QString& line : layout.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const QStringList parts = line.split(QLatin1Char('|'));
            if (parts.size() == 3)
                sLayout.append({parts[0], parts[1], parts[2]});
            if (parts.size() == 3 && ProgramComponents.contains(parts[0]) && !QFileInfo::exists(parts[2]))
                sWhyNot += QStringLiteral(" not built: ") + parts[1];
        }
        if (sLayout.isEmpty())
            sWhyNot = QStringLiteral("no install layout: the packaging folder is not part of the build");
        if (!sWhyNot.isEmpty())
            return;
        QByteArray out, err;
        qputenv("DESTDIR", sStage.path().toUtf8());
        if (ChildProcess::run(
                {QStringLiteral(ZH_CMAKE_COMMAND), QStringLiteral("--install"), QStringLiteral(ZH_BUILD_DIR)},
                &out, &err, 120000) != 0)
            sInstallError = QStringLiteral("cmake --install failed: ") + QString::fromUtf8(out + err);
        qunsetenv("DESTDIR");
    }
    QString requirements() override { return sWhyNot; }
    void prepare() override { ASSERT_TRUE(sInstallError.isEmpty()) << sInstallError.toStdString(); }

    static QString staged(const QString& installedPath) { return sStage.path() + installedPath; }
    static QStringList installed(const QString& component) {
        QStringList paths;
        for (const Entry& e : std::as_const(sLayout))
            if (e.component == component)
                paths << e.installedPath;
        return paths;
    }

    static inline QTemporaryDir sStage;
    static inline QList<Entry> sLayout;
    static inline QString sWhyNot;
    static inline QString sInstallError;
};

TEST_F(PackagingTest, EveryInstalledFileLandsInItsPlace) {
    ASSERT_FALSE(installed(QStringLiteral("service")).isEmpty() ||
                 installed(QStringLiteral("desktop")).isEmpty());
    for (const Entry& e : std::as_const(sLayout)) {
        const QFileInfo info(staged(e.installedPath));
        ASSERT_TRUE(info.isFile()) << e.installedPath.toStdString() << " is missing from the staged install";
        EXPECT_EQ(readTrace(info.filePath()), readTrace(e.builtFile)) << e.installedPath.toStdString();
        EXPECT_EQ(info.isExecutable(), ProgramComponents.contains(e.component))
            << e.installedPath.toStdString();
        EXPECT_FALSE(info.permission(QFile::WriteOther)) << e.installedPath.toStdString();
    }
    // The helpers go where the daemon's profile looks for them.
    const PlatformProfile profile = PlatformProfile::forLinux();
    EXPECT_EQ(installed(QStringLiteral("helpers")),
              (QStringList{profile.privateRsyncPath, profile.snapshotToolPath,
                           QStringLiteral(ZH_LIBEXEC_DIR "/zorvik-hollin-open")}));
    EXPECT_EQ(profile.snapshotToolPath, QStringLiteral(ZH_LIBEXEC_DIR "/tmutil"));
}

TEST_F(PackagingTest, UnitRunsTheInstalledDaemonAsRootAndAlwaysRestartsIt) {
    const QString unit = installed(QStringLiteral("service")).value(0);
    EXPECT_TRUE(unit.endsWith(QLatin1String("/systemd/system/zorvik-hollin-watcher.service")));
    const QString daemon = installed(QStringLiteral("daemon")).value(0);
    const QString text = readTrace(staged(unit));
    EXPECT_EQ(valueOf(text, QStringLiteral("ExecStart")), daemon);
    EXPECT_EQ(valueOf(text, QStringLiteral("Restart")), QStringLiteral("always"));
    EXPECT_EQ(valueOf(text, QStringLiteral("RestartSec")), QStringLiteral("5"));
    EXPECT_EQ(valueOf(text, QStringLiteral("User")), QStringLiteral("root"));
    EXPECT_TRUE(valueOf(text, QStringLiteral("After")).contains(QLatin1String("dbus")));
    EXPECT_EQ(valueOf(text, QStringLiteral("WantedBy")), QStringLiteral("multi-user.target"));

    // systemd checks the unit against the staged daemon (the unit names its final place).
    ZH_SKIP_IF(needs::tool("systemd-analyze", "systemd"));
    QTemporaryDir dir;
    QFile copy(dir.filePath(QStringLiteral("zorvik-hollin-watcher.service")));
    ASSERT_TRUE(copy.open(QIODevice::WriteOnly));
    copy.write(
        QString(text).replace(QStringLiteral("=") + daemon, QStringLiteral("=") + staged(daemon)).toUtf8());
    copy.close();
    // Every manual page its Documentation= names is installed: systemd looks each one up with man(1),
    // here in the staged manual folder.
    const QStringList pages = installed(QStringLiteral("manual"));
    ASSERT_FALSE(pages.isEmpty());
    const QString manFolder = QFileInfo(QFileInfo(staged(pages.first())).path()).path();
    EXPECT_EQ(valueOf(text, QStringLiteral("Documentation")),
              QStringLiteral("man:ZorvikHollinWatcher(8) man:ZorvikHollin(1)"));
    const QString noMan = needs::tool("man", "man-db");
    qputenv("MANPATH", manFolder.toUtf8());
    QByteArray out, err;
    const int status = ChildProcess::run(
        {QStringLiteral("systemd-analyze"), QStringLiteral("verify"),
         noMan.isEmpty() ? QStringLiteral("--man=yes") : QStringLiteral("--man=no"), copy.fileName()},
        &out, &err);
    qunsetenv("MANPATH");
    EXPECT_EQ(status, 0) << out.toStdString() << err.toStdString();
    EXPECT_FALSE(err.contains("Command 'man")) << err.toStdString();
}

// systemd's own rating of the unit's sandbox, from 0 (locked down) to 10 (exposed): the daemon is root,
// so its unit gives it no more than its job needs (docs/architecture.md, "The unit's sandbox").
TEST_F(PackagingTest, SystemdRatesTheUnitsExposureAtMostFourAndAHalf) {
    ZH_SKIP_IF(needs::tool("systemd-analyze", "systemd"));
    const QString unit = staged(installed(QStringLiteral("service")).value(0));
    QByteArray out, err;
    const int status = ChildProcess::run({QStringLiteral("systemd-analyze"), QStringLiteral("security"),
                                          QStringLiteral("--offline=true"), QStringLiteral("--threshold=45"),
                                          QStringLiteral("--no-pager"), unit},
                                         &out, &err);
    if (err.contains("unrecognized option"))
        GTEST_SKIP() << "this systemd-analyze cannot rate a unit file (--offline needs systemd 250): "
                     << err.trimmed().toStdString();
    // "→ Overall exposure level for zorvik-hollin-watcher.service: 3.1 OK 🙂"
    const QRegularExpressionMatch overall =
        QRegularExpression(QStringLiteral(R"(Overall exposure level for \S+: (\d+\.\d))"))
            .match(QString::fromUtf8(out));
    ASSERT_TRUE(overall.hasMatch()) << out.toStdString() << err.toStdString();
    const double exposure = overall.captured(1).toDouble();
    RecordProperty("exposure", overall.captured(1).toStdString());
    EXPECT_LE(exposure, 4.5) << out.toStdString();
    EXPECT_EQ(status, 0) << "systemd-analyze --threshold=45 refused the unit: " << out.toStdString()
                         << err.toStdString();
}

TEST_F(PackagingTest, DesktopEntriesStartTheInstalledApplicationAndPassTheValidator) {
    const QString noValidator = needs::tool("desktop-file-validate", "desktop-file-utils");
    for (const QString& entry : installed(QStringLiteral("desktop"))) {
        const QString text = readTrace(staged(entry));
        EXPECT_EQ(valueOf(text, QStringLiteral("Exec")), installed(QStringLiteral("application")).value(0))
            << entry.toStdString();
        // Kept after the program is gone (a removed package keeps /etc), the entry starts nothing.
        EXPECT_EQ(valueOf(text, QStringLiteral("TryExec")), installed(QStringLiteral("application")).value(0))
            << entry.toStdString();
        QByteArray out, err;
        EXPECT_TRUE(!noValidator.isEmpty() ||
                    ChildProcess::run({QStringLiteral("desktop-file-validate"), staged(entry)}, &out, &err) ==
                        0)
            << entry.toStdString() << ": " << out.toStdString() << err.toStdString();
    }
    ZH_SKIP_IF(noValidator);
}

// The software centres' description: AppStream's own validator finds nothing to say about it, even
// pedantically and with its checks of the web addresses named (every one must answer; here, where no
// web site is reached, that means none may be named), and its release is this version.
TEST_F(PackagingTest, TheMetainfoPassesAppStreamsPedanticValidationWithItsNetworkChecks) {
    const QString metainfo = installed(QStringLiteral("metainfo")).value(0);
    ASSERT_TRUE(
        metainfo.endsWith(QLatin1String("/share/metainfo/org.zorvikhollin.zorvikhollin.metainfo.xml")))
        << metainfo.toStdString();
    const QString text = readTrace(staged(metainfo));
    EXPECT_TRUE(
        text.contains(QLatin1String("<launchable type=\"desktop-id\">ZorvikHollin.desktop</launchable>")));
    EXPECT_TRUE(text.contains(QLatin1String("<release version=\"" ZH_PROJECT_VERSION "\"")))
        << "the newest release is " ZH_PROJECT_VERSION;
    ZH_SKIP_IF(needs::tool("appstreamcli", "appstream"));
    QByteArray out, err;
    const int status =
        ChildProcess::run({QStringLiteral("appstreamcli"), QStringLiteral("validate"),
                           QStringLiteral("--pedantic"), QStringLiteral("--no-color"), staged(metainfo)},
                          &out, &err, 120000);
    EXPECT_EQ(status, 0) << out.toStdString() << err.toStdString();
    // Not even an information or a pedantic remark.
    EXPECT_FALSE(QRegularExpression(QStringLiteral("^[EWIP]: "), QRegularExpression::MultilineOption)
                     .match(QString::fromUtf8(out + err))
                     .hasMatch())
        << out.toStdString() << err.toStdString();
}

// The manual pages: man(1) renders them without a warning (as lintian checks them), each has the
// sections an administrator looks for, and every file it names as the package's is where this build
// installs it (what only the running programs make lies in the system support folder).
TEST_F(PackagingTest, TheManualPagesRenderCleanlyAndNameTheInstalledFiles) {
    const QStringList pages = installed(QStringLiteral("manual"));
    ASSERT_EQ(pages.size(), 2);
    EXPECT_TRUE(pages.value(0).endsWith(QLatin1String("/man1/ZorvikHollin.1")))
        << pages.value(0).toStdString();
    EXPECT_TRUE(pages.value(1).endsWith(QLatin1String("/man8/ZorvikHollinWatcher.8")))
        << pages.value(1).toStdString();
    const QString support = PlatformProfile::forLinux().systemSupportFolder;
    for (const QString& page : pages) {
        const QString text = readTrace(staged(page));
        for (const char* section : {".SH NAME\n", ".SH SYNOPSIS\n", ".SH DESCRIPTION\n", ".SH SIGNALS\n",
                                    ".SH FILES\n", ".SH EXIT STATUS\n", ".SH SEE ALSO\n"})
            EXPECT_TRUE(text.contains(QLatin1String(section))) << page.toStdString() << ": no " << section;
        EXPECT_FALSE(text.contains(QLatin1Char('@'))) << page.toStdString() << ": a place left unfilled";
        const QRegularExpression named(QStringLiteral(R"(^\.I (/\S+)$)"),
                                       QRegularExpression::MultilineOption);
        int paths = 0;
        const qsizetype files = text.indexOf(QLatin1String(".SH FILES\n"));
        const QString filesSection =
            text.mid(files, text.indexOf(QLatin1String("\n.SH "), files + 1) - files);
        for (const QRegularExpressionMatch& m : named.globalMatch(filesSection)) {
            const QString path = QString(m.captured(1)).remove(QStringLiteral("\\"));
            ++paths;
            EXPECT_TRUE(QFileInfo::exists(staged(path)) || path.startsWith(support + QLatin1Char('/')))
                << page.toStdString() << " names " << path.toStdString() << ", which is not installed";
        }
        EXPECT_GE(paths, 2) << page.toStdString();
    }

    ZH_SKIP_IF(needs::tool("man", "man-db"));
    for (const QString& page : pages) {
        // lintian's own call: groff's warnings go to standard error.
        QProcess man;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        env.insert(QStringLiteral("MANROFFSEQ"), QString());
        env.insert(QStringLiteral("MANWIDTH"), QStringLiteral("80"));
        man.setProcessEnvironment(env);
        man.start(QStringLiteral("man"),
                  {QStringLiteral("--warnings"), QStringLiteral("-E"), QStringLiteral("UTF-8"),
                   QStringLiteral("-l"), QStringLiteral("-Tutf8"), QStringLiteral("-Z"), staged(page)});
        ASSERT_TRUE(man.waitForFinished(60000));
        EXPECT_EQ(man.exitCode(), 0) << page.toStdString();
        EXPECT_EQ(man.readAllStandardError(), QByteArray()) << page.toStdString();
        EXPECT_FALSE(man.readAllStandardOutput().isEmpty()) << page.toStdString();
    }
}

TEST_F(PackagingTest, AFirstInstallationAsksForTheInitialBackupAndAReinstallKeepsTheMachinesState) {
    const QString support = staged(PlatformProfile::forLinux().systemSupportFolder);
    const QString marker = support + QStringLiteral("/instal.txt");
    EXPECT_TRUE(QFileInfo(marker).isFile()) << "a first install leaves the first-start marker";
    // The machine was set up since (the first start consumed the marker): installing again over it
    // must not start everything from scratch.
    ASSERT_TRUE(QFile::remove(marker));
    QFile list(support + QStringLiteral("/InitialBackupList.txt"));
    ASSERT_TRUE(list.open(QIODevice::WriteOnly));
    list.close();
    qputenv("DESTDIR", sStage.path().toUtf8());
    QByteArray out, err;
    EXPECT_EQ(ChildProcess::run({QStringLiteral(ZH_CMAKE_COMMAND), QStringLiteral("--install"),
                                 QStringLiteral(ZH_BUILD_DIR), QStringLiteral("--component"),
                                 QStringLiteral("daemon")},
                                &out, &err, 120000),
              0)
        << out.toStdString() << err.toStdString();
    qunsetenv("DESTDIR");
    EXPECT_FALSE(QFileInfo::exists(marker));
}

// The deployment file lands where both programs read it, as a commented example that leaves every
// setting at its default and the feedback endpoint empty (the feedback window then saves reports); the
// package keeps an administrator's changes as a conffile, and installing again leaves them too.
TEST_F(PackagingTest, TheDeploymentFileIsAnExampleThatLeavesFeedbackUnsetAndIsKeptOnceEdited) {
    const PlatformProfile stagedMachine = PlatformProfile::forLinux(sStage.path());
    const QString file = DeploymentSettings::filePath(stagedMachine);
    EXPECT_EQ(installed(QStringLiteral("config")),
              QStringList{DeploymentSettings::filePath(PlatformProfile::forLinux())});
    ASSERT_TRUE(QFileInfo(file).isFile());
    EXPECT_EQ(QFileInfo(file).permissions() & (QFile::WriteGroup | QFile::WriteOther), QFile::Permissions());
    EXPECT_TRUE(QFileInfo(file).permission(QFile::ReadOther)) << "the application reads it as the person";

    const DeploymentSettings defaults;
    const DeploymentSettings read = DeploymentSettings::load(stagedMachine);
    EXPECT_EQ(read.applianceHostName, defaults.applianceHostName);
    EXPECT_EQ(read.feedbackHost, QString());
    EXPECT_EQ(read.supportAddress, defaults.supportAddress);
    // Every setting is there to be found, each with what it does.
    const QString text = readTrace(file);
    for (const char* key : {"[appliance]", ";hostName=", "[feedback]", "\nhost=\n", ";supportAddress="})
        EXPECT_TRUE(text.contains(QLatin1String(key))) << key;
    EXPECT_TRUE(text.contains(QLatin1String("Save report"))) << "what an empty endpoint means";

    // dpkg keeps it across upgrades: debhelper makes every file under /etc a conffile.
    EXPECT_TRUE(DeploymentSettings::filePath(PlatformProfile::forLinux()).startsWith(QLatin1String("/etc/")));

    // An administrator names the endpoint; installing again keeps it.
    const QString example = readTrace(file);
    QFile edited(file);
    ASSERT_TRUE(edited.open(QIODevice::WriteOnly | QIODevice::Truncate));
    edited.write("[feedback]\nhost=feedback.example.lan\n");
    edited.close();
    qputenv("DESTDIR", sStage.path().toUtf8());
    QByteArray out, err;
    EXPECT_EQ(ChildProcess::run({QStringLiteral(ZH_CMAKE_COMMAND), QStringLiteral("--install"),
                                 QStringLiteral(ZH_BUILD_DIR), QStringLiteral("--component"),
                                 QStringLiteral("config")},
                                &out, &err, 120000),
              0)
        << out.toStdString() << err.toStdString();
    qunsetenv("DESTDIR");
    EXPECT_EQ(DeploymentSettings::load(stagedMachine).feedbackHost, QStringLiteral("feedback.example.lan"));
    ASSERT_TRUE(edited.open(QIODevice::WriteOnly | QIODevice::Truncate));
    edited.write(example.toUtf8()); // as installed, for the other tests of this stage
}

// The Debian package is this version, and a fresh Debian 12 can build it: every package its build
// needs is one scripts/install-deps.sh installs (package.sh runs it, then dpkg-buildpackage checks).
TEST(DebianPackaging, IsThisVersionAndBuildsWithWhatInstallDepsInstalls) {
    const QString changelog = readTrace(QStringLiteral(ZH_SOURCE_DIR "/debian/changelog"));
    EXPECT_TRUE(changelog.startsWith(QLatin1String("zorvik-hollin (" ZH_PROJECT_VERSION ") ")))
        << changelog.left(80).toStdString();

    const QString control = readTrace(QStringLiteral(ZH_SOURCE_DIR "/debian/control"));
    const QRegularExpressionMatch field =
        QRegularExpression(QStringLiteral(R"(\nBuild-Depends:((?:.*\n)(?:[ \t].*\n)*))")).match(control);
    ASSERT_TRUE(field.hasMatch()) << control.toStdString();
    const QString installDeps = readTrace(QStringLiteral(ZH_SOURCE_DIR "/scripts/install-deps.sh"));
    int names = 0;
    for (QString dependency : field.captured(1).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        QString name = dependency.remove(QRegularExpression(QStringLiteral(R"(\(.*?\)|<.*?>|\s)")));
        if (name.isEmpty())
            continue;
        if (name == QLatin1String("debhelper-compat"))
            name = QStringLiteral("debhelper");
        ++names;
        EXPECT_TRUE(QRegularExpression(QStringLiteral("[\\s(]") + QRegularExpression::escape(name) +
                                       QStringLiteral("[\\s)]"))
                        .match(installDeps)
                        .hasMatch())
            << name.toStdString()
            << " is needed to build the package but install-deps.sh does not install it";
    }
    EXPECT_GE(names, 10);
}

} // namespace

// The file managers' entries and the session bus's activation file: each names the installed programs,
// and each format is what its file manager reads (the validators where there are ones).
class FileManagerEntriesTest : public PackagingTest {
  protected:
    static QString entry(const QString& ending) {
        for (const QString& path : installed(QStringLiteral("filemanagers")))
            if (path.endsWith(ending))
                return path;
        return QString();
    }
    // key=value lines of one group ("[Desktop Action check]").
    static QMap<QString, QString> group(const QString& text, const QString& name) {
        QMap<QString, QString> keys;
        bool in = false;
        for (const QString& raw : text.split(u'\n')) {
            const QString line = raw.trimmed();
            if (line.startsWith(u'['))
                in = line == u'[' + name + u']';
            else if (in && !line.isEmpty() && !line.startsWith(u'#') && line.contains(u'='))
                keys.insert(line.section(u'=', 0, 0), line.section(u'=', 1));
        }
        return keys;
    }
    static QString open() { return QStringLiteral(ZH_LIBEXEC_DIR "/zorvik-hollin-open"); }
};

TEST_F(FileManagerEntriesTest, TheSessionBusStartsTheInstalledApplicationForItsName) {
    const QString service =
        entry(QStringLiteral("/share/dbus-1/services/org.zorvikhollin.ZorvikHollin.service"));
    ASSERT_FALSE(service.isEmpty());
    const QMap<QString, QString> keys = group(readTrace(staged(service)), QStringLiteral("D-BUS Service"));
    EXPECT_EQ(keys.value(QStringLiteral("Name")), QStringLiteral("org.zorvikhollin.ZorvikHollin"));
    EXPECT_EQ(keys.value(QStringLiteral("Exec")), installed(QStringLiteral("application")).value(0));
}

TEST_F(FileManagerEntriesTest, DolphinsServiceMenuRunsTheProgramWithPathsAndPassesTheValidator) {
    const QString menu = entry(QStringLiteral("/share/kio/servicemenus/zorvik-hollin.desktop"));
    ASSERT_FALSE(menu.isEmpty());
    const QString text = readTrace(staged(menu));
    const QMap<QString, QString> main = group(text, QStringLiteral("Desktop Entry"));
    EXPECT_EQ(main.value(QStringLiteral("Type")), QStringLiteral("Service"));
    EXPECT_EQ(main.value(QStringLiteral("X-KDE-ServiceTypes")), QStringLiteral("KonqPopupMenu/Plugin"));
    EXPECT_EQ(main.value(QStringLiteral("MimeType")),
              QStringLiteral("application/octet-stream;inode/directory;"));
    EXPECT_EQ(main.value(QStringLiteral("X-KDE-Protocols")), QStringLiteral("file"));
    EXPECT_EQ(main.value(QStringLiteral("Actions")), QStringLiteral("versions;check;backup;"));
    const QStringList names{QStringLiteral("Versions…"), QStringLiteral("Check a File…"),
                            QStringLiteral("Back Up Now")};
    const QStringList german{QStringLiteral("Versionen …"), QStringLiteral("Datei prüfen …"),
                             QStringLiteral("Jetzt sichern")};
    int i = 0;
    for (const QString& action :
         {QStringLiteral("versions"), QStringLiteral("check"), QStringLiteral("backup")}) {
        const QMap<QString, QString> keys = group(text, QStringLiteral("Desktop Action ") + action);
        EXPECT_EQ(keys.value(QStringLiteral("Name")), names[i]);
        EXPECT_EQ(keys.value(QStringLiteral("Name[de]")), german[i++]);
        // %F: each selected path one argument of its own (KIO runs the program without a shell).
        EXPECT_EQ(keys.value(QStringLiteral("Exec")), open() + u' ' + action + QStringLiteral(" %F"));
    }
    ZH_SKIP_IF(needs::tool("desktop-file-validate", "desktop-file-utils"));
    QByteArray out, err;
    ChildProcess::run({QStringLiteral("desktop-file-validate"), staged(menu)}, &out, &err);
    // The validator knows applications, not KDE's service menus: it says exactly that MimeType and
    // Actions belong to applications, and nothing else.
    const QStringList said = QString::fromUtf8(out + err).split(u'\n', Qt::SkipEmptyParts);
    for (const QString& line : said)
        EXPECT_TRUE(
            line.endsWith(QLatin1String("error: key \"MimeType\" is present in group \"Desktop Entry\", but "
                                        "the type is \"Service\" while this key is only valid for type "
                                        "\"Application\"")) ||
            line.endsWith(QLatin1String("error: key \"Actions\" is present in group \"Desktop Entry\", but "
                                        "the type is \"Service\" while this key is only valid for type "
                                        "\"Application\"")))
            << line.toStdString();
    EXPECT_LE(said.size(), 2);
}

TEST_F(FileManagerEntriesTest, NemosActionsRunTheProgramWithUrisForTheirSelection) {
    const struct {
        const char *file, *verb, *name, *german, *selection;
    } actions[] = {{"versions", "versions", "Versions…", "Versionen …", "s"},
                   {"check", "check", "Check a File…", "Datei prüfen …", "notnone"},
                   {"backup", "backup", "Back Up Now", "Jetzt sichern", "notnone"}};
    // What Nemo reads of an action; a key it does not know is a mistake in ours.
    const QStringList known{"Active",    "Name", "Name[de]", "Comment",   "Comment[de]",
                            "Icon-Name", "Exec", "Quote",    "Selection", "Extensions"};
    for (const auto& a : actions) {
        const QString path = entry(
            QStringLiteral("/share/nemo/actions/zorvik-hollin-%1.nemo_action").arg(QLatin1String(a.file)));
        ASSERT_FALSE(path.isEmpty()) << a.file;
        const QString text = readTrace(staged(path));
        EXPECT_TRUE(text.startsWith(QLatin1String("[Nemo Action]\n")));
        const QMap<QString, QString> keys = group(text, QStringLiteral("Nemo Action"));
        for (auto k = keys.cbegin(); k != keys.cend(); ++k)
            EXPECT_TRUE(known.contains(k.key())) << path.toStdString() << ": " << k.key().toStdString();
        EXPECT_EQ(keys.value(QStringLiteral("Active")), QStringLiteral("true"));
        EXPECT_EQ(keys.value(QStringLiteral("Name")), QString::fromUtf8(a.name));
        EXPECT_EQ(keys.value(QStringLiteral("Name[de]")), QString::fromUtf8(a.german));
        // %U inside double quotes: a URI has no blank, quote or backslash to leave them with.
        EXPECT_EQ(keys.value(QStringLiteral("Exec")),
                  open() + u' ' + QLatin1String(a.verb) + QStringLiteral(" %U"));
        EXPECT_EQ(keys.value(QStringLiteral("Quote")), QStringLiteral("double"));
        EXPECT_EQ(keys.value(QStringLiteral("Selection")), QLatin1String(a.selection));
        EXPECT_EQ(keys.value(QStringLiteral("Extensions")), QStringLiteral("any;"));
    }
}

TEST_F(FileManagerEntriesTest, TheFilesExtensionOffersTheEntriesAndPassesUrisAsArguments) {
    const QString extension = entry(QStringLiteral("/share/nautilus-python/extensions/zorvik-hollin.py"));
    ASSERT_FALSE(extension.isEmpty());
    EXPECT_TRUE(readTrace(staged(extension)).contains(QStringLiteral("OPEN = \"") + open() + u'"'));
    QByteArray out, err;
    if (ChildProcess::run({QStringLiteral("/usr/bin/python3"), QStringLiteral("-c"),
                           QStringLiteral("import gi; gi.require_version('Nautilus', '4.0')")},
                          &out, &err) != 0)
        GTEST_SKIP() << "needs nautilus-python's bindings (Debian package python3-nautilus)";
    // The extension as Files loads it, with its program replaced by one that writes down its arguments.
    QTemporaryDir dir;
    const QString record = dir.filePath(QStringLiteral("argv"));
    const QString script = QStringLiteral(R"PY(
import importlib.util, os, sys, time
found = importlib.util.spec_from_file_location("zh", sys.argv[1])
zh = importlib.util.module_from_spec(found); found.loader.exec_module(zh)
zh.OPEN = sys.argv[2]
class Info:
    def __init__(self, uri): self.uri = uri
    def get_uri_scheme(self): return self.uri.split(":")[0]
    def get_uri(self): return self.uri
one = [Info("file:///home/ann/it%27s%20a%20%22report%22%20%24%28id%29%0A.txt")]
two = one + [Info("file:///home/ann/Caf%E9")]
menu = zh.ZorvikHollinMenu()
print("|".join(i.props.label for i in menu.get_file_items(one)))
print("|".join(i.props.label for i in menu.get_file_items(two)))
print(len(menu.get_file_items([Info("smb://nas/share/a.txt")])))
menu.get_file_items(two)[0].activate()
os.environ["LANGUAGE"] = "de"
print("|".join(i.props.label for i in menu.get_file_items(one)))
)PY");
    const QString recorder = dir.filePath(QStringLiteral("record.sh"));
    QFile r(recorder);
    ASSERT_TRUE(r.open(QIODevice::WriteOnly));
    r.write(QStringLiteral("#!/bin/sh\nfor a; do printf '%s\\n' \"$a\"; done >'%1'\n").arg(record).toUtf8());
    r.close();
    r.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("LANGUAGE", "en");
    ASSERT_EQ(ChildProcess::run({QStringLiteral("/usr/bin/python3"), QStringLiteral("-c"), script,
                                 staged(extension), recorder},
                                &out, &err),
              0)
        << err.toStdString();
    qunsetenv("LANGUAGE");
    EXPECT_EQ(QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts),
              (QStringList{QStringLiteral("Versions…|Check a File…|Back Up Now"),
                           QStringLiteral("Check a File…|Back Up Now"), QStringLiteral("0"),
                           QStringLiteral("Versionen …|Datei prüfen …|Jetzt sichern")}));
    for (int i = 0; i < 100 && QFileInfo(record).size() == 0; ++i)
        QThread::msleep(100);
    EXPECT_EQ(readTrace(record),
              QStringLiteral("check\nfile:///home/ann/it%27s%20a%20%22report%22%20%24%28id%29%0A.txt\nfile://"
                             "/home/ann/Caf%E9\n"));
}

TEST_F(FileManagerEntriesTest, TheThunarExtensionIsAModuleThunarLoadsThatRunsTheInstalledProgram) {
    const QString module = entry(QStringLiteral("/zorvik-hollin-thunar.so"));
    if (module.isEmpty())
        GTEST_SKIP() << "built without the Thunar extension (needs libthunarx-3-dev)";
    EXPECT_TRUE(module.endsWith(QLatin1String("/thunarx-3/zorvik-hollin-thunar.so"))) << module.toStdString();
    ZH_SKIP_IF(needs::tool("nm", "binutils"));
    QByteArray out, err;
    ASSERT_EQ(ChildProcess::run({QStringLiteral("nm"), QStringLiteral("-D"), QStringLiteral("--defined-only"),
                                 staged(module)},
                                &out, &err),
              0);
    QStringList exported;
    for (const QString& line : QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts))
        if (line.section(u' ', 1, 1) == QLatin1String("T"))
            exported << line.section(u' ', 2);
    exported.sort();
    // What Thunar calls, and nothing else of ours.
    EXPECT_EQ(exported, (QStringList{QStringLiteral("thunar_extension_initialize"),
                                     QStringLiteral("thunar_extension_list_types"),
                                     QStringLiteral("thunar_extension_shutdown")}));
    QFile so(staged(module));
    ASSERT_TRUE(so.open(QIODevice::ReadOnly));
    EXPECT_TRUE(so.readAll().contains(open().toUtf8() + '\0'));
}
