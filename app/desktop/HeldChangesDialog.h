#pragma once

#include <QDialog>
#include <QStringList>

#include <functional>

class QListWidget;

// The changes the mass-change tripwire holds, for the person to look at before they let them go:
// the files (as many as the daemon names), "Continue" (they go to the backup) and "Close" (they stay
// held).
class HeldChangesDialog : public QDialog {
    Q_OBJECT
  public:
    HeldChangesDialog(const QStringList& files, int held, std::function<void()> letGo,
                      QWidget* parent = nullptr);

    QListWidget* files() const { return mFiles; }

  private:
    QListWidget* mFiles;
};
