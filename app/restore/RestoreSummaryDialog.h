#pragma once

#include <QDialog>
#include <QList>
#include <QString>

// What a restore is about to do, item by item: where it lands, and what becomes of a file or folder
// already there (the restore keeps what it replaces beside it under a suffix).
struct RestoreSummary {
    struct Item {
        QString name;     // as shown in the browser
        qint64 size = -1; // bytes; -1 when unknown (folders, search results)
        bool isFolder = false;
        QString path; // on the appliance
    };
    struct Entry {
        QString name;     // as shown in the browser
        qint64 size = -1; // bytes; -1 when unknown (folders, search results)
        bool isFolder = false;
        QString destination; // the path the item is restored to
        QString existing;    // "" when nothing is there, else what happens to it
        QString outcome;     // the same in a few words ("nothing" when nothing is there)
    };
    QList<Entry> entries;
    QString destinationFolder;

    // For each item the path it takes in folder, and what is there already. keepSuffix is what the
    // restore appends to a replaced file's name.
    static RestoreSummary of(const QList<Item>& items, const QString& folder, const QString& keepSuffix);
    qint64 knownSize() const;
    int conflicts() const;
    QString headline() const;
};

// The summary with Restore and Cancel; accepted() means go ahead.
class RestoreSummaryDialog : public QDialog {
    Q_OBJECT
  public:
    explicit RestoreSummaryDialog(const RestoreSummary& summary, QWidget* parent = nullptr);
};
