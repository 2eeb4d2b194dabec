#include "RestoreSummaryDialog.h"

#include "LocaleFormat.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

QString lastName(const QString& path) {
    return path.section(u'/', -1, -1, QString::SectionSkipEmpty);
}

} // namespace

QStringList RestoreSummary::keepSuffixes(const QList<Item>& items, const QString& keepSuffix) {
    QStringList suffixes;
    QHash<QString, int> seen;
    for (const Item& item : items) {
        const int n = ++seen[lastName(item.path)];
        suffixes.append(n == 1 ? keepSuffix : QStringLiteral("%1-%2").arg(keepSuffix).arg(n));
    }
    return suffixes;
}

RestoreSummary RestoreSummary::of(const QList<Item>& items, const QString& folder,
                                  const QString& keepSuffix) {
    RestoreSummary summary;
    summary.destinationFolder = folder;
    const QFileInfo destination(folder);
    summary.createsFolder = !destination.exists() && !destination.isSymLink();
    const QStringList suffixes = keepSuffixes(items, keepSuffix);
    QHash<QString, qsizetype> earlier; // target -> the item before that lands there
    for (qsizetype i = 0; i < items.size(); ++i) {
        const Item& item = items.at(i);
        const QString last = lastName(item.path);
        Entry entry;
        entry.name = item.name;
        entry.size = item.size;
        entry.isFolder = item.isFolder;
        entry.keepSuffix = suffixes.at(i);
        entry.destination = QDir(folder).filePath(last);
        entry.outcome = QCoreApplication::translate("RestoreSummaryDialog", "nothing");
        const QFileInfo there(entry.destination);
        if (const auto before = earlier.constFind(entry.destination); before != earlier.cend()) {
            // Two items of one name: both land there, one after the other.
            const Item& first = items.at(*before);
            if (first.isFolder && item.isFolder) {
                entry.outcome = QCoreApplication::translate("RestoreSummaryDialog", "merged with %1 above")
                                    .arg(first.name);
                entry.existing =
                    QCoreApplication::translate("RestoreSummaryDialog",
                                                "%1 above lands in the same folder: the files of both join "
                                                "there; each file this one replaces is kept beside it as "
                                                "“name%2”.")
                        .arg(first.name, entry.keepSuffix);
            } else {
                entry.outcome = QCoreApplication::translate("RestoreSummaryDialog",
                                                            "replaces %1 above, kept under a new name")
                                    .arg(first.name);
                entry.existing = QCoreApplication::translate("RestoreSummaryDialog",
                                                             "%1 above lands on the same name: it is kept as "
                                                             "“%2%3” when this one is written.")
                                     .arg(first.name, last, entry.keepSuffix);
            }
        } else if (there.exists() || there.isSymLink()) {
            entry.outcome =
                there.isDir() && entry.isFolder
                    ? QCoreApplication::translate("RestoreSummaryDialog", "a folder: merged")
                    : QCoreApplication::translate("RestoreSummaryDialog", "kept under a new name");
            if (there.isDir() && entry.isFolder)
                entry.existing =
                    QCoreApplication::translate("RestoreSummaryDialog",
                                                "A folder of this name is there: the restored files join it; "
                                                "each file they replace is kept beside it as "
                                                "“name%1”.")
                        .arg(entry.keepSuffix);
            else
                entry.existing =
                    QCoreApplication::translate("RestoreSummaryDialog",
                                                "%1 of this name is there: it is kept as “%2%3”.")
                        .arg(there.isDir() ? QCoreApplication::translate("RestoreSummaryDialog", "A folder")
                                           : QCoreApplication::translate("RestoreSummaryDialog", "A file"),
                             last, entry.keepSuffix);
        }
        earlier.insert(entry.destination, i);
        summary.entries.append(entry);
    }
    return summary;
}

qint64 RestoreSummary::knownSize() const {
    qint64 total = 0;
    for (const Entry& e : entries)
        total += e.size > 0 ? e.size : 0;
    return total;
}

int RestoreSummary::conflicts() const {
    int n = 0;
    for (const Entry& e : entries)
        n += e.existing.isEmpty() ? 0 : 1;
    return n;
}

QString RestoreSummary::headline() const {
    bool unknown = false;
    for (const Entry& e : entries)
        unknown = unknown || e.size < 0;
    const QString size = LocaleFormat::dataSize(knownSize());
    const int count = int(entries.size());
    QString text =
        (count == 1
             ? QCoreApplication::translate("RestoreSummaryDialog", "1 item, %1%2, to %3.")
             : QCoreApplication::translate("RestoreSummaryDialog", "%n items, %1%2, to %3.", nullptr, count))
            .arg(unknown ? QCoreApplication::translate("RestoreSummaryDialog", "at least ") : QString(), size,
                 destinationFolder);
    if (createsFolder)
        text += QCoreApplication::translate(
            "RestoreSummaryDialog",
            "\nThis folder does not exist yet: it is created first (only you can open it), "
            "and each item goes inside it.");
    const int clashing = conflicts();
    if (clashing > 0)
        text += QCoreApplication::translate("RestoreSummaryDialog",
                                            "\n%n of them meet something already there; nothing is "
                                            "overwritten without a copy.",
                                            nullptr, clashing);
    return text;
}

RestoreSummaryDialog::RestoreSummaryDialog(const RestoreSummary& summary, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("restoreSummary"));
    setWindowTitle(tr("Restore"));
    auto* layout = new QVBoxLayout(this);
    auto* headline = new QLabel(summary.headline(), this);
    headline->setObjectName(QStringLiteral("headline"));
    headline->setWordWrap(true);
    layout->addWidget(headline);

    auto* list = new QTreeWidget(this);
    list->setObjectName(QStringLiteral("items"));
    list->setAccessibleName(tr("What is restored, item by item"));
    list->setRootIsDecorated(false);
    QStringList details;
    list->setHeaderLabels({tr("Item"), tr("Size"), tr("Restored to"), tr("Already there")});
    for (const RestoreSummary::Entry& e : summary.entries) {
        auto* row = new QTreeWidgetItem(list);
        row->setText(0, e.name);
        row->setText(1, e.size >= 0 && !e.isFolder ? LocaleFormat::dataSize(e.size) : QString());
        row->setText(2, e.destination);
        row->setText(3, e.outcome);
        row->setToolTip(3, e.existing);
        if (!e.existing.isEmpty())
            details << QStringLiteral("%1: %2").arg(e.name, e.existing);
    }
    list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    layout->addWidget(list);
    // What becomes of what is there, in full.
    auto* conflicts = new QLabel(details.join(u'\n'), this);
    conflicts->setObjectName(QStringLiteral("conflicts"));
    conflicts->setWordWrap(true);
    conflicts->setVisible(!details.isEmpty());
    layout->addWidget(conflicts);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* restore = buttons->addButton(tr("Restore"), QDialogButtonBox::AcceptRole);
    restore->setObjectName(QStringLiteral("restoreButton"));
    restore->setDefault(true);
    buttons->addButton(tr("Cancel"), QDialogButtonBox::RejectRole)
        ->setObjectName(QStringLiteral("cancelButton"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(720, 300);
}
