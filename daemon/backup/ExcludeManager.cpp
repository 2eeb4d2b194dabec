#include "ExcludeManager.h"

#include "BackupfileController.h"
#include "DistributedNotificationCenter.h"
#include "ExclusionRules.h"
#include "HostFacts.h"
#include "PersonScope.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "RezodeLoger.h"
#include "UserFileAccess.h"

#include <QFile>
#include <QFileInfo>

namespace {

// The lists lie in the user's home: read with that user's rights only.
QSet<QString> readList(const QString& path, const QString& owner) {
    UserFileAccess access(owner);
    const QStringList list = PropertyList::readStringArray(path);
    return QSet<QString>(list.cbegin(), list.cend());
}

// The patterns of the user's file as the editor writes them; one that could never match a single
// name (empty, holding "/" or a line break) is left out with a trace line.
QList<QByteArray> readPatterns(const QString& path, const QString& owner, RezodeLoger& trace) {
    QStringList entries;
    {
        UserFileAccess access(owner);
        entries = PropertyList::readStringArray(path);
    }
    QStringList ignored;
    const QList<QByteArray> patterns = ExclusionRules::cleanPatterns(entries, &ignored);
    for (const QString& entry : std::as_const(ignored))
        trace.logDaemonTrace(
            QStringLiteral("Exclusion pattern \"%1\" ignored: it cannot match a name").arg(entry), true);
    return patterns;
}

bool underAny(const QString& path, const QSet<QString>& entries) {
    return !ExclusionRules::listEntryFor(path, entries).isEmpty();
}

} // namespace

ExcludeManager::ExcludeManager(DaemonServices services, BackupfileController* collector)
    : mServices(std::move(services)), mCollector(collector),
      mAppSupportFilePathsObjct(FilePathsController::Table::Daemon, mServices.profile) {
    if (mServices.notifications)
        mServices.notifications->addObserver(
            this, Protocol::Exclude,
            [this](const QString&, const QVariantMap& info) { receiveExcludeNotification(info); });
}

ExcludeManager::~ExcludeManager() {
    if (mServices.notifications)
        mServices.notifications->removeObserver(this);
}

int ExcludeManager::builtInRuleFor(const QString& path) {
    return ExclusionRules::builtInRuleFor(path);
}

void ExcludeManager::setConsoleUserName(const QString& name) {
    mConsoleUser = name;
    mAppSupportFilePathsObjct.setM_ConsoleUserName(name);
    const QString home = name.isEmpty() ? QString() : mServices.profile.homeOf(name);
    mHomeNames = PersonScope(home, {}, mServices.hostFacts ? *mServices.hostFacts : HostFacts::system(),
                             {mServices.profile.usersFolder})
                     .homeNames();
    const QSet<QString> user = ExclusionRules::withoutHoldersOf(
        readList(mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::InitialExcludeList), name),
        mHomeNames);
    const QSet<QString> timeMachine =
        readList(mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::TimeMachineExclude), name);
    {
        std::unique_lock lock(mPLock);
        mExcludeList.unite(user);
    }
    {
        std::unique_lock lock(mTLock);
        mTimeMachineDestinationsExclude.unite(timeMachine);
    }
    loadNamePatterns();
}

QList<QByteArray> ExcludeManager::loadNamePatterns() {
    QList<QByteArray> patterns =
        readPatterns(mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::ExcludePattern),
                     mAppSupportFilePathsObjct.m_ConsoleUserName(), *mServices.logger);
    std::unique_lock lock(mPatternLock);
    mNamePatterns.swap(patterns);
    return patterns;
}

bool ExcludeManager::matchesNamePattern(const QString& path) const {
    std::shared_lock lock(mPatternLock);
    return !ExclusionRules::patternFor(path, mNamePatterns).isEmpty();
}

ExclusionRules::Match ExcludeManager::whyExcluded(const QString& path) const {
    std::shared_lock list(mPLock), timeMachine(mTLock), patterns(mPatternLock);
    return ExclusionRules::evaluate(path, mExcludeList, mTimeMachineDestinationsExclude, mNamePatterns);
}

QStringList ExcludeManager::namePatterns() const {
    std::shared_lock lock(mPatternLock);
    QStringList out;
    for (const QByteArray& pattern : mNamePatterns)
        out << QFile::decodeName(pattern);
    return out;
}

QStringList ExcludeManager::rsyncExcludes() const {
    std::shared_lock list(mPLock), timeMachine(mTLock), patterns(mPatternLock);
    return ExclusionRules::rsyncExcludes(mExcludeList, mTimeMachineDestinationsExclude, mNamePatterns);
}

void ExcludeManager::addTimeMachineDestinationToExcludeList(const QString& path) {
    std::unique_lock lock(mTLock);
    mTimeMachineDestinationsExclude.insert(path);
}

bool ExcludeManager::isExcludeTheFile(const QString& path) const {
    return builtInRuleFor(path) != 0 || hasInInitialExcludeList(path) || matchesNamePattern(path);
}

bool ExcludeManager::hasInInitialExcludeList(const QString& path) const {
    {
        std::shared_lock lock(mPLock);
        if (underAny(path, mExcludeList))
            return true;
    }
    {
        std::shared_lock lock(mTLock);
        if (underAny(path, mTimeMachineDestinationsExclude))
            return true;
    }
    return path == QLatin1String("/");
}

void ExcludeManager::receiveExcludeNotification(const QVariantMap& userInfo) {
    const QString type = userInfo.value(Protocol::KeyType).toString();
    // The new list is read before the lock is taken; readers keep seeing the old one until the swap.
    const QSet<QString> fresh = ExclusionRules::withoutHoldersOf(
        readList(mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::InitialExcludeList),
                 mAppSupportFilePathsObjct.m_ConsoleUserName()),
        mHomeNames);
    QSet<QString> snapshot;
    {
        std::unique_lock lock(mPLock);
        snapshot = mExcludeList;
        mExcludeList = fresh;
    }
    const QList<QByteArray> before = loadNamePatterns();
    saveRecord();
    if (type == Protocol::ExcludeTypeUser)
        owedSince(snapshot, before);
}

void ExcludeManager::owedSince(const QSet<QString>& before, const QList<QByteArray>& patternsBefore) {
    if (mCollector) {
        std::shared_lock lock(mPLock);
        for (const QString& path : before)
            if (!mExcludeList.contains(path))
                mCollector->addBackupFiles(path);
    }
    // A pattern taken off leaves no folder to send again: what it kept out lies anywhere.
    QList<QByteArray> lifted;
    {
        std::shared_lock lock(mPatternLock);
        for (const QByteArray& pattern : patternsBefore)
            if (!mNamePatterns.contains(pattern))
                lifted << pattern;
    }
    if (!lifted.isEmpty())
        emit namePatternsLifted(lifted);
}

void ExcludeManager::catchUpOnRecord(const QString& recordPath) {
    const QVariantMap record = PropertyList::readDictionary(recordPath);
    {
        QMutexLocker lock(&mRecordLock);
        mRecordPath = recordPath;
    }
    saveRecord();
    if (record.isEmpty())
        return; // the first start that keeps one: nothing to compare with
    const QStringList folders = record.value(QStringLiteral("folders")).toStringList();
    QList<QByteArray> patterns;
    for (const QString& pattern : record.value(QStringLiteral("patterns")).toStringList())
        patterns << QFile::encodeName(pattern);
    int leftFolders = 0, leftPatterns = 0;
    {
        std::shared_lock list(mPLock), names(mPatternLock);
        for (const QString& folder : folders)
            leftFolders += !mExcludeList.contains(folder);
        for (const QByteArray& pattern : std::as_const(patterns))
            leftPatterns += !mNamePatterns.contains(pattern);
    }
    if (leftFolders + leftPatterns == 0)
        return;
    mServices.logger->logDaemonTrace(
        QStringLiteral("Exclusions taken off while no daemon ran (%1 list entries, %2 name patterns): what "
                       "they kept out is queued")
            .arg(leftFolders)
            .arg(leftPatterns),
        true);
    owedSince(QSet<QString>(folders.cbegin(), folders.cend()), patterns);
}

void ExcludeManager::saveRecord() {
    QVariantMap record;
    {
        std::shared_lock list(mPLock), names(mPatternLock);
        record.insert(QStringLiteral("folders"), QStringList(mExcludeList.cbegin(), mExcludeList.cend()));
        QStringList patterns;
        for (const QByteArray& pattern : mNamePatterns)
            patterns << QFile::decodeName(pattern);
        record.insert(QStringLiteral("patterns"), patterns);
    }
    QMutexLocker lock(&mRecordLock);
    if (!mRecordPath.isEmpty() &&
        !PropertyList::writeDictionary(mRecordPath, record, PropertyList::OwnerOnlyMode))
        mServices.logger->logDaemonTrace(
            QStringLiteral("The record of the exclusions %1 could not be written: an exclusion taken off "
                           "while the daemon is down will not be noticed")
                .arg(mRecordPath),
            true);
}
