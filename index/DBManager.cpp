#include "DBManager.h"

#include "DataBaseWraper.h"
#include "FileTools.h"
#include "SQLiteDatabase.h"
#include "UserFileAccess.h"
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

#include <sqlite3.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

const QString DBManager::DbPathKey = QStringLiteral("DbPath");
const QString DBManager::UserKey = QStringLiteral("user");
const QString DBManager::PathKey = QStringLiteral("path");
const QString DBManager::LmdKey = QStringLiteral("lmd");
const QString DBManager::SizeKey = QStringLiteral("size");
const QString DBManager::StateKey = QStringLiteral("state");
const QString DBManager::LocalUserKey = QStringLiteral("localUser");
const QString DBManager::SpoolSuffix = QStringLiteral(".pending");

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

// When this library was loaded: a delta still being written ("*.zxt.progress") that is older and
// that nobody holds locked was left by a process that ended.
const auto kProcessStart = std::chrono::system_clock::now();

QByteArray native(const QString& path) {
    return QFile::encodeName(path);
}

bool isRegularFile(const QString& path, struct stat* out = nullptr) {
    struct stat st {};
    if (::lstat(native(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (out)
        *out = st;
    return true;
}

// A "*.zxt.progress" of a process that ended: older than this process and locked by no writer.
// Its own journal is rolled back by opening it where it is; then it is finished like any delta.
void finishStrandedDelta(const QString& path) {
    struct stat st {};
    if (!isRegularFile(path, &st))
        return;
    const auto modified =
        std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
    if (modified >= kProcessStart)
        return;
    const int fd = ::open(native(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    const bool unlocked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    if (!unlocked)
        return;
    {
        SQLiteDatabase delta(path);
        if (delta.open())
            delta.intForQuery(QStringLiteral("select count(*) from sqlite_master"));
    }
    DataBaseWraper finisher;
    if (finisher.openDatabaseAtPath(path, QString()))
        finisher.unInitializeDatabase();
}

// Creates the account folder (owner-only) in base, or finds it there, and checks that it is a real
// folder: a symlink planted in its place is refused, never followed. Runs with the local account's
// rights, so a link above it can only lead where that account may go anyway.
bool makeAccountFolder(const QString& base, const QString& account, QString& why) {
    if (!FileTools::makePath(base, 0700)) {
        why = QStringLiteral("cannot create %1: %2").arg(base, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    const int parent = ::open(native(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent < 0) {
        why = QStringLiteral("cannot open %1: %2").arg(base, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    const QByteArray name = native(account);
    if (::mkdirat(parent, name.constData(), 0700) != 0 && errno != EEXIST) {
        why = QStringLiteral("cannot create %1/%2: %3")
                  .arg(base, account, QString::fromLocal8Bit(std::strerror(errno)));
        ::close(parent);
        return false;
    }
    const int folder = ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int error = errno;
    ::close(parent);
    if (folder < 0) {
        why = QStringLiteral("%1/%2 is no folder of its own (%3), not used")
                  .arg(base, account, QString::fromLocal8Bit(std::strerror(error)));
        return false;
    }
    ::close(folder);
    return true;
}

// Keeps the calling thread at the folder owner's rights while alive.
class AsFolderOwner {
  public:
    explicit AsFolderOwner(const std::optional<UserFileAccess::Account>& account) {
        if (account)
            mAccess.emplace(*account);
    }

  private:
    std::optional<UserFileAccess> mAccess;
};

} // namespace

DBManager::DBManager(const IndexThrottle& throttle, MachineNameSource localMachineName)
    : mThrottle(throttle), mLocalMachineName(std::move(localMachineName)) {
    if (!mLocalMachineName)
        mLocalMachineName = [] { return UtilityClass::machineName(); };
}

DBManager::~DBManager() {
    stopDBOperationImmediately();
    {
        QMutexLocker locker(&mThreadLock);
        for (auto& thread : mEndedThreads)
            thread->wait();
        mEndedThreads.clear();
    }
    // What waited in the spool is lost with the process, as what waited in memory.
    const AsFolderOwner owner(folderOwner());
    closeSpool(true);
}

void DBManager::setWithDetails(const QVariantMap& details) {
    const QString base = details.value(DbPathKey).toString();
    const QString user = details.value(UserKey).toString();
    const QString localUser = details.value(LocalUserKey).toString();
    // The account name becomes a folder and a file name: it must not lead anywhere else. The folder
    // lies in a person's home, so a root process reaches it with that person's rights, named by the
    // caller; they are never guessed from the path, which its owner can point anywhere.
    std::optional<UserFileAccess::Account> account;
    bool usable = !base.isEmpty() && UserFileAccess::isSinglePathComponent(user);
    if (usable && !localUser.isEmpty()) {
        account = UserFileAccess::lookup(localUser);
        usable = account.has_value();
    } else if (usable && ::geteuid() == 0) {
        usable = false;
        qWarning("index folder %s/%s: no local account named, not used", qPrintable(base), qPrintable(user));
    }
    QString folder;
    if (usable) {
        const AsFolderOwner owner(account);
        QString why;
        if (makeAccountFolder(base, user, why)) {
            folder = QStringLiteral("%1/%2").arg(base, user);
            removeStrandedSpools(folder);
        } else {
            qWarning("index folder: %s", qPrintable(why));
        }
    }
    QMutexLocker locker(&mConfigLock);
    mDatabasePath = folder;
    mLogedInuser = folder.isEmpty() ? QString() : user;
    mAccount = account;
}

std::optional<UserFileAccess::Account> DBManager::folderOwner() const {
    QMutexLocker locker(&mConfigLock);
    return mAccount;
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
    return mFilesToBackup.size() + mSpoolUnread.load();
}

qsizetype DBManager::backupFilesInMemory() const {
    QMutexLocker locker(&mBLock);
    return mFilesToBackup.size();
}

QString DBManager::spoolPath() const {
    QMutexLocker locker(&mSpoolPathLock);
    return mSpoolPath;
}

void DBManager::removeStrandedSpools(const QString& folder) {
    const QStringList names = QDir(folder).entryList({u'*' + SpoolSuffix}, QDir::Files | QDir::Hidden);
    for (const QString& name : names) {
        const QString path = folder + u'/' + name;
        struct stat st {};
        if (!isRegularFile(path, &st))
            continue;
        const auto modified = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
        if (modified >= kProcessStart)
            continue;
        const int fd = ::open(native(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlink(native(path).constData());
        ::close(fd);
    }
}

bool DBManager::spillBackupIntake(const QString& folder, const QString& user, bool force) {
    QStringList paths;
    {
        QMutexLocker locker(&mBLock);
        if (mFilesToBackup.isEmpty() || (!force && mFilesToBackup.size() <= mSpillThreshold))
            return true;
        paths = QStringList(mFilesToBackup.cbegin(), mFilesToBackup.cend());
        mFilesToBackup.clear();
    }
    if (mSpoolFd < 0) {
        // A name of this instance's own, created here (never an existing file or a planted link),
        // locked while in use so that nobody takes it for a stranded one.
        const QString tag = QString::number(quintptr(this), 36) + u'-' + QString::number(::getpid(), 36);
        const QString path = QStringLiteral("%1/%2.%3%4").arg(folder, user, tag, SpoolSuffix);
        ::unlink(native(path).constData());
        const int fd = ::open(native(path).constData(),
                              O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_APPEND | O_CLOEXEC, 0600);
        if (fd < 0) {
            returnBackupFiles(paths);
            return false;
        }
        ::flock(fd, LOCK_EX | LOCK_NB);
        mSpoolFd = fd;
        mSpoolReadOffset = 0;
        mSpoolWritten = 0;
        QMutexLocker locker(&mSpoolPathLock);
        mSpoolPath = path;
    }
    QByteArray text;
    for (const QString& path : std::as_const(paths)) {
        text += path.toUtf8();
        text += '\n';
    }
    qsizetype written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(mSpoolFd, text.constData() + written, size_t(text.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += n;
    }
    mSpoolWritten += written;
    if (written < text.size()) {
        // The disk is full: the spool keeps what it holds, the paths not written stay in memory.
        // (A line cut short is read as one path that names no file, and skipped.)
        const qsizetype whole = text.left(written).count('\n');
        mSpoolUnread += whole;
        returnBackupFiles(paths.mid(whole));
        return false;
    }
    mSpoolUnread += paths.size();
    return true;
}

QStringList DBManager::readSpoolBatch() {
    QStringList paths;
    if (mSpoolFd < 0)
        return paths;
    QByteArray pending;
    char buffer[65536];
    qint64 offset = mSpoolReadOffset;
    const qsizetype batch = std::max<qsizetype>(1, mSpoolBatch);
    while (paths.size() < batch && offset < mSpoolWritten) {
        const size_t want = size_t(std::min<qint64>(qint64(sizeof buffer), mSpoolWritten - offset));
        const ssize_t n = ::pread(mSpoolFd, buffer, want, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            mSpoolReadOffset = mSpoolWritten; // emptied behind its back: nothing more to read
        if (n <= 0)
            break;
        offset += n;
        pending.append(buffer, n);
        qsizetype start = 0;
        for (qsizetype end; paths.size() < batch && (end = pending.indexOf('\n', start)) >= 0;
             start = end + 1) {
            paths << QString::fromUtf8(pending.constData() + start, end - start);
            mSpoolReadOffset += end + 1 - start;
        }
        pending.remove(0, start);
        // No path is this long: the file is not what was written. What is left of it is dropped.
        if (pending.size() > MaxSpoolLine) {
            mSpoolReadOffset = mSpoolWritten;
            break;
        }
    }
    mSpoolUnread -= std::min<qsizetype>(paths.size(), mSpoolUnread.load());
    if (mSpoolReadOffset >= mSpoolWritten)
        closeSpool(true); // read through: the next spill starts a fresh one
    return paths;
}

void DBManager::closeSpool(bool remove) {
    if (mSpoolFd < 0)
        return;
    QString path;
    {
        QMutexLocker locker(&mSpoolPathLock);
        path.swap(mSpoolPath);
    }
    if (remove)
        ::unlink(native(path).constData());
    ::close(mSpoolFd);
    mSpoolFd = -1;
    mSpoolReadOffset = 0;
    mSpoolUnread = 0;
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
    std::optional<UserFileAccess::Account> account;
    {
        QMutexLocker locker(&mConfigLock);
        folder = mDatabasePath;
        user = mLogedInuser;
        account = mAccount;
    }
    // Not bound to an account yet, or stopped: the intakes wait.
    if (folder.isEmpty() || user.isEmpty() || stopDBOperationImmidietly)
        return;

    QStringList backupPaths;
    {
        QMutexLocker locker(&mBLock);
        // The usual case: a few paths, taken from memory. Many (a first backup), or a spool already
        // in use (so that the order of arrival holds): through the spool, a batch at a time.
        if (mSpoolFd < 0 && mFilesToBackup.size() <= mSpillThreshold) {
            backupPaths = QStringList(mFilesToBackup.cbegin(), mFilesToBackup.cend());
            mFilesToBackup.clear();
        }
    }
    if (backupPaths.isEmpty()) {
        const AsFolderOwner owner(account);
        spillBackupIntake(folder, user, true);
        backupPaths = readSpoolBatch();
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

qsizetype DBManager::writeDelta(const QString& folder, const QString& user, qsizetype count,
                                const std::function<std::optional<QVariantList>(qsizetype)>& recordAt,
                                IndexThrottle::Pause pause, int pauseEvery,
                                const std::function<void()>& atPause) {
    const AsFolderOwner owner(folderOwner());
    DataBaseWraper delta(mThrottle);
    // Nothing is kept of a delta that did not go through whole: its records go back to the intake.
    const auto dropDelta = [&]() -> qsizetype {
        delta.rollbackTransaction();
        delta.removeDataBaseAtPath(delta.dbPath());
        return 0;
    };
    if (!delta.initializeDatabaseAtPath(folder, user, false) || !delta.beginTransaction())
        return dropDelta();
    qsizetype done = 0;
    for (; done < count; ++done) {
        if (stopDBOperationImmidietly)
            break;
        if (const auto record = recordAt(done)) {
            // A path twice in one batch (an absolute and a relative name of one file) is one row.
            if (!delta.insertRecord(*record, false, false) &&
                delta.database()->lastErrorCode() != SQLITE_CONSTRAINT)
                return dropDelta();
        }
        if ((done + 1) % pauseEvery == 0) {
            mThrottle.pause(pause);
            if (atPause)
                atPause();
        }
    }
    if (!delta.commitTransaction())
        return dropDelta();
    if (!delta.unInitializeDatabase())
        return dropDelta();
    return done;
}

void DBManager::upDateBackupFilesToDatabase(const QStringList& paths, const QString& folder,
                                            const QString& user) {
    const QString machine = mLocalMachineName();
    const auto recordAt = [&](qsizetype i) -> std::optional<QVariantList> {
        const QString& path = paths.at(i);
        if (path.isEmpty())
            return std::nullopt;
        // Relative entries are relative to "/", the source of every backup run; both forms name one
        // file and one row.
        QString relative = path;
        while (relative.startsWith(u'/'))
            relative.remove(0, 1);
        const QByteArray name = native(u'/' + relative);
        struct stat attributes {};
        if (::lstat(name.constData(), &attributes) != 0)
            return std::nullopt;
        struct stat target {};
        const bool isFolder = ::stat(name.constData(), &target) == 0 && S_ISDIR(target.st_mode);
        const QDateTime modified = QDateTime::fromMSecsSinceEpoch(qint64(attributes.st_mtim.tv_sec) * 1000 +
                                                                      attributes.st_mtim.tv_nsec / 1000000,
                                                                  QTimeZone::utc());
        return QVariantList{QStringLiteral("%1/%2").arg(machine, relative),
                            DataBaseWraper::dateText(modified),
                            qint64(attributes.st_size),
                            isFolder,
                            kNA,
                            kNA,
                            kNA};
    };
    // A batch takes minutes with the standard pauses; what arrives meanwhile goes to the spool
    // once it is many, so that memory stays bounded however large the home.
    const qsizetype written =
        writeDelta(folder, user, paths.size(), recordAt, IndexThrottle::Pause::BackupRecords, 50,
                   [&] { spillBackupIntake(folder, user, false); });
    if (written < paths.size())
        returnBackupFiles(paths.mid(written));
}

void DBManager::updateListedFilesToDatabase(const QList<ListingEntry>& records, const QString& folder,
                                            const QString& user) {
    const auto recordAt = [&](qsizetype i) -> std::optional<QVariantList> {
        const ListingEntry& entry = records.at(i);
        const QVariantMap& record = entry.record;
        if (!record.contains(LmdKey) || !record.contains(SizeKey))
            return std::nullopt;
        return QVariantList{QStringLiteral("%1/%2").arg(entry.machine, record.value(PathKey).toString()),
                            record.value(LmdKey).toString(),
                            DataBaseWraper::sizeValue(record.value(SizeKey).toString()),
                            record.value(StateKey).toString() == QStringLiteral("1"),
                            kNA,
                            kNA,
                            kNA};
    };
    const qsizetype written =
        writeDelta(folder, user, records.size(), recordAt, IndexThrottle::Pause::ListingRecords, 500);
    if (written < records.size())
        returnListingRecords(records.mid(written));
}

bool DBManager::updateMasterDataBase(const QString& accountName) {
    QMutexLocker instanceLocker(&mLock);
    const QString folder = databasePath();
    if (folder.isEmpty())
        return false;
    const auto folderLock = mergeLockFor(folder);
    QMutexLocker folderLocker(folderLock.get());
    const AsFolderOwner owner(folderOwner());
    const auto entries = [&] {
        return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                                      QDir::Name);
    };
    // Deltas an ended process was writing are finished first, then merged with the others.
    QStringList names = entries();
    bool stranded = false;
    for (const QString& name : std::as_const(names)) {
        if (name.endsWith(DataBaseWraper::ProgressSuffix)) {
            finishStrandedDelta(folder + u'/' + name);
            stranded = true;
        }
    }
    if (stranded)
        names = entries();
    bool found = false;
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QString& name = names.at(i);
        const QString path = folder + u'/' + name;
        // Only regular files: a symlink or anything else planted under a delta's name is left alone.
        if (QFileInfo(name).suffix() == DataBaseWraper::DeltaExtension && isRegularFile(path)) {
            found = true;
            DataBaseWraper delta(mThrottle);
            if (delta.openDatabaseAtPath(folder, name) &&
                delta.updateMasterDatabaseWorker(folder, accountName))
                delta.removeDataBaseAtPath(path);
        }
        if (i % 3 == 0)
            mThrottle.pause(IndexThrottle::Pause::FolderEntries);
    }
    return found;
}

std::optional<QList<QVariantMap>> DBManager::search(const QString& text) const {
    const AsFolderOwner owner(folderOwner());
    DataBaseWraper wrapper;
    return wrapper.Search(text, databasePath(), logedInUser());
}
