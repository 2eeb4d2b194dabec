// The exclusion editor offscreen over a temporary root: both lists, the delete alert, the restore
// browser's download folder, and a write that fails. With the daemon it is driven in AppEndToEndTest.

#include "ExcludeController.h"
#include "AppTestSupport.h"
#include "CustomTableView.h"
#include "PropertyList.h"

#include <gtest/gtest.h>

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

    // A folder through the open panel (the user support folder does not exist yet); the same folder
    // again changes and posts nothing. "Delete" is offered only with something to delete.
    EXPECT_FALSE(deleteEnabled());
    chooseInPanel(editor, folderA);
    chooseInPanel(editor, folderA);
    EXPECT_EQ(list(), QStringList{folderA});
    EXPECT_EQ(center.posted, QStringList{"Exclude Type=1"});
    EXPECT_TRUE(deleteEnabled());
    chooseInPanel(editor, folderB);
    EXPECT_EQ(list(), (QStringList{folderA, folderB}));

    // A pattern confirmed without typing (the input starts as one blank) adds nothing; one typed with
    // blanks around it is stored without them, once, and announced like the list.
    editor.AddPattern();
    EXPECT_EQ(text(editor.operationSheet(), "panelMessage"),
              QStringLiteral("Enter Pattern you want to exclude"));
    outlet<QPushButton>(editor.operationSheet(), "OKpanelBtn")->click();
    EXPECT_FALSE(editor.operationSheet()->isVisible());
    EXPECT_TRUE(editor.excludePatterns().isEmpty());
    EXPECT_EQ(center.posted.size(), 2);
    for (int i = 0; i < 2; ++i) {
        editor.AddPattern();
        outlet<QLineEdit>(editor.operationSheet(), "panelInput")->setText(QStringLiteral("  *.iso "));
        outlet<QPushButton>(editor.operationSheet(), "OKpanelBtn")->click();
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
