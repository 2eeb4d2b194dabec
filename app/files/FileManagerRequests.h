#pragma once

#include "ProtectionCheck.h"

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>

class AppDelegate;

// What a file manager's context menu asks the application for one or more of the person's files and
// folders: their versions on the appliance, whether each is backed up, or to send them now. Every
// item is checked as a drop on a window is (HandedPath); each answer is a window of the application's
// own, opened at once and never waited for, so the caller returns while the person reads it. What
// was refused comes back to the caller too, one line an item ("<item>: <why>"), and is shown.
class FileManagerRequests : public QObject {
    Q_OBJECT
  public:
    explicit FileManagerRequests(AppDelegate& app, QObject* parent = nullptr);
    ~FileManagerRequests() override;

    // "Versions…": the restore window with the versions of the first item (one at a time: the others
    // are refused). Needs the account: logged out, the log-in window comes forward instead.
    QStringList showVersions(const QStringList& items);
    // "Check a File…": a check window for each item, at most MaxCheckWindows at once.
    QStringList checkFiles(const QStringList& items);
    // "Back Up Now": every item the backup can send is handed to the daemon ("BackupNow"); one window
    // says what was handed over and what not, and why (excluded, unreadable, …).
    QStringList backUpNow(const QStringList& items);

    static constexpr int MaxCheckWindows = 10;

    // The windows opened so far that are still open (for the tests and the screenshots).
    QList<ProtectionCheckDialog*> checkWindows() const;
    QMessageBox* backUpNowWindow() const { return mBackUpNow; }
    QMessageBox* refusalWindow() const { return mRefusals; }

  private:
    // Tells the person what was refused (one window, replaced by the next).
    void showRefusals(const QString& title, const QStringList& lines);
    bool loggedIn() const;
    // The log-in window forward, with why it is needed; the refusal line for each item.
    QStringList needLogIn(const QString& what, const QStringList& items);
    QString person() const;

    AppDelegate& mApp;
    QList<QPointer<ProtectionCheckDialog>> mChecks;
    QPointer<QMessageBox> mBackUpNow;
    QPointer<QMessageBox> mRefusals;
};
