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
        QString keepSuffix;  // appended to the name of a file this item replaces
    };
    QList<Entry> entries;
    QString destinationFolder;
    bool createsFolder = false; // the destination does not exist yet: the restore creates it first

    // For each item the path it takes in folder, and what is there already (before the restore, or
    // put there by an item before it). keepSuffix is what the restore appends to a replaced file's
    // name.
    static RestoreSummary of(const QList<Item>& items, const QString& folder, const QString& keepSuffix);
    // The suffix of each item: keepSuffix, and for a later item landing on a name an earlier one
    // lands on, keepSuffix with "-2", "-3", ... so that no copy kept replaces another.
    static QStringList keepSuffixes(const QList<Item>& items, const QString& keepSuffix);
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
