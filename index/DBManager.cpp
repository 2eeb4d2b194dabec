#include "DBManager.h"

#include "DataBaseWraper.h"
#include "FileTools.h"
#include "UtilityClass.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutexLocker>
#include <QThread>
#include <QTimeZone>
#include <QTimer>

#include <sys/stat.h>

const QString DBManager::DbPathKey = QStringLiteral("DbPath");
const QString DBManager::UserKey = QStringLiteral("user");
const QString DBManager::PathKey = QStringLiteral("path");
const QString DBManager::LmdKey = QStringLiteral("lmd");
const QString DBManager::SizeKey = QStringLiteral("size");
const QString DBManager::StateKey = QStringLiteral("state");

namespace {

const QString kNA = QStringLiteral("NA");

// Every instance bound to one account folder shares one merge lock, so the backup engine's and the
// listing's pipelines never merge the same delta at once.
std::shared_ptr<QMutex> mergeLockFor(const QString& folder) {
    static QMutex registryLock;
    static QHash<QString, std::shared_ptr<QMutex>> registry;
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    const QString key =
        canonical.isEmpty() ? QDir::cleanPath(QFileInfo(folder).absoluteFilePath()) : canonical;
    QMutexLocker locker(&registryLock);
    auto& lock = registry[key];
    if (!lock)
        lock = std::make_shared<QMutex>();
    return lock;
}

// The index folder and what it holds are readable by everybody and writable only by the owner.
void closeToOthers(const QString& folder) {
    const auto tighten = [](const QString& path, bool isFolder) {
        struct stat st {};
        const QByteArray native = QFile::encodeName(path);
        if (::lstat(native.constData(), &st) != 0 || S_ISLNK(st.st_mode))
            return;
        const mode_t wanted = isFolder ? 0755 : ((st.st_mode & 07777 & ~mode_t(022)) | 0444);
        if ((st.st_mode & 07777) != wanted)
            ::chmod(native.constData(), wanted);
    };
    tighten(folder, true);
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        tighten(path, it.fileInfo().isDir() && !it.fileInfo().isSymLink());
    }
}

} // namespace

DBManager::DBManager(const IndexThrottle& throttle, MachineNameSource localMachineName)
    : mThrottle(throttle), mLocalMachineName(std::move(localMachineName)) {
    if (!mLocalMachineName)
        mLocalMachineName = [] { return UtilityClass::machineName(); };
}

DBManager::~DBManager() {
    stopDBOperationImmediately();
    QMutexLocker locker(&mThreadLock);
    for (auto& thread : mEndedThreads)
        thread->wait();
    mEndedThreads.clear();
}

void DBManager::setWithDetails(const QVariantMap& details) {
    const QString base = details.value(DbPathKey).toString();
    const QString user = details.value(UserKey).toString();
    // The account name becomes a folder and a file name: it must not lead anywhere else.
    const bool usable = !base.isEmpty() && !user.isEmpty() && !user.contains(u'/') &&
                        user != QStringLiteral(".") && user != QStringLiteral("..") &&
                        !user.contains(QChar(0));
    QString folder;
    if (usable) {
        folder = QStringLiteral("%1/%2").arg(base, user);
        FileTools::makePath(folder, 0755);
        closeToOthers(folder);
    }
    QMutexLocker locker(&mConfigLock);
    mDatabasePath = folder;
    mLogedInuser = usable ? user : QString();
}

void DBManager::setMachineName(const QString& name) {
    QMutexLocker locker(&mConfigLock);
    mMachineName = name;
}

QString DBManager::databasePath() const {
    QMutexLocker locker(&mConfigLock);
    return mDatabasePath;
}

QString DBManager::logedInUser() const {
    QMutexLocker locker(&mConfigLock);
    return mLogedInuser;
}

QString DBManager::machineName() const {
    QMutexLocker locker(&mConfigLock);
    return mMachineName;
}

void DBManager::addFileToBackup(const QString& path) {
    if (path.isNull())
        return;
    QMutexLocker locker(&mBLock);
    mFilesToBackup.insert(path);
}

QString DBManager::listingKey(const ListingEntry& entry) {
    QString key = entry.machine;
    for (auto it = entry.record.cbegin(); it != entry.record.cend(); ++it)
        key += u'\0' + it.key() + u'\x01' + it.value().toString();
    return key;
}

void DBManager::listedFileAddToDatabase(const QVariantMap& record) {
    if (record.size() < 3 || record.value(PathKey).toString() == QStringLiteral("."))
        return;
    ListingEntry entry{machineName(), record};
    const QString key = listingKey(entry);
    QMutexLocker locker(&mLLock);
    if (mListingKeys.contains(key))
        return;
    mListingKeys.insert(key);
    mListingFilesList.append(std::move(entry));
}

qsizetype DBManager::pendingBackupFiles() const {
    QMutexLocker locker(&mBLock);
    return mFilesToBackup.size();
}

qsizetype DBManager::pendingListingRecords() const {
    QMutexLocker locker(&mLLock);
    return mListingFilesList.size();
}

void DBManager::returnBackupFiles(const QStringList& paths) {
    QMutexLocker locker(&mBLock);
    for (const QString& path : paths)
        mFilesToBackup.insert(path);
}

void DBManager::returnListingRecords(const QList<ListingEntry>& records) {
    QMutexLocker locker(&mLLock);
    for (const ListingEntry& entry : records) {
        const QString key = listingKey(entry);
        if (!mListingKeys.contains(key)) {
            mListingKeys.insert(key);
            mListingFilesList.append(entry);
        }
    }
}

void DBManager::startDBOperation() {
    stopDBOperationImmidietly = false;
    QMutexLocker locker(&mThreadLock);
    // One updater per instance: every entry is taken by exactly one tick.
    if (mDBThraed && mDBThraed->isRunning())
        return;
    auto thread = std::make_unique<QThread>();
    thread->setObjectName(QStringLiteral("index updater"));
    auto* timer = new QTimer;
    timer->setInterval(mThrottle.timings().indexUpdateInterval);
    timer->moveToThread(thread.get());
    QObject::connect(thread.get(), &QThread::started, timer, qOverload<>(&QTimer::start));
    QObject::connect(timer, &QTimer::timeout, timer, [this] { updaterDatabaseArraysToDB(); });
    QObject::connect(thread.get(), &QThread::finished, timer, &QObject::deleteLater);
    updaterTimer = timer;
    thread->start();
    if (mDBThraed)
        mEndedThreads.push_back(std::move(mDBThraed));
    mDBThraed = std::move(thread);
}

void DBManager::stopDBOperationImmediately() {
    stopDBOperationImmidietly = true;
    QMutexLocker locker(&mThreadLock);
    if (!mDBThraed)
        return;
    // The timer goes with its thread's loop; a tick in progress sees the stop flag.
    mDBThraed->quit();
    mEndedThreads.push_back(std::move(mDBThraed));
    updaterTimer = nullptr;
}

bool DBManager::isUpdaterRunning() const {
    QMutexLocker locker(&mThreadLock);
    return mDBThraed && mDBThraed->isRunning();
}

QThread* DBManager::updaterThread() const {
    QMutexLocker locker(&mThreadLock);
    return mDBThraed.get();
}

void DBManager::updaterDatabaseArraysToDB() {
    QString folder;
    QString user;
    {
        QMutexLocker locker(&mConfigLock);
        folder = mDatabasePath;
        user = mLogedInuser;
    }
    // Not bound to an account yet, or stopped: the intakes wait.
    if (folder.isEmpty() || user.isEmpty() || stopDBOperationImmidietly)
        return;

    QStringList backupPaths;
    {
        QMutexLocker locker(&mBLock);
        backupPaths = QStringList(mFilesToBackup.cbegin(), mFilesToBackup.cend());
        mFilesToBackup.clear();
    }
    if (!backupPaths.isEmpty())
        upDateBackupFilesToDatabase(backupPaths, folder, user);

    QList<ListingEntry> listed;
    {
        QMutexLocker locker(&mLLock);
        listed.swap(mListingFilesList);
        mListingKeys.clear();
    }
    if (!listed.isEmpty())
        updateListedFilesToDatabase(listed, folder, user);

    if (!stopDBOperationImmidietly)
        updateMasterDataBase(user);
    ++mTicks;
}

void DBManager::upDateBackupFilesToDatabase(const QStringList& paths, const QString& folder,
                                            const QString& user) {
    DataBaseWraper delta(mThrottle);
    if (!delta.initializeDatabaseAtPath(folder, user, false)) {
        // No delta to write into: the paths wait for the next tick.
        delta.removeDataBaseAtPath(delta.dbPath());
        returnBackupFiles(paths);
        return;
    }
    delta.beginTransaction();
    const QString machine = mLocalMachineName();
    for (qsizetype i = 0; i < paths.size(); ++i) {
        if (stopDBOperationImmidietly) {
            returnBackupFiles(paths.mid(i));
            break;
        }
        const QString& path = paths.at(i);
        if (!path.isEmpty()) {
            // Relative entries are relative to "/", the source of every backup run; both forms name
            // one file and one row.
            QString relative = path;
            while (relative.startsWith(u'/'))
                relative.remove(0, 1);
            const QByteArray native = QFile::encodeName(u'/' + relative);
            struct stat attributes {};
            if (::lstat(native.constData(), &attributes) == 0) {
                struct stat target {};
                const bool isFolder = ::stat(native.constData(), &target) == 0 && S_ISDIR(target.st_mode);
                const QDateTime modified = QDateTime::fromMSecsSinceEpoch(
                    qint64(attributes.st_mtim.tv_sec) * 1000 + attributes.st_mtim.tv_nsec / 1000000,
                    QTimeZone::utc());
                delta.insertRecord({QStringLiteral("%1/%2").arg(machine, relative),
                                    DataBaseWraper::dateText(modified), qint64(attributes.st_size), isFolder,
                                    kNA, kNA, kNA},
                                   false, false);
            }
        }
        if ((i + 1) % 50 == 0)
            mThrottle.pause(IndexThrottle::Pause::BackupRecords);
    }
    delta.commitTransaction();
    delta.unInitializeDatabase();
}

void DBManager::updateListedFilesToDatabase(const QList<ListingEntry>& records, const QString& folder,
                                            const QString& user) {
    DataBaseWraper delta(mThrottle);
    if (!delta.initializeDatabaseAtPath(folder, user, false)) {
        delta.removeDataBaseAtPath(delta.dbPath());
        returnListingRecords(records);
        return;
    }
    delta.beginTransaction();
    for (qsizetype i = 0; i < records.size(); ++i) {
        if (stopDBOperationImmidietly) {
            returnListingRecords(records.mid(i));
            break;
        }
        const ListingEntry& entry = records.at(i);
        const QVariantMap& record = entry.record;
        if (record.contains(LmdKey) && record.contains(SizeKey)) {
            delta.insertRecord({QStringLiteral("%1/%2").arg(entry.machine, record.value(PathKey).toString()),
                                record.value(LmdKey).toString(), record.value(SizeKey).toString(),
                                record.value(StateKey).toString() == QStringLiteral("1"), kNA, kNA, kNA},
                               false, false);
        }
        if ((i + 1) % 500 == 0)
            mThrottle.pause(IndexThrottle::Pause::ListingRecords);
    }
    delta.commitTransaction();
    delta.unInitializeDatabase();
}

bool DBManager::updateMasterDataBase(const QString& accountName) {
    QMutexLocker instanceLocker(&mLock);
    const QString folder = databasePath();
    if (folder.isEmpty())
        return false;
    const auto folderLock = mergeLockFor(folder);
    QMutexLocker folderLocker(folderLock.get());
    const QStringList names = QDir(folder).entryList(
        QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    bool found = false;
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QString& name = names.at(i);
        const QFileInfo info(folder + u'/' + name);
        if (info.suffix() == DataBaseWraper::DeltaExtension && info.isFile()) {
            found = true;
            DataBaseWraper delta(mThrottle);
            if (delta.openDatabaseAtPath(folder, name) &&
                delta.updateMasterDatabaseWorker(folder, accountName))
                delta.removeDataBaseAtPath(folder + u'/' + name);
        }
        if (i % 3 == 0)
            mThrottle.pause(IndexThrottle::Pause::FolderEntries);
    }
    return found;
}

std::optional<QList<QVariantMap>> DBManager::search(const QString& text) const {
    DataBaseWraper wrapper;
    return wrapper.Search(text, databasePath(), logedInUser());
}
