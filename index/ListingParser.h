#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

// Reads rsync's list-only output. Output arrives in chunks; a line cut between two chunks (or a
// character cut between them) is joined before it is read, and the last line counts even without
// its line end.
class ListingParser {
  public:
    // One entry of a list-only line: "<perms> <size> <yyyy/MM/dd> <HH:mm:ss> <name>".
    struct Entry {
        QString size; // exactly as printed, thousands separators included
        QString date; // yyyy/MM/dd
        QString time; // HH:mm:ss
        QString
            name; // the name or relative path, exactly as on the appliance (a symlink's without " -> target")
        bool directory = false;

        // "yyyy-MM-dd HH:mm:ss +0000", the index's FILE_LMD form: the printed local time in UTC.
        QString lmd() const;
    };

    // Adds a chunk; returns the lines it completes (without their line ends).
    QList<QByteArray> feed(QByteArrayView chunk);
    // The unfinished last line, if any; the parser is empty afterwards.
    std::optional<QByteArray> finish();

    // Reads one line. Lines of 10 characters or fewer, and lines without a size (digits and
    // separators), a yyyy/MM/dd date, an HH:mm:ss time and a name, give nothing. The name is kept
    // exactly (repeated, leading and trailing blanks, tabs).
    static std::optional<Entry> parseLine(QByteArrayView line);

    // rsync shows bytes it cannot print as "\#ooo" (octal); those are turned back into the bytes,
    // which are then read as UTF-8. Bytes that are no UTF-8 stay in the "\#ooo" form so nothing is
    // lost and the text stays valid.
    static QString decodeName(QByteArrayView bytes);

  private:
    QByteArray mPending;
};
