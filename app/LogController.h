#pragma once

#include "AppWindows.h"
#include "FilePathsController.h"

#include <QAbstractTableModel>
#include <QStringList>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <memory>

namespace Ui {
class LogController;
}
class LogController;

// The table of session logs: columns "List", "LMD" and "Delete", served by the controller.
class LogListModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    explicit LogListModel(LogController& owner);
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void reload();

  private:
    LogController& mOwner;
};

// The log viewer: the session logs of the user support folder, newest first, the text of the selected
// one, opening a log in the default application, and deleting logs.
class LogController : public QWidget, public LogWindowApi {
    Q_OBJECT
  public:
    static inline const QStringList ColumnIdentifiers{QStringLiteral("List"), QStringLiteral("LMD"),
                                                      QStringLiteral("Delete")};
    using FileOpener = std::function<void(const QUrl&)>;

    // userName: whose support folder holds the logs ("" = the account running the application).
    // opener: how a log is opened in its default application (unset: QDesktopServices).
    explicit LogController(const PlatformProfile& profile, const QString& userName = QString(),
                           FileOpener opener = FileOpener(), QWidget* parent = nullptr);
    ~LogController() override;

    QWidget* window() override { return this; }
    void showLogWindow() override;

    // Actions.
    void deleteLog();
    void openFile();
    void deselectRow(const QModelIndex& clicked);

    // Table data source and delegate.
    int numberOfRowsInTableView() const { return int(mFileListArray.size()); }
    QVariant objectValueForTableColumn(const QString& identifier, int row) const;
    bool shouldSelectRow(int row);

    const QStringList& fileList() const { return mFileListArray; }
    QString sessionLogFolder() const;
    // The file's text when it is valid UTF-8, otherwise "".
    static QString readUtf8Text(const QString& path);
    // The names of logs in folder, the most recently written first; between logs written in the same
    // second, the later date in the name first.
    static QStringList newestFirst(const QString& folder, const QStringList& names);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void loadWindowUI();
    void selectRowQuietly(int row);
    int selectedRow() const;

    std::unique_ptr<Ui::LogController> mUi;
    FilePathsController mAppSupportFilePathsObjct;
    QStringList mFileListArray;
    LogListModel mModel;
    FileOpener mOpenFile;
    bool mSelectingQuietly = false;
};
