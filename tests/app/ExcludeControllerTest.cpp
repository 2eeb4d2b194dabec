// The exclusion editor offscreen over a temporary root, then with the whole daemon as a process of
// its own: a folder added in the editor stops being backed up, removed again it is backed up.

#include "ExcludeController.h"
#include "Appliance.h"
#include "ChildProcess.h"
#include "CustomTableView.h"
#include "DistributedNotificationCenter.h"
#include "EventLoopWait.h"
#include "FilePathsController.h"
#include "FileTools.h"
#include "PrivateBus.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "TestRoots.h"
#include "UtilityClass.h"
#include "linux/DBusNotificationCenter.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusConnection>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace {

// Records what the editor announces.
class RecordingCenter : public DistributedNotificationCenter {
  public:
    QList<QPair<QString, QVariantMap>> posted;
    bool postNotification(const QString& name, const QVariantMap& info, int) override {
        posted << qMakePair(name, info);
        return true;
    }
    void addObserver(QObject*, const QString&, Handler) override {}
    void removeObserver(QObject*, const QString&) override {}
    void setTraceLogger(TraceLogger) override {}
};

// Chooses path in the editor's open panel.
void chooseInPanel(ExcludeController& editor, const QString& path) {
    editor.AddToExclude();
    auto* panel = editor.findChild<QFileDialog*>();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->windowModality(), Qt::WindowModal);
    panel->selectFile(path);
    static_cast<QDialog*>(panel)->accept(); // the panel's own accept, as its button does
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Presses the button titled answer on the next alert shown, once it is up; records its question.
void answerNextAlert(const QString& answer, QString* asked) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, answer, asked] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* box = qobject_cast<QMessageBox*>(widget);
            if (!box || !box->isVisible())
                continue;
            *asked = box->text();
            poll->deleteLater();
            poll->stop();
            for (QAbstractButton* button : box->buttons())
                if (button->text() == answer)
                    button->click();
            return;
        }
    });
    poll->start(20);
}

QStringList onDisk(const QString& path) {
    return PropertyList::readStringArray(path);
}

} // namespace

TEST(ExcludeController, EditsBothListsAndTheDownloadFolderOfARestore) {
    TempRoot root;
    const FilePathsController paths(FilePathsController::Table::Application, root.profile());
    const QString listFile = paths.pathForApplicationFile(AppPath::InitialExcludeList);
    const QString patternFile = paths.pathForApplicationFile(AppPath::ExcludePattern);
    const QString folderA = root.path() + QStringLiteral("/data/Folder 'A'");
    const QString folderB = root.path() + QStringLiteral("/data/B $(x)");
    QDir().mkpath(folderA);
    QDir().mkpath(folderB);
    RecordingCenter center;
    ExcludeController editor(root.profile(), &center);
    editor.setDetails();
    editor.show();

    // Empty lists: "Delete" is disabled, other items are not.
    std::unique_ptr<QMenu> menu(editor.contextMenuFor(editor.excludeTable()));
    EXPECT_FALSE(menu->actions().first()->isEnabled());
    QAction other(QStringLiteral("Add"));
    EXPECT_TRUE(editor.validateMenuItem(&other));

    // A folder through the window-modal open panel; the same folder again changes and posts nothing.
    chooseInPanel(editor, folderA);
    EXPECT_EQ(onDisk(listFile), QStringList{folderA});
    ASSERT_EQ(center.posted.size(), 1);
    EXPECT_EQ(center.posted.first().first, Protocol::Exclude);
    EXPECT_EQ(center.posted.first().second, (QVariantMap{{Protocol::KeyType, QStringLiteral("1")}}));
    chooseInPanel(editor, folderA);
    EXPECT_EQ(center.posted.size(), 1);
    EXPECT_EQ(editor.excludeList(), QStringList{folderA});
    menu.reset(editor.contextMenuFor(editor.excludeTable()));
    EXPECT_TRUE(menu->actions().first()->isEnabled());
    chooseInPanel(editor, folderB);
    EXPECT_EQ(onDisk(listFile), (QStringList{folderA, folderB}));

    // A pattern confirmed without typing is stored as the single blank; patterns post nothing.
    editor.AddPattern();
    ASSERT_TRUE(editor.operationSheet()->isVisible());
    EXPECT_EQ(editor.operationSheet()->findChild<QLabel*>(QStringLiteral("panelMessage"))->text(),
              QStringLiteral("Enter Pattern you want to exclude"));
    editor.operationSheet()->findChild<QPushButton*>(QStringLiteral("OKpanelBtn"))->click();
    EXPECT_FALSE(editor.operationSheet()->isVisible());
    EXPECT_EQ(onDisk(patternFile), QStringList{QStringLiteral(" ")});
    EXPECT_EQ(center.posted.size(), 2);

    // The close image asks; "Cancel" keeps the entry, "Delete" removes the clicked one only.
    editor.excludeTable()->selectAll();
    QString asked;
    answerNextAlert(QStringLiteral("Cancel"), &asked);
    editor.shouldSelectRow(editor.excludeTable(), 1, ExcludeController::CloseImageColumn);
    EXPECT_EQ(asked, QStringLiteral("Are you sure you want to Delete?"));
    EXPECT_EQ(editor.excludeList().size(), 2);
    answerNextAlert(QStringLiteral("Delete"), &asked);
    editor.shouldSelectRow(editor.excludeTable(), 1, ExcludeController::CloseImageColumn);
    EXPECT_EQ(onDisk(listFile), QStringList{folderA});
    EXPECT_EQ(center.posted.size(), 3);

    // The restore browser's download folder goes in and out of the file with "Type" "2"; the list
    // the editor shows stays as it was loaded.
    const QString download = root.path() + QStringLiteral("/Restored Files");
    editor.AddDownloadPathToExcludeList(download);
    EXPECT_EQ(onDisk(listFile), (QStringList{folderA, download}));
    EXPECT_EQ(editor.excludeList(), QStringList{folderA});
    EXPECT_EQ(center.posted.last().second, (QVariantMap{{Protocol::KeyType, QStringLiteral("2")}}));
    editor.AddDownloadPathToExcludeList(download);
    EXPECT_EQ(center.posted.size(), 4);
    editor.RemoveDownloadPathFromeExcludeList(download);
    EXPECT_EQ(onDisk(listFile), QStringList{folderA});
    EXPECT_EQ(center.posted.size(), 5);
    EXPECT_EQ(center.posted.last().second.value(Protocol::KeyType), QStringLiteral("2"));

    // A pattern removed; without a selection nothing happens.
    editor.patternTable()->clearSelection();
    editor.DeletePattern();
    EXPECT_EQ(editor.excludePatterns().size(), 1);
    editor.patternTable()->selectRow(0);
    editor.DeletePattern();
    EXPECT_TRUE(onDisk(patternFile).isEmpty());

    // A write that fails shows the change but announces nothing.
    QFile::remove(listFile);
    QDir().mkpath(listFile + QStringLiteral("/in the way"));
    chooseInPanel(editor, folderB);
    EXPECT_EQ(editor.excludeList(), (QStringList{folderA, folderB}));
    EXPECT_EQ(center.posted.size(), 5);
}

TEST(ExcludeController, AFolderAddedStopsBeingBackedUpAndRemovedIsBackedUpAgain) {
    const QString reason = Appliance::skipReason();
    if (!reason.isEmpty())
        GTEST_SKIP() << reason.toStdString();
    Appliance appliance;
    PrivateBus bus;
    TempRoot root;
    const FixtureUser user = FixtureUser::get();
    const QString account = QStringLiteral("ann");
    const QString password = QStringLiteral("pw of ann");
    ASSERT_TRUE(appliance.addUser(account, password));
    ASSERT_TRUE(appliance.start());
    ASSERT_TRUE(bus.start());
    qputenv("ZH_TMUTIL_STATE", (root.path() + QStringLiteral("/tmutil-state.plist")).toUtf8());
    FilePathsController paths(FilePathsController::Table::Daemon, root.profile());
    paths.setM_ConsoleUserName(user.name);
    const QString home = root.createHome(user);
    QDir().mkpath(root.path() + QStringLiteral("/etc")); // the rsync password files
    FileTools::makePath(QFileInfo(root.profile().privateRsyncPath).path());
    QFile::link(QStringLiteral(ZH_PRIVATE_RSYNC), root.profile().privateRsyncPath);
    FileTools::makePath(paths.pathForApplicationFile(DaemonPath::UserSupportFolder));
    FileTools::makePath(root.profile().systemSupportFolder);
    QFile(paths.pathForApplicationFile(DaemonPath::InstalMarker)).open(QIODevice::WriteOnly);
    auto write = [](const QString& path, const QByteArray& content) {
        FileTools::makePath(QFileInfo(path).path());
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(content);
    };
    write(home + QStringLiteral("/Keep/a.txt"), "a");
    write(home + QStringLiteral("/Private Stuff/p.txt"), "p");
    PropertyList::writeDictionary(paths.pathForApplicationFile(DaemonPath::UserDetails),
                                  {{Protocol::UserName, account},
                                   {Protocol::Password, password},
                                   {Protocol::Ip, appliance.address()},
                                   {Protocol::Login, QStringLiteral("1")},
                                   {Protocol::PauseStateKey, QStringLiteral("0")},
                                   {Protocol::LocalBackup, QStringLiteral("1")},
                                   {Protocol::TimeMachineBackup, QStringLiteral("0")}},
                                  PropertyList::OwnerOnlyMode);
    auto onAppliance = [&](const QString& local) {
        return QFile::exists(appliance.modulePath() + u'/' + account + u'/' + UtilityClass::machineName() +
                             local);
    };
    const pid_t daemon = ChildProcess::spawn(
        {QStringLiteral(ZH_DAEMON_HOST), root.path(), user.name, bus.address()},
        root.path() + QStringLiteral("/host.log"), root.path() + QStringLiteral("/host.log"));
    auto cleanup = qScopeGuard([&] {
        ChildProcess::terminate(daemon);
        qunsetenv("ZH_TMUTIL_STATE");
    });
    auto hostLog = [&] {
        QFile log(root.path() + QStringLiteral("/host.log"));
        log.open(QIODevice::ReadOnly);
        return log.readAll().right(4000).toStdString();
    };
    ASSERT_TRUE(waitUntil([&] { return onAppliance(home + QStringLiteral("/Private Stuff/p.txt")); }, 120000))
        << hostLog();

    DBusNotificationCenter center(QDBusConnection::connectToBus(bus.address(), QStringLiteral("editor")),
                                  [](uint) { return true; });
    ExcludeController editor(root.profile(), &center, user.name);
    editor.setDetails();
    editor.show();
    const QString privateFolder = home + QStringLiteral("/Private Stuff");
    chooseInPanel(editor, privateFolder);
    ASSERT_TRUE(editor.excludeList().contains(privateFolder));
    spinFor(2000); // the daemon reads the list again on the notification

    // A new file in the excluded folder stays home; one beside it travels.
    write(privateFolder + QStringLiteral("/secret.txt"), "s");
    write(home + QStringLiteral("/Keep/b.txt"), "b");
    ASSERT_TRUE(waitUntil([&] { return onAppliance(home + QStringLiteral("/Keep/b.txt")); }, 60000))
        << hostLog();
    spinFor(2000);
    EXPECT_FALSE(onAppliance(privateFolder + QStringLiteral("/secret.txt")));

    // Taken off the list, the folder is backed up with what arrived meanwhile.
    editor.excludeTable()->selectRow(int(editor.excludeList().indexOf(privateFolder)));
    editor.DeleteExclude();
    EXPECT_FALSE(editor.excludeList().contains(privateFolder));
    EXPECT_TRUE(waitUntil([&] { return onAppliance(privateFolder + QStringLiteral("/secret.txt")); }, 60000))
        << hostLog();
}
