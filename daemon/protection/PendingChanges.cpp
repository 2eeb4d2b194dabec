#include "PendingChanges.h"

#include "BackupfileController.h"
#include "RSyncBackupManager.h"

#include <Protocol.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

namespace {

void widen(PendingChanges::Snapshot& s, const QDateTime& oldest, const QDateTime& newest) {
    if (oldest.isValid() && (!s.oldest.isValid() || oldest < s.oldest))
        s.oldest = oldest;
    const QDateTime last = newest.isValid() ? newest : oldest;
    if (last.isValid() && (!s.newest.isValid() || last > s.newest))
        s.newest = last;
}

QDateTime utc(qint64 ms) {
    return ms > 0 ? QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc()) : QDateTime();
}

} // namespace

PendingChanges::PendingChanges(QString listFolder, const BackupfileController* collector,
                               const RSyncBackupManager* manager)
    : mListFolder(std::move(listFolder)), mCollector(collector), mManager(manager) {}

bool PendingChanges::isOwedList(const QString& name) {
    return name.startsWith(QLatin1String("remainingFiles"));
}

qint64 PendingChanges::countPaths(const QString& file) {
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    qint64 paths = 0;
    bool inLine = false;
    char buffer[65536];
    for (qint64 n; (n = f.read(buffer, sizeof buffer)) > 0;) {
        for (qint64 i = 0; i < n; ++i) {
            if (buffer[i] == '\n') {
                paths += inLine;
                inLine = false;
            } else {
                inLine = true;
            }
        }
    }
    return paths + inLine;
}

PendingChanges::Snapshot PendingChanges::measure() {
    Snapshot s;
    if (mCollector) {
        const BackupfileController::Pending pending = mCollector->pending();
        s.collected = pending.count;
        if (pending.count > 0)
            widen(s, utc(pending.firstAddedMs), utc(pending.lastAddedMs));
    }

    // The lists the backup controller would take: not those being written (".progress"), already
    // taken (".delete") or hidden (temporary files of an atomic write).
    QHash<QString, Counted> seen;
    const QFileInfoList entries =
        QDir(mListFolder).entryInfoList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& entry : entries) {
        const QString name = entry.fileName();
        const QString suffix = entry.suffix();
        if (name.startsWith(u'.') || suffix == Protocol::ListExtensionProgress ||
            suffix == Protocol::ListExtensionDelete)
            continue;
        const QDateTime modified = entry.lastModified().toUTC();
        Counted counted = mCounted.value(name);
        if (counted.size != entry.size() || counted.modifiedMs != modified.toMSecsSinceEpoch()) {
            counted.size = entry.size();
            counted.modifiedMs = modified.toMSecsSinceEpoch();
            counted.paths = std::max<qint64>(0, countPaths(entry.absoluteFilePath()));
        }
        seen.insert(name, counted);
        if (counted.paths == 0)
            continue;
        (isOwedList(name) ? s.owed : s.listed) += counted.paths;
        widen(s, modified, modified);
    }
    mCounted.swap(seen);

    if (mManager) {
        const int sending = mManager->pathsNotYetSent();
        if (sending > 0) {
            s.sending = sending;
            widen(s, mManager->runQueuedOldest(), mManager->runQueuedNewest());
        }
        const int owed = mManager->owedPathCount();
        if (owed > 0) {
            s.owed += owed;
            const QDateTime since = mManager->owedSince();
            widen(s, since.isValid() ? since : QDateTime::currentDateTimeUtc(), since);
        }
    }
    if (s.total() == 0)
        s.oldest = s.newest = QDateTime();
    return s;
}
