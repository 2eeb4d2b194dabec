#include "ExcludeManager.h"

#include "BackupfileController.h"
#include "DistributedNotificationCenter.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "RezodeLoger.h"
#include "UserFileAccess.h"

#include <QFile>
#include <QFileInfo>

#include <fnmatch.h>

namespace {

enum class Test { NameEndsWith, PathEndsWith, PathBeginsWith, NameBeginsWith, PathContains, PathEquals };

struct Rule {
    Test test;
    QLatin1String text;
};

// In the order they are tested; the first match excludes.
const Rule kRules[] = {
    {Test::NameEndsWith, QLatin1String(".")},
    {Test::PathEndsWith, QLatin1String(".DS_Store")},
    {Test::PathEndsWith, QLatin1String("-Spotlight")},
    {Test::PathEndsWith, QLatin1String("8149A9CB-5389-45CD-BEE9-663FC8283B56")},
    {Test::PathEndsWith, QLatin1String(".tmp")},
    {Test::PathEndsWith, QLatin1String("-journal")},
    {Test::PathEndsWith, QLatin1String(".lock")},
    {Test::PathEndsWith, QLatin1String(".pst")},
    {Test::PathEndsWith, QLatin1String(".PST")},
    {Test::PathEndsWith, QLatin1String(".OST")},
    {Test::PathEndsWith, QLatin1String(".ost")},
    {Test::PathEndsWith, QLatin1String("..namedfork/rsrc")},
    {Test::PathEndsWith, QLatin1String("Icon\r")},
    {Test::PathEndsWith, QLatin1String(".xcuserstate")},
    {Test::PathBeginsWith, QLatin1String("sb-")},
    {Test::NameBeginsWith, QLatin1String(".~")},
    {Test::PathBeginsWith, QLatin1String(".")},
    {Test::PathBeginsWith, QLatin1String("/.")},
    {Test::PathContains, QLatin1String(".part")},
    {Test::PathContains, QLatin1String(".crdownload")},
    {Test::PathContains, QLatin1String(".download")},
    {Test::PathContains, QLatin1String(".psd-")},
    {Test::PathContains, QLatin1String(".PSD-")},
    {Test::PathContains, QLatin1String(".jpg-")},
    {Test::PathContains, QLatin1String(".JPG-")},
    {Test::PathContains, QLatin1String(".png-")},
    {Test::PathContains, QLatin1String(".PNG-")},
    {Test::PathContains, QLatin1String(".bmp-")},
    {Test::PathContains, QLatin1String(".BMP-")},
    {Test::PathContains, QLatin1String("/(A Document Being Saved By PDF Editor)")},
    {Test::PathContains, QLatin1String(".tif-")},
    {Test::PathContains, QLatin1String(".TIF-")},
    {Test::PathContains, QLatin1String(".IDSCache")},
    {Test::PathContains, QLatin1String(".Trash")},
    {Test::PathContains, QLatin1String("ZorvikHollinWatcher")},
    {Test::PathContains, QLatin1String("ZorvikHollin")},
    {Test::PathContains, QLatin1String(".sparsebundle")},
    {Test::PathEquals, QLatin1String("/")},
};

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
    QList<QByteArray> patterns;
    for (const QString& entry : std::as_const(entries)) {
        const QString pattern = entry.trimmed();
        if (pattern.isEmpty() || pattern.contains(u'/') || pattern.contains(u'\n') ||
            pattern.contains(u'\r')) {
            if (!pattern.isEmpty())
                trace.logDaemonTrace(
                    QStringLiteral("Exclusion pattern \"%1\" ignored: it cannot match a name").arg(entry),
                    true);
            continue;
        }
        const QByteArray encoded = QFile::encodeName(pattern);
        if (!patterns.contains(encoded))
            patterns << encoded;
    }
    return patterns;
}

bool underAny(const QString& path, const QSet<QString>& entries) {
    for (const QString& entry : entries)
        if (path.startsWith(entry))
            return true;
    return false;
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
    const QStringView name = QStringView(path).mid(path.lastIndexOf(u'/') + 1);
    int number = 0;
    for (const Rule& rule : kRules) {
        ++number;
        bool match = false;
        switch (rule.test) {
        case Test::NameEndsWith:
            match = name.endsWith(rule.text);
            break;
        case Test::PathEndsWith:
            match = path.endsWith(rule.text);
            break;
        case Test::PathBeginsWith:
            match = path.startsWith(rule.text);
            break;
        case Test::NameBeginsWith:
            match = name.startsWith(rule.text);
            break;
        case Test::PathContains:
            match = path.contains(rule.text);
            break;
        case Test::PathEquals:
            match = path == rule.text;
            break;
        }
        if (match)
            return number;
    }
    return 0;
}

void ExcludeManager::setConsoleUserName(const QString& name) {
    mConsoleUser = name;
    mAppSupportFilePathsObjct.setM_ConsoleUserName(name);
    const QSet<QString> user =
        readList(mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::InitialExcludeList), name);
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

void ExcludeManager::loadNamePatterns() {
    QList<QByteArray> patterns =
        readPatterns(mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::ExcludePattern),
                     mAppSupportFilePathsObjct.m_ConsoleUserName(), *mServices.logger);
    std::unique_lock lock(mPatternLock);
    mNamePatterns.swap(patterns);
}

bool ExcludeManager::matchesNamePattern(const QString& path) const {
    const QByteArray name = QFile::encodeName(path.mid(path.lastIndexOf(u'/') + 1));
    std::shared_lock lock(mPatternLock);
    for (const QByteArray& pattern : mNamePatterns)
        if (::fnmatch(pattern.constData(), name.constData(), 0) == 0)
            return true;
    return false;
}

QStringList ExcludeManager::namePatterns() const {
    std::shared_lock lock(mPatternLock);
    QStringList out;
    for (const QByteArray& pattern : mNamePatterns)
        out << QFile::decodeName(pattern);
    return out;
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
    const QSet<QString> fresh =
        readList(mAppSupportFilePathsObjct.pathForApplicationFile(DaemonPath::InitialExcludeList),
                 mAppSupportFilePathsObjct.m_ConsoleUserName());
    QSet<QString> snapshot;
    {
        std::unique_lock lock(mPLock);
        snapshot = mExcludeList;
        mExcludeList = fresh;
    }
    loadNamePatterns();
    if (type != Protocol::ExcludeTypeUser || !mCollector)
        return;
    for (const QString& path : snapshot)
        if (!fresh.contains(path))
            mCollector->addBackupFiles(path);
}
