#include "HeldChangesDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

HeldChangesDialog::HeldChangesDialog(const QStringList& files, int held, std::function<void()> letGo,
                                     QWidget* parent)
    : QDialog(parent), mFiles(new QListWidget(this)) {
    setObjectName(QStringLiteral("heldChanges"));
    setWindowTitle(tr("Held Changes"));
    auto* layout = new QVBoxLayout(this);
    const QString count = held == 1 ? tr("The backup of 1 changed file is held:")
                          : held > files.size()
                              ? tr("Backups of %n changed files are held. Some of them:", nullptr, held)
                              : tr("Backups of %n changed files are held:", nullptr, held);
    auto* intro = new QLabel(count, this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    mFiles->addItems(files);
    mFiles->setObjectName(QStringLiteral("heldFiles"));
    layout->addWidget(mFiles);
    auto* advice = new QLabel(tr("Open a few of them. If they are what you made, let them go; if they are "
                                 "damaged, restore the earlier versions from the Zorvik Hollin device."),
                              this);
    advice->setWordWrap(true);
    layout->addWidget(advice);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QPushButton* go = buttons->addButton(tr("Continue"), QDialogButtonBox::AcceptRole);
    go->setObjectName(QStringLiteral("continue"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(go, &QPushButton::clicked, this, [this, letGo] {
        if (letGo)
            letGo();
        accept();
    });
    layout->addWidget(buttons);
    resize(640, 420);
}
