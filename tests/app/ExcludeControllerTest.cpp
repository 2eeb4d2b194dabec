// The exclusion editor offscreen over a temporary root: both lists, the delete alert, the restore
// browser's download folder, and a write that fails. With the daemon it is driven in AppEndToEndTest.

#include "ExcludeController.h"
#include "AppTestSupport.h"
#include "CustomTableView.h"
#include "PropertyList.h"

#include <gtest/gtest.h>

#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMenu>

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
    const auto list = [&] { return PropertyList::readStringArray(listFile); };
    const auto deleteEnabled = [&] {
        return std::unique_ptr<QMenu>(editor.contextMenuFor(editor.excludeTable()))
            ->actions()
            .first()
            ->isEnabled();
    };

    // A folder through the folder chooser (the user support folder does not exist yet); the same folder
    // again changes and posts nothing. "Delete" is offered only with something to delete.
    EXPECT_FALSE(deleteEnabled());
    chooseInPanel(editor, folderA);
    chooseInPanel(editor, folderA);
    EXPECT_EQ(list(), QStringList{folderA});
    EXPECT_EQ(center.posted, QStringList{"Exclude Type=1"});
    EXPECT_TRUE(deleteEnabled());
    chooseInPanel(editor, folderB);
    EXPECT_EQ(list(), (QStringList{folderA, folderB}));

    // The pattern input starts empty; "OK" waits for a pattern, and blanks alone are none.
    editor.AddPattern();
    EXPECT_EQ(text(editor.operationSheet(), "panelMessage"),
              QStringLiteral("Enter Pattern you want to exclude"));
    auto* input = outlet<QLineEdit>(editor.operationSheet(), "panelInput");
    auto* ok = outlet<QPushButton>(editor.operationSheet(), "OKpanelBtn");
    EXPECT_EQ(input->text(), QString());
    EXPECT_FALSE(input->placeholderText().isEmpty());
    EXPECT_FALSE(ok->isEnabled());
    input->setText(QStringLiteral("   "));
    EXPECT_FALSE(ok->isEnabled());
    ok->click();
    EXPECT_TRUE(editor.operationSheet()->isVisible());
    editor.CancelTheSheet();
    EXPECT_FALSE(editor.operationSheet()->isVisible());
    EXPECT_TRUE(editor.excludePatterns().isEmpty());
    EXPECT_EQ(center.posted.size(), 2);
    // One typed with blanks around it is stored without them, once, and announced like the list; the
    // next sheet starts empty again.
    for (int i = 0; i < 2; ++i) {
        editor.AddPattern();
        EXPECT_EQ(input->text(), QString());
        input->setText(QStringLiteral("  *.iso "));
        ok->click();
    }
    EXPECT_EQ(PropertyList::readStringArray(patternFile), QStringList{QStringLiteral("*.iso")});
    EXPECT_EQ(center.posted.size(), 3);
    EXPECT_EQ(center.posted.last(), "Exclude Type=1");

    // The close image asks; "Cancel" keeps the entry, "Delete" removes the clicked one only.
    editor.excludeTable()->selectAll();
    QString asked;
    answerAlert(QStringLiteral("Cancel"), &asked);
    editor.shouldSelectRow(editor.excludeTable(), 1, ExcludeController::CloseImageColumn);
    EXPECT_EQ(asked, QStringLiteral("Are you sure you want to Delete?"));
    EXPECT_EQ(editor.excludeList().size(), 2);
    answerAlert(QStringLiteral("Delete"));
    editor.shouldSelectRow(editor.excludeTable(), 1, ExcludeController::CloseImageColumn);
    EXPECT_EQ(list(), QStringList{folderA});

    // The restore browser's download folder goes in and out of the file with "Type" "2"; the list
    // the editor shows stays as it was loaded.
    const QString download = root.path() + QStringLiteral("/Restored Files");
    editor.AddDownloadPathToExcludeList(download);
    EXPECT_EQ(list(), (QStringList{folderA, download}));
    EXPECT_EQ(editor.excludeList(), QStringList{folderA});
    editor.AddDownloadPathToExcludeList(download); // already there: nothing posted
    editor.RemoveDownloadPathFromeExcludeList(download);
    EXPECT_EQ(list(), QStringList{folderA});
    EXPECT_EQ(center.posted.mid(4), (QStringList{"Exclude Type=2", "Exclude Type=2"}));

    // A pattern removed; without a selection nothing happens.
    editor.patternTable()->clearSelection();
    editor.DeletePattern();
    EXPECT_EQ(editor.excludePatterns().size(), 1);
    editor.patternTable()->selectRow(0);
    editor.DeletePattern();
    EXPECT_TRUE(PropertyList::readStringArray(patternFile).isEmpty());
    EXPECT_EQ(center.posted.size(), 7);
    EXPECT_EQ(center.posted.last(), "Exclude Type=1");

    // A write that fails shows the change but announces nothing.
    QFile::remove(listFile);
    QDir().mkpath(listFile + QStringLiteral("/in the way"));
    chooseInPanel(editor, folderB);
    EXPECT_EQ(editor.excludeList(), (QStringList{folderA, folderB}));
    EXPECT_EQ(center.posted.size(), 7);
}

// The chooser of "add a location" is a folder chooser that opens in the person's home, wherever the
// application was started, and whose button says what it does even while a folder is selected.
TEST(ExcludeController, ChoosesFoldersOnlyStartingInThePersonsHome) {
    TempRoot root;
    const QString home = root.profile().homeOf(QString());
    QDir().mkpath(home + QStringLiteral("/Videos"));
    writeFile(home + QStringLiteral("/notes.txt"), "a file\n");
    QDir().mkpath(root.path() + QStringLiteral("/started here"));
    const QString startedIn = QDir::currentPath();
    QDir::setCurrent(root.path() + QStringLiteral("/started here"));
    RecordingCenter center;
    ExcludeController editor(root.profile(), &center);
    editor.setDetails();
    editor.show();

    editor.AddToExclude();
    auto* panel = editor.findChild<QFileDialog*>();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->fileMode(), QFileDialog::Directory);
    EXPECT_TRUE(panel->testOption(QFileDialog::ShowDirsOnly));
    EXPECT_EQ(QDir(panel->directory()).canonicalPath(), QDir(home).canonicalPath());
    auto* buttons = panel->findChild<QDialogButtonBox*>();
    ASSERT_NE(buttons, nullptr);
    QAbstractButton* accept = nullptr;
    for (QAbstractButton* button : buttons->buttons())
        if (buttons->buttonRole(button) == QDialogButtonBox::AcceptRole)
            accept = button;
    ASSERT_NE(accept, nullptr);
    panel->selectFile(home + QStringLiteral("/Videos"));
    EXPECT_EQ(accept->text().remove(u'&'), QStringLiteral("Exclude"));

    // A file is not a folder: the chooser stays and nothing is added.
    panel->selectFile(home + QStringLiteral("/notes.txt"));
    accept->click();
    EXPECT_TRUE(panel->isVisible());
    EXPECT_TRUE(editor.excludeList().isEmpty());
    panel->selectFile(home + QStringLiteral("/Videos"));
    accept->click();
    EXPECT_EQ(editor.excludeList(), QStringList{home + QStringLiteral("/Videos")});
    EXPECT_EQ(center.posted, QStringList{"Exclude Type=1"});
    QDir::setCurrent(startedIn);
}

TEST(ExcludeController, ACacheFolderMovedElsewhereInTheHomeJoinsTheList) {
    QTemporaryDir dir;
    const QString home = dir.path() + "/home/ann";
    const QString list = dir.path() + "/InitialExcludeList.txt";
    // No list yet (no account set up): nothing is made.
    EXPECT_FALSE(ExcludeController::excludeCacheHome(list, home, home + "/var/cache"));
    EXPECT_FALSE(QFile::exists(list));
    ASSERT_TRUE(PropertyList::writeStringArray(list, {home + "/.cache"}, PropertyList::PublicMode));
    // The usual place, a relative or outside path: nothing to add.
    for (const QString& cache : {home + "/.cache", QString("relative/cache"), QString("/var/cache/ann")})
        EXPECT_FALSE(ExcludeController::excludeCacheHome(list, home, cache)) << cache.toStdString();
    EXPECT_TRUE(ExcludeController::excludeCacheHome(list, home, home + "/var/cache/"));
    EXPECT_FALSE(ExcludeController::excludeCacheHome(list, home, home + "/var/cache")) << "once";
    EXPECT_EQ(PropertyList::readStringArray(list), (QStringList{home + "/.cache", home + "/var/cache"}));
    EXPECT_EQ(QFileInfo(list).permissions() & (QFile::ReadOther | QFile::ReadGroup), 0);
}
