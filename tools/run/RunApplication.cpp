// The application's side of the main job, run as the user at the screen: the real AppDelegate with the
// application's own windows over the profile root and the bus the host prepared. For a person it simply
// runs; for the walk it drives the windows as a person would (QTest) and saves a screenshot of each step.

#include "AppDelegate.h"
#include "ApplicationWindows.h"
#include "EventLoopWait.h"
#include "LoginController.h"
#include "LoginItems.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "RestoreViewController.h"
#include "Run.h"
#include "SearchController.h"
#include "StatusController.h"
#include "UserDefaults.h"
#include "UtilityClass.h"
#include "linux/DBusNotificationCenter.h"
#include "ui_LoginController.h"
#include "ui_RestoreViewController.h"
#include "ui_SearchController.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextStream>

#include <cstdio>

void Run::say(qint64 startMs, const QString& text) {
    std::printf("[%6.1f s] %s\n", (QDateTime::currentMSecsSinceEpoch() - startMs) / 1000.0, qPrintable(text));
    std::fflush(stdout);
}

namespace {

template <typename T = QWidget> T* outlet(QWidget* window, const char* name) {
    return window ? window->findChild<T*>(QString::fromLatin1(name)) : nullptr;
}
// The text of a label or a button of the window.
QString text(QWidget* window, const char* name) {
    if (auto* label = outlet<QLabel>(window, name))
        return label->text();
    auto* button = outlet<QPushButton>(window, name);
    return button ? button->text() : QString();
}

QByteArray contentOf(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The scripted walk: each step prints its outcome and leaves a screenshot of the window it used.
class Walk {
  public:
    Walk(AppDelegate& app, QString root, QString address, QString password, qint64 start)
        : mApp(app), mRoot(std::move(root)), mAddress(std::move(address)), mPassword(std::move(password)),
          mStart(start), mHome(app.services().profile.homeOf(app.services().userName)) {
        app.notifications()->addObserver(
            &mObserver, Protocol::Progress, [this](const QString&, const QVariantMap& i) {
                // What had gone out when each run completed.
                if (i.value(Protocol::KeyProgress).toString() == Protocol::ProgressBackupCompleted)
                    mSentAtCompletion << sentFiles();
            });
    }

    ~Walk() { mApp.notifications()->removeObserver(&mObserver); }

    int run() {
        logIn() && initialBackup() && change() && pauseAndResume() && restoreFromSnapshot() &&
            restoreFromSearch();
        QFile result(Run::resultFile(mRoot));
        if (result.open(QIODevice::WriteOnly))
            result.write(QByteArray::number(mPassed) + ' ' + QByteArray::number(mFailed));
        return mFailed;
    }

  private:
    bool step(const char* shot, const QString& title, bool ok, QWidget* shown,
              const QString& detail = QString()) {
        if (shown)
            shown->grab().save(QStringLiteral("%1/%2-%3.png")
                                   .arg(Run::shotsFolder(mRoot))
                                   .arg(++mShots, 2, 10, QChar(u'0'))
                                   .arg(QLatin1String(shot)));
        Run::say(mStart, QStringLiteral("%1 ... %2%3")
                             .arg(title, ok ? QStringLiteral("ok") : QStringLiteral("FAILED"),
                                  detail.isEmpty() ? QString() : QStringLiteral(" (") + detail + u')'));
        (ok ? mPassed : mFailed) += 1;
        if (!ok) { // the application's own account of it
            const QList<QByteArray> lines =
                contentOf(QFileInfo(mApp.userDetailsPath()).path() + u'/' + Protocol::InteractiveTraceFile)
                    .trimmed()
                    .split('\n');
            for (const QByteArray& line : lines.mid(qMax(0, lines.size() - 8)))
                Run::say(mStart, QStringLiteral("    trace: ") + QString::fromUtf8(line));
        }
        return ok;
    }
    QWidget* status() const { return mApp.statusWindow() ? mApp.statusWindow()->window() : nullptr; }
    // The files the daemon reported sent, from the person's session logs ("Backup completed for …").
    // The live figures name only the newest file of a run, so they cannot say what went out.
    QStringList sentFiles() const {
        static const QString marker = QStringLiteral("Backup completed for ");
        QStringList files;
        const QDir folder(mApp.paths().pathForApplicationFile(AppPath::SessionLogsFolder));
        for (const QString& name : folder.entryList(QDir::Files))
            for (const QString& line : QString::fromUtf8(contentOf(folder.filePath(name))).split(u'\n'))
                if (const qsizetype at = line.indexOf(marker); at >= 0)
                    files << line.mid(at + marker.size()).trimmed();
        return files;
    }
    static bool names(const QStringList& files, const QString& name) {
        return std::any_of(files.cbegin(), files.cend(),
                           [&](const QString& f) { return f.endsWith(u'/' + name); });
    }
    bool sent(const QString& name) const { return names(sentFiles(), name); }
    // Waits until a backup run completed with the file gone out.
    bool arrives(const QString& name, int timeoutMs) {
        return waitUntil(
            [&] {
                return std::any_of(mSentAtCompletion.cbegin(), mSentAtCompletion.cend(),
                                   [&](const QStringList& files) { return names(files, name); });
            },
            timeoutMs);
    }
    void write(const QString& relative, const QByteArray& content) {
        QFile f(mHome + QStringLiteral("/Documents/") + relative);
        if (f.open(QIODevice::WriteOnly))
            f.write(content);
    }

    bool logIn() {
        LoginController* login = nullptr;
        waitUntil([&] { return (login = mApp.loginController()) && login->isVisible(); }, 60000);
        if (!login)
            return step("log-in", QStringLiteral("log in"), false, nullptr,
                        QStringLiteral("no log-in window"));
        Ui::LoginController& ui = login->ui();
        if (!ui.pIp->isHidden())
            QTest::keyClicks(ui.pIp, mAddress);
        QTest::keyClicks(ui.pUsername, QStringLiteral("demo"));
        QTest::keyClicks(ui.pwd, mPassword);
        login->grab().save(Run::shotsFolder(mRoot) + QStringLiteral("/00-log-in-window.png"));
        QTest::keyClick(ui.pwd, Qt::Key_Return);
        const bool in =
            waitUntil([&] { return mApp.isLoggedIn() && status() && status()->isVisible(); }, 90000);
        return step("logged-in", QStringLiteral("log in as \"demo\""), in, status());
    }

    bool initialBackup() {
        QStringList figures;
        QObject reader;
        bool shot = false;
        mApp.notifications()->addObserver(
            &reader, Protocol::Progress, [&](const QString&, const QVariantMap&) {
                // The window names the sent file first: "<name> in <folder>".
                const QString now =
                    QStringLiteral("%1 files, %2, now %3")
                        .arg(text(status(), "totalFiles"), text(status(), "sizeuploaded"),
                             text(status(), "uploadingFile").section(QStringLiteral(" in "), 0, 0));
                if (text(status(), "sizeuploaded").isEmpty() || figures.contains(now))
                    return;
                figures << now;
                if (!shot)
                    status()->grab().save(Run::shotsFolder(mRoot) + QStringLiteral("/02-backup-running.png"));
                shot = true;
                if (figures.size() == 1 || figures.size() % 10 == 0)
                    Run::say(mStart, QStringLiteral("    live: ") + now);
            });
        if (auto* start = outlet<QPushButton>(status(), "startLocalBackup"))
            start->click();
        const bool done =
            waitUntil([&] { return text(status(), "titleMsg") == QStringLiteral("Success!"); }, 300000);
        mApp.notifications()->removeObserver(&reader);
        return step(
            "backup-done", QStringLiteral("initial backup with live figures"), done && figures.size() >= 2,
            status(),
            QStringLiteral("%1 figures shown, \"%2\"").arg(figures.size()).arg(text(status(), "displayMsg")));
    }

    bool change() {
        write(QStringLiteral("Minutes 7 December.txt"), "Agenda: backups, restores.\n");
        const bool ok = arrives(QStringLiteral("Minutes 7 December.txt"), 120000);
        return step("change-sent", QStringLiteral("a change: \"Minutes 7 December.txt\" saved and sent"), ok,
                    status(), text(status(), "lastBackup"));
    }

    bool pauseAndResume() {
        auto* pause = outlet<QPushButton>(status(), "pause");
        if (!pause)
            return step("paused", QStringLiteral("pause"), false, status(),
                        QStringLiteral("no pause button"));
        pause->click();
        const bool paused =
            PropertyList::readDictionary(mApp.userDetailsPath()).value(Protocol::PauseStateKey) ==
            QStringLiteral("1");
        write(QStringLiteral("While paused.txt"), "written while paused\n");
        spinFor(6000); // time enough to send it, were the backup not paused
        const bool held = !sent(QStringLiteral("While paused.txt"));
        const bool ok = step("paused", QStringLiteral("pause: nothing sent while paused"), paused && held,
                             status(), QStringLiteral("button \"%1\"").arg(pause->text()));
        pause->click();
        return step("resumed", QStringLiteral("resume: \"While paused.txt\" sent"),
                    arrives(QStringLiteral("While paused.txt"), 120000) && ok, status()) &&
               ok;
    }

    RestoreViewController* restoreWindow() {
        mApp.RestoreWin();
        RestoreViewController* w = nullptr;
        waitUntil(
            [&] {
                for (QWidget* top : QApplication::topLevelWidgets())
                    if (auto* r = qobject_cast<RestoreViewController*>(top); r && r->isVisible())
                        w = r;
                return w != nullptr;
            },
            30000);
        if (w)
            waitUntil([w] { return !w->isBusy(); }, 120000);
        return w;
    }
    // Opens folder after folder in the outline down to the node of that path.
    static ZHTreeNode* reveal(RestoreViewController* w, const QStringList& components) {
        ZHTreeNode* node = w->treeModel()->tree().mRootItem();
        for (const QString& name : components) {
            ZHTreeNode* next = nullptr;
            for (ZHTreeNode* child : node->getChildren())
                if (child->relativePath() == name)
                    next = child;
            if (!(node = next))
                return nullptr;
            if (!node->isAFile() && node->hasdummyChildren()) {
                w->ui()->mOutlineView->expand(w->treeModel()->indexFor(node));
                waitUntil([&] { return !node->hasdummyChildren() && !w->isBusy(); }, 60000);
            }
        }
        return node;
    }
    // Restores what is ticked into a fresh folder and compares the bytes of one file with the original.
    bool restoreInto(RestoreViewController* w, const QString& folder, const QString& restored,
                     const QString& original) {
        const QString destination = mHome + u'/' + folder;
        QDir().mkpath(destination);
        w->setDownloadLocation(destination);
        QSignalSpy finished(w, &RestoreViewController::restoreFinished);
        w->Restore();
        // The window may first sum up what it is about to do: confirm it as a person would.
        QDialog* summary = nullptr;
        waitUntil(
            [&] {
                for (QDialog* d : w->findChildren<QDialog*>())
                    if (d->isVisible() && !qobject_cast<QMessageBox*>(d))
                        summary = d;
                return summary || w->isRestoreRunning() || !finished.isEmpty();
            },
            10000);
        if (auto* box = summary ? summary->findChild<QDialogButtonBox*>() : nullptr) {
            summary->grab().save(QStringLiteral("%1/%2-restore-summary.png")
                                     .arg(Run::shotsFolder(mRoot))
                                     .arg(mShots + 1, 2, 10, QChar(u'0')));
            for (QAbstractButton* b : box->buttons())
                if (box->buttonRole(b) == QDialogButtonBox::AcceptRole)
                    QTest::mouseClick(b, Qt::LeftButton);
        }
        const bool done = waitUntil([&] { return !finished.isEmpty(); }, 120000);
        const QByteArray bytes = contentOf(destination + u'/' + restored);
        return done && finished.first().first().toStringList().isEmpty() && !bytes.isEmpty() &&
               bytes == contentOf(original);
    }

    bool restoreFromSnapshot() {
        QFile request(Run::snapshotRequest(mRoot));
        request.open(QIODevice::WriteOnly);
        request.close();
        const bool taken = waitUntil([&] { return !QFile::exists(request.fileName()); }, 60000);
        RestoreViewController* w = restoreWindow();
        if (!w || !taken || w->ui()->snapshotBtn->count() < 2)
            return step("restore-snapshot", QStringLiteral("restore from a snapshot"), false, w,
                        QStringLiteral("no snapshot offered"));
        const QString snapshot = w->ui()->snapshotBtn->itemText(1);
        w->SnapshottemChanged(snapshot);
        waitUntil([w] { return !w->isBusy(); }, 120000);
        const QString photos = mHome + QStringLiteral("/Documents/Photos");
        ZHTreeNode* file =
            reveal(w, QStringList{UtilityClass::machineName()} +
                          (photos + QStringLiteral("/Holiday 3.jpg")).split(u'/', Qt::SkipEmptyParts));
        if (file)
            w->treeModel()->toggle(file);
        const bool ok =
            file && restoreInto(w, QStringLiteral("Restored from snapshot"), QStringLiteral("Holiday 3.jpg"),
                                photos + QStringLiteral("/Holiday 3.jpg"));
        return step("restore-snapshot",
                    QStringLiteral("restore from a snapshot: \"Holiday 3.jpg\" of %1, same bytes")
                        .arg(snapshot.trimmed()),
                    ok, w);
    }

    bool restoreFromSearch() {
        RestoreViewController* w = restoreWindow();
        if (!w)
            return step("restore-search", QStringLiteral("restore from search"), false, nullptr,
                        QStringLiteral("no restore window"));
        w->cancelSnapshot();
        waitUntil([w] { return !w->isBusy(); }, 120000);
        // The index follows the backups a little later: search again until the letter is found.
        SearchController* results = nullptr;
        QSignalSpy searched(w, &RestoreViewController::searchFinished);
        waitUntil(
            [&] {
                searched.clear();
                w->ui()->search->setText(QStringLiteral("Anna"));
                emit w->ui()->search->returnPressed();
                waitUntil([&] { return !searched.isEmpty(); }, 30000);
                results = w->searchController();
                if (results && results->ui()->pSearchTable->rowCount() > 0)
                    return true;
                spinFor(2000);
                return false;
            },
            180000);
        const bool found = results && results->ui()->pSearchTable->rowCount() > 0;
        if (found)
            for (int row = 0; row < results->ui()->pSearchTable->rowCount(); ++row)
                results->ui()->pSearchTable->item(row, 0)->setCheckState(Qt::Checked);
        const bool ok = found && restoreInto(w, QStringLiteral("Restored from search"),
                                             QStringLiteral("Letter to Anna.txt"),
                                             mHome + QStringLiteral("/Documents/Letter to Anna.txt"));
        return step("restore-search",
                    QStringLiteral("restore from search \"Anna\": \"Letter to Anna.txt\", same bytes"), ok, w,
                    results ? results->countText() : QString());
    }

    AppDelegate& mApp;
    QString mRoot, mAddress, mPassword;
    qint64 mStart;
    QString mHome;
    QObject mObserver;
    QList<QStringList> mSentAtCompletion;
    int mPassed = 0, mFailed = 0, mShots = 0;
};

} // namespace

int Run::application(int argc, char** argv) {
    QApplication qapp(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const QStringList args = qapp.arguments();
    if (args.size() != 8)
        return 64;
    const QString root = args[2], userName = args[4], address = args[6];
    const bool walk = args[5] == QStringLiteral("walk");
    const QString password = QTextStream(stdin).readLine();

    QDBusConnection bus(QStringLiteral("app"));
    for (int attempt = 0; attempt < 100 && !bus.isConnected(); ++attempt) {
        QDBusConnection::disconnectFromBus(QStringLiteral("app"));
        bus = QDBusConnection::connectToBus(args[3], QStringLiteral("app"));
        if (!bus.isConnected())
            spinFor(50);
    }
    DBusNotificationCenter notifications(bus, DistributedNotificationCenter::rootOnly());
    UserDefaults defaults(root + QStringLiteral("/run/defaults.ini"));
    AppServices services;
    services.profile = PlatformProfile::forLinux(root);
    services.profile.snapshotToolPath = QStringLiteral(ZH_TMUTIL);
    services.userName = userName;
    services.notifications = &notifications;
    const auto loginItems = LoginItems::forHome(services.profile.homeOf(userName));
    services.loginItems = loginItems.get();
    services.defaults = &defaults;
    services.deployment.applianceHostName = address;
    services.applicationPath = root + QStringLiteral("/usr/bin/ZorvikHollin");
    services.version = QStringLiteral(ZH_VERSION);
    services.windows = applicationWindows();

    AppDelegate app(services);
    QObject::connect(&qapp, &QCoreApplication::aboutToQuit, &app, &AppDelegate::applicationWillTerminate);
    app.applicationDidFinishLaunching();
    if (!walk)
        return QApplication::exec();
    return Walk(app, root, address, password, args[7].toLongLong()).run();
}
