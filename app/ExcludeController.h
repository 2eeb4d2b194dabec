#pragma once

#include "AppWindows.h"
#include "FilePathsController.h"

#include <QAbstractTableModel>
#include <QFrame>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>

namespace Ui {
class ExcludeController;
}
class CustomTableView;
class DistributedNotificationCenter;
class ExcludeController;
class QAction;
class QDialog;
class QFileDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;

// One of the editor's two tables: the entry in the first column, the close image in the second.
class ExcludeListModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    ExcludeListModel(ExcludeController& owner, int tag, QString entryColumn);
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void reload();

  private:
    ExcludeController& mOwner;
    int mTag;
    QString mEntryColumn;
};

// The exclusion editor: files and folders kept out of the backup by location ("InitialExcludeList.txt")
// and by name pattern ("ExcludePattern.txt"). Every change is announced to the daemon with "Exclude".
class ExcludeController : public QWidget, public ExclusionWindowApi {
    Q_OBJECT
  public:
    static constexpr int ExcludeListTag = 100;
    static constexpr int ExcludePatternTag = 200;
    static constexpr int LocationHelpTag = 1000;
    static constexpr int PatternHelpTag = 1001;
    static constexpr int CloseImageColumn = 1;
    static QString DeleteTitle() { return tr("Delete"); }
    static QString DeleteQuestion() { return tr("Are you sure you want to Delete?"); }
    static QString PatternPrompt() { return tr("Enter Pattern you want to exclude"); }
    static QString LocationHelp() {
        return tr("Exclude files / folders based on their complete directory location.");
    }
    static QString PatternHelp() {
        return tr("Excludes files / folders with the same pattern name on different locations within "
                  "your local computer.");
    }
    static constexpr QSize HelpPopoverSize{334, 75};
    static QString PatternPlaceholder() { return tr("for example *.iso or node_modules"); }
    static QString ChooseFolderButton() { return tr("Exclude"); }

    // Adds the person's cache folder ($XDG_CACHE_HOME, where they moved it away from ~/.cache) to the
    // exclusion list at listPath when it lies in their home and the list has it not; the default list
    // the daemon writes names ~/.cache, but the daemon cannot see the session's environment. True when
    // the list was changed.
    static bool excludeCacheHome(const QString& listPath, const QString& home, const QString& cacheHome);

    // userName: whose support folder holds the lists ("" = the account running the application).
    ExcludeController(const PlatformProfile& profile, DistributedNotificationCenter* notifications,
                      const QString& userName = QString(), QWidget* parent = nullptr);
    ~ExcludeController() override;

    QWidget* window() override { return this; }
    void setDetails() override;
    void readAndPopulateTable();

    // Actions.
    void AddToExclude();
    void DeleteExclude();
    void deleteExcludeiItem() { DeleteExclude(); }
    void AddPattern();
    void Addpatternclicked();
    void CancelTheSheet();
    void DeletePattern();
    void deleteExcludeiPattern() { DeletePattern(); }
    void HelpButton(QWidget* sender);

    // For the restore browser: its download folder in and out of the exclusion file (the list shown
    // here stays as it was loaded).
    void AddDownloadPathToExcludeList(const QString& path);
    void RemoveDownloadPathFromeExcludeList(const QString& path);

    // "Delete" is enabled only while the list of the item's table (its "tag") has entries.
    bool validateMenuItem(const QAction* item) const;
    // The context menu of a table, validated.
    QMenu* contextMenuFor(CustomTableView* table);

    // Table data source.
    int numberOfRowsInTableView(int tag) const;
    QVariant objectValueForTableColumn(int tag, const QString& identifier, int row) const;
    // A click on the close image asks before deleting the clicked entry; the row is selected anyway.
    bool shouldSelectRow(CustomTableView* table, int row, int column);

    const QStringList& excludeList() const { return mExcludeListArray; }
    const QStringList& excludePatterns() const { return mExcludePatternArray; }
    QDialog* operationSheet() const { return mOperationSheet; }
    QFrame* helpPopover() const { return mHelpPopover; }
    CustomTableView* excludeTable() const;
    CustomTableView* patternTable() const;

  private:
    bool writeExcludeList(const QStringList& list);
    bool writePatterns();
    void postExclude(const QString& type);
    void buildSheet();
    void addLocation(const QString& path);
    // Where the folder chooser opens: the person's home.
    QString startFolder() const;

    std::unique_ptr<Ui::ExcludeController> mUi;
    FilePathsController mAppSupportFilePathsObjct;
    DistributedNotificationCenter* mNotifications;
    QStringList mExcludeListArray;
    QStringList mExcludePatternArray;
    ExcludeListModel mListModel;
    ExcludeListModel mPatternModel;
    QDialog* mOperationSheet = nullptr;
    QLabel* mPanelMessage = nullptr;
    QLineEdit* mPanelInput = nullptr;
    QPushButton* mOKpanelBtn = nullptr;
    QPointer<QFrame> mHelpPopover;
};
