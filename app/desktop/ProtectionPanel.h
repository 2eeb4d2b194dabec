#pragma once

#include "ProtectionState.h"

#include <QGroupBox>

class QLabel;
class QPushButton;

// The status window's section on protection: what is not yet safe on the appliance, what the watch
// covers, the last restore check, and "Check now", which asks the daemon for a restore check.
class ProtectionPanel : public QGroupBox {
    Q_OBJECT
  public:
    static constexpr int Height = 128;

    explicit ProtectionPanel(QWidget* parent = nullptr);

    void setView(const ProtectionView& view);
    const ProtectionView& view() const { return mView; }

  signals:
    void checkNow();

  private:
    ProtectionView mView;
    QLabel *mPending, *mWatch, *mVerify;
    QPushButton* mCheck;
};
