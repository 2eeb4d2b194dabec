#include "RestoreExclusionRecord.h"

#include "DistributedNotificationCenter.h"
#include "FileTools.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "RezodeLoger.h"

#include <QFile>
#include <QFileInfo>

namespace {

// A list that exists but cannot be read is never rewritten: the person's entries would be lost.
bool readList(const QString& path, QStringList* entries, QString* error) {
    *entries = PropertyList::readStringArray(path, error);
    return error->isEmpty() || !QFileInfo::exists(path);
}

} // namespace

RestoreExclusionRecord::RestoreExclusionRecord(const PlatformProfile& profile, const QString& userName,
                                               DistributedNotificationCenter* center, RezodeLoger* trace)
    : mPaths(FilePathsController::Table::Application, profile), mCenter(center), mTrace(trace) {
    if (!userName.isEmpty())
        mPaths.setM_ConsoleUserName(userName);
}

QString RestoreExclusionRecord::listPath() const {
    return mPaths.pathForApplicationFile(AppPath::InitialExcludeList);
}

QString RestoreExclusionRecord::recordPath() const {
    return mPaths.pathForApplicationFile(AppPath::UserSupportFolder) + u'/' + Protocol::RestoreExclusionsFile;
}

QStringList RestoreExclusionRecord::recorded() const {
    return PropertyList::readStringArray(recordPath());
}

void RestoreExclusionRecord::log(const QString& line) const {
    if (mTrace)
        mTrace->logInteractiveTrace(line, true);
}

bool RestoreExclusionRecord::writeRecord(const QStringList& paths, QString* error) const {
    if (paths.isEmpty()) {
        const QString path = recordPath();
        if (QFile::remove(path) || !QFileInfo::exists(path))
            return true;
        // Emptied rather than left naming what was lifted.
    }
    FileTools::makePath(QFileInfo(recordPath()).path(), 0700);
    return PropertyList::writeStringArray(recordPath(), paths, PropertyList::OwnerOnlyMode, error);
}

bool RestoreExclusionRecord::exclude(const QString& path) {
    if (path.isEmpty())
        return false;
    QStringList list;
    QString error;
    if (!readList(listPath(), &list, &error)) {
        log(QStringLiteral("Restore of %1 not kept out of the backup: the exclusion list cannot be read (%2)")
                .arg(path, error));
        return false;
    }
    QStringList record = recorded();
    if (list.contains(path)) {
        // The person excluded it: it stays theirs. Otherwise it is ours already (another restore of
        // the same item still holds it), and held once more.
        if (!record.contains(path))
            return false;
        ++mHolds[path];
        return true;
    }
    // The record first: an application killed after the list is written is still known to have added it.
    if (!record.contains(path)) {
        record << path;
        if (!writeRecord(record, &error)) {
            log(QStringLiteral("Restore of %1 not kept out of the backup: its record cannot be written (%2)")
                    .arg(path, error));
            return false;
        }
    }
    list << path;
    FileTools::makePath(QFileInfo(listPath()).path(), 0700);
    if (!PropertyList::writeStringArray(listPath(), list, PropertyList::OwnerOnlyMode, &error)) {
        log(QStringLiteral(
                "Restore of %1 not kept out of the backup: the exclusion list cannot be written (%2)")
                .arg(path, error));
        record.removeAll(path);
        writeRecord(record, nullptr);
        return false;
    }
    mHolds[path] = 1;
    if (mCenter)
        mCenter->postNotification(Protocol::Exclude,
                                  {{Protocol::KeyType, QString(Protocol::ExcludeTypeDownloadFolder)}});
    return true;
}

void RestoreExclusionRecord::release(const QString& path) {
    const auto held = mHolds.find(path);
    if (held == mHolds.end())
        return;
    if (--held.value() > 0)
        return;
    mHolds.erase(held);
    lift({path});
}

QStringList RestoreExclusionRecord::liftAll() {
    mHolds.clear();
    const QStringList record = recorded();
    return record.isEmpty() ? QStringList() : lift(record);
}

QStringList RestoreExclusionRecord::lift(const QStringList& paths) {
    QStringList record = recorded();
    QStringList list;
    QString error;
    if (!readList(listPath(), &list, &error)) {
        // Kept in the record: the next attempt (at the latest the next start) lifts them.
        log(QStringLiteral("Restore exclusions not lifted: the exclusion list cannot be read (%1)")
                .arg(error));
        return {};
    }
    QStringList lifted;
    for (const QString& path : paths) {
        if (!record.contains(path))
            continue; // not ours to lift
        if (list.removeAll(path) > 0)
            lifted << path;
    }
    if (!lifted.isEmpty()) {
        if (!PropertyList::writeStringArray(listPath(), list, PropertyList::OwnerOnlyMode, &error)) {
            log(QStringLiteral("Restore exclusions not lifted: the exclusion list cannot be written (%1)")
                    .arg(error));
            return {};
        }
        // As the editor lifts an entry: the daemon reloads the list and queues what left it.
        if (mCenter)
            mCenter->postNotification(Protocol::Exclude,
                                      {{Protocol::KeyType, QString(Protocol::ExcludeTypeUser)}});
    }
    for (const QString& path : paths)
        record.removeAll(path);
    if (!writeRecord(record, &error))
        log(QStringLiteral("The record of restore exclusions cannot be written (%1)").arg(error));
    return lifted;
}
