#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// Joins text that arrives in chunks into whole lines: take() hands back everything up to the last
// line feed and keeps the rest for the next chunk; flush() hands back what is left when the stream ends.
class LineJoiner {
  public:
    QString take(const QString& chunk);
    QString flush();
    void reset() { mPending.clear(); }
    bool hasPending() const { return !mPending.isEmpty(); }

  private:
    QString mPending;
};

// Turns the standard output of a backup rsync into progress. Two dialects: the private rsync copy
// ("N files to consider", tagged "[Full Backup]"/"[Incremental Backup]" lines) and the system rsync
// (file names relative to "/", "100%" progress lines). The counters carry over from set to set of a
// run; reset() zeroes them at the start of a run and on a stop. Not thread-safe: the owner serialises.
class RsyncOutputParser {
  public:
    struct Event {
        // "UploadingFile", "TotalSize", "TotalFiles" and the run's totals "SentBytes", "SentFiles";
        // empty when nothing to show.
        QVariantMap progress;
        QString file; // a file reported sent; empty for a count announcement or new totals
    };

    void reset();

    // Private rsync copy. initialBackup shows a plain count instead of "N out of M".
    QList<Event> ParseOutput(const QString& chunk, bool initialBackup);
    // System rsync; uploadingFiles are the absolute paths of the set the chunk belongs to.
    QList<Event> ParseDefaultRsyncOutput(const QString& chunk, const QStringList& uploadingFiles);

    // "%4.2f <unit>" with units of 1024: 1024 → "1024.00 bytes", 1536 → "1.50 KB".
    static QString formatBytes(double bytes);
    // Blank- and tab-separated pieces, empty ones dropped.
    static QStringList tokens(const QString& line);
    // The leading number of a token (0 when it has none).
    static int leadingInt(const QString& token);
    static double leadingDouble(const QString& token);

    double bytesuploaded = 0;
    int noOfFiles = 0;
    int completedfiles = 0;
    // What the run has sent so far, whatever the dialect shows in its own figures: the sizes of the
    // files rsync reported done, and their number.
    qint64 sentBytes = 0;
    qint64 sentFiles = 0;

  private:
    void addTotals(QVariantMap& progress) const;
    // System rsync: the figures of the file named last, which its "100%" line completes.
    QVariantMap mLastFileFigures;
};
