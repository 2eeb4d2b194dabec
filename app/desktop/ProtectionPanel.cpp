#include "ProtectionPanel.h"

#include <QLabel>
#include <QPushButton>

namespace {

QLabel* line(QWidget* parent, const char* name, int y, int width, int height) {
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(15, y, width, height);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

// Red for what needs the person's eye, the window's own colour otherwise.
void mark(QLabel* label, bool alert) {
    label->setStyleSheet(alert ? QStringLiteral("color: #b00020;") : QString());
}

} // namespace

ProtectionPanel::ProtectionPanel(QWidget* parent) : QGroupBox(parent) {
    setObjectName(QStringLiteral("protectionBox"));
    setTitle(tr("Protection"));
    mPending = line(this, "protectionPending", 22, 430, 20);
    mWatch = line(this, "protectionWatch", 44, 430, 20);
    mVerify = line(this, "protectionVerify", 66, 330, 54);
    mCheck = new QPushButton(tr("Check now"), this);
    mCheck->setObjectName(QStringLiteral("checkRestorable"));
    mCheck->setToolTip(tr("Compare a sample of your backed-up files with the newest snapshot now"));
    mCheck->setGeometry(350, 88, 95, 26);
    connect(mCheck, &QPushButton::clicked, this, &ProtectionPanel::checkNow);
}

void ProtectionPanel::setView(const ProtectionView& view) {
    mView = view;
    mPending->setText(view.pending);
    mWatch->setText(view.watch);
    mVerify->setText(view.verify);
    mark(mWatch, view.coverageLost);
    mark(mVerify, view.verifyFailed);
    mCheck->setEnabled(!view.checkRunning);
}
