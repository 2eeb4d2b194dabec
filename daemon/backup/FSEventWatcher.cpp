#include "FSEventWatcher.h"

#include "BackupfileController.h"
#include "ChangeCatchUp.h"
#include "DaemonRestarter.h"
#include "ExcludeManager.h"
#include "FilePathsController.h"
#include "FileTools.h"
#include "HostFacts.h"
#include "MassChangeTripwire.h"
#include "PropertyList.h"
#include "RezodeLoger.h"
#include "UserFileAccess.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <optional>

using Event = FileSystemEventStream::Event;

namespace {

bool isUtf8(const QByteArray& bytes) {
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

// A name a line-based list can hold: UTF-8, without a line feed or carriage return.
bool isListable(const QByteArray& bytes) {
    return !bytes.contains('\n') && !bytes.contains('\r') && isUtf8(bytes);
}

// Whether the calling thread may open path for reading (access() would ask with the real uid, not
// the file-system uid of a UserFileAccess scope).
bool readable(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

// What is at an event's path now, as the person sees it: a name below a folder closed to them
// (another account's, inside a shared folder) is not theirs to hear of, let alone to send. Only the
// look itself takes their rights (the trace and the lists stay root's).
enum class There { Yes, Gone, Closed };
There lookAt(const Event& event, const std::optional<UserFileAccess::Account>& person, struct stat* st) {
    std::optional<UserFileAccess> asThePerson;
    if (person)
        asThePerson.emplace(*person);
    if (::lstat(event.nativePath.constData(), st) == 0)
        return There::Yes;
    return errno == EACCES || errno == EPERM ? There::Closed : There::Gone;
}

} // namespace

struct FSEventWatcher::ExitGuard {
    QMutex lock;
    FSEventWatcher* watcher = nullptr;
};

FSEventWatcher::FSEventWatcher(DaemonServices services, ExcludeManager* excludeManager,
                               BackupfileController* collector, std::unique_ptr<FileSystemEventStream> stream)
    : mServices(std::move(services)), mExcludeMngObj(excludeManager), mCollector(collector),
      mFileStream(std::move(stream)) {
    connect(mExcludeMngObj, &ExcludeManager::namePatternsLifted, this, &FSEventWatcher::lookAgainFor,
            Qt::DirectConnection);
}

FSEventWatcher::~FSEventWatcher() {
    if (mExitGuard) {
        QMutexLocker lock(&mExitGuard->lock); // waits for a clean end under way on another thread
        mExitGuard->watcher = nullptr;
    }
    mStopCatchUp = true;
    waitForCatchUp();
    if (mFileStream)
        mFileStream->stop();
    mOperationQueue.waitForDone();
}

void FSEventWatcher::setWithDetails(const QVariantMap& details) {
    mConsoleUser = details.value(QStringLiteral("ConsoleUser")).toString();
    mExcludeMngObj->setConsoleUserName(mConsoleUser);
    takeScope();
}

void FSEventWatcher::takeScope() {
    const QString home = mConsoleUser.isEmpty() ? QString() : mServices.profile.homeOf(mConsoleUser);
    const HostFacts& facts = mServices.hostFacts ? *mServices.hostFacts : HostFacts::system();
    // The initial set as the last installation or Reinitialize left it (its roots, or what they
    // hold): what of it lies outside the home and the person may read is theirs to back up.
    FilePathsController paths(FilePathsController::Table::Daemon, mServices.profile);
    paths.setM_ConsoleUserName(mConsoleUser);
    const QStringList initial =
        PropertyList::readStringArray(paths.pathForApplicationFile(DaemonPath::InitialBackupList));
    const PersonScope homeOnly(home, {}, facts, {mServices.profile.usersFolder});
    const QString users = mServices.profile.usersFolder;
    UserFileAccess access(mConsoleUser);
    QStringList shared;
    for (const QString& entry : initial)
        if (!entry.isEmpty() && !homeOnly.contains(entry) && !PersonScope::isBelow(entry, users) &&
            (access.active() || ::geteuid() != 0) && readable(entry))
            shared << entry;
    auto scope = std::make_shared<const PersonScope>(home, shared, facts, QStringList{users});
    QMutexLocker lock(&mScopeLock);
    mScope = std::move(scope);
    if (::geteuid() == 0 && !mPerson && !mConsoleUser.isEmpty())
        mPerson = UserFileAccess::lookup(mConsoleUser);
}

PersonScope FSEventWatcher::scope() const {
    QMutexLocker lock(&mScopeLock);
    return mScope ? *mScope : PersonScope();
}

bool FSEventWatcher::isInScope(const QString& path) const {
    return scope().contains(path);
}

QString FSEventWatcher::backendName() const {
    return mFileStream ? mFileStream->backendName() : QString();
}

bool FSEventWatcher::startWatcher() {
    RezodeLoger& trace = *mServices.logger;
    if (!mFileStream) {
        trace.logDaemonTrace(QStringLiteral("File system events are not available: no event stream"), true);
        mCoverage.notWatching(QStringLiteral("no event stream"));
        return false;
    }
    mWatchStartMs = QDateTime::currentMSecsSinceEpoch();
    const bool started = mFileStream->start([this](QList<Event> events) { processData(std::move(events)); },
                                            [this, &trace](const FileSystemEventStream::Report& report) {
                                                mCoverage.report(report);
                                                trace.logDaemonTrace(report.message, true);
                                            });
    if (!started) {
        trace.logDaemonTrace(
            QStringLiteral("File system events are not available: %1").arg(mFileStream->lastError()), true);
        mCoverage.notWatching(mFileStream->lastError());
    } else {
        trace.logDaemonTrace(
            QStringLiteral("Watching file system events with %1").arg(mFileStream->backendName()), true);
        mCoverage.watching(mFileStream.get());
    }
    if (started)
        beginWatch();
    return started;
}

namespace {

// The watch's record: "pid=…" while a watch runs, "since=<ms>" from when changes may be only in
// memory, "ended=<ms>" after a clean end. An older daemon wrote the bare process id.
struct WatchRecord {
    bool exists = false;
    qint64 endedMs = 0;
    qint64 sinceMs = 0;

    static WatchRecord read(const QString& path) {
        WatchRecord record;
        const QFileInfo info(path);
        record.exists = info.exists() || info.isSymLink();
        QFile file(path);
        if (!info.isFile() || info.isSymLink() || info.size() > 4096 || !file.open(QIODevice::ReadOnly))
            return record;
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (line.startsWith("ended="))
                record.endedMs = line.mid(6).toLongLong();
            else if (line.startsWith("since="))
                record.sinceMs = line.mid(6).toLongLong();
        }
        return record;
    }
};

// File times are set from a coarse clock and may lag the moment they are compared with.
constexpr qint64 ClockMarginMs = 2000;

QString timeText(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(Qt::ISODateWithMs);
}

} // namespace

bool FSEventWatcher::writeRecord(const QByteArray& content) {
    QString error;
    if (FileTools::writeAtomically(mMarkerPath, content, 0644, &error))
        return true;
    mServices.logger->logDaemonTrace(
        QStringLiteral("Watch record %1 could not be written: %2").arg(mMarkerPath, error), true);
    return false;
}

void FSEventWatcher::beginWatch() {
    FilePathsController paths(FilePathsController::Table::Daemon, mServices.profile);
    paths.setM_ConsoleUserName(mConsoleUser);
    const QString marker = paths.pathForApplicationFile(DaemonPath::WatchMarker);
    if (marker.isEmpty() || !mMarkerPath.isEmpty())
        return;
    RezodeLoger& trace = *mServices.logger;
    const WatchRecord last = WatchRecord::read(marker);
    // The machine-wide state stays root's: the folder and the record are not writable by anyone else.
    QString error;
    const QFileInfo found(marker);
    const QString folder = found.path();
    if (!FileTools::makePath(folder, 0755) || !QFileInfo(folder).isDir())
        error = QStringLiteral("cannot create %1").arg(folder);
    else if (found.isDir() && !found.isSymLink())
        QDir(marker).removeRecursively(); // the rename below replaces anything else at the name
    // Until what the last watch missed is found and written to a list, changes from its lower bound on
    // may be only in memory; a record that says nothing usable keeps saying nothing.
    const qint64 since = last.endedMs > 0 ? last.endedMs : last.sinceMs;
    QByteArray content = "pid=" + QByteArray::number(QCoreApplication::applicationPid()) + '\n';
    if (since > 0)
        content += "since=" + QByteArray::number(since) + '\n';
    if (error.isEmpty())
        FileTools::writeAtomically(marker, content, 0644, &error);
    if (!error.isEmpty())
        trace.logDaemonTrace(
            QStringLiteral("Watch marker %1 could not be written, a killed daemon's lost changes will not be "
                           "backed up again: %2")
                .arg(marker, error),
            true);
    else
        mMarkerPath = marker;

    // What the person stopped excluding while no watch ran is owed as much as what changed.
    if (!mMarkerPath.isEmpty())
        mExcludeMngObj->catchUpOnRecord(mMarkerPath + QStringLiteral(".exclusions"));
    const QString home = scope().home();
    if (since > 0) {
        const QString why =
            last.endedMs > 0
                ? QStringLiteral(
                      "The last watch for %1 ended cleanly at %2, catching up on what changed since")
                      .arg(mConsoleUser, timeText(since))
                : QStringLiteral(
                      "The last watch for %1 did not end cleanly (killed or crashed), catching up on "
                      "what changed since %2")
                      .arg(mConsoleUser, timeText(since));
        trace.logDaemonTrace(why, true);
        catchUp(since);
    } else {
        const bool initialBackup =
            QFile::exists(paths.pathForApplicationFile(DaemonPath::InstalMarker)) ||
            QFile::exists(paths.pathForApplicationFile(DaemonPath::InitialSetReadyMarker)) ||
            QFile::exists(paths.pathForApplicationFile(DaemonPath::InitialBackupStartedMarker));
        if (last.exists)
            backUpHomeAgain(
                QStringLiteral("The last watch for %1 did not end cleanly (killed or crashed), backing "
                               "up the home folder %2 again")
                    .arg(mConsoleUser, home));
        else if (!initialBackup)
            backUpHomeAgain(QStringLiteral("No record of an earlier watch for %1, backing up the home folder "
                                           "%2 again")
                                .arg(mConsoleUser, home));
        // Nothing to look for, but the folders as they are now are what the next catch-up compares with.
        catchUp(0);
    }
    if (mMarkerPath.isEmpty() || !mServices.restarter)
        return;
    mExitGuard = std::make_shared<ExitGuard>();
    mExitGuard->watcher = this;
    mServices.restarter->addBeforeExitHook([guard = mExitGuard] {
        QMutexLocker lock(&guard->lock);
        if (guard->watcher)
            guard->watcher->endWatch();
    });
}

ChangeCatchUp::Walk FSEventWatcher::personsWalk() {
    // The person's folders past the rules; what it meets with more than one name is kept.
    ChangeCatchUp::Walk walk;
    const PersonScope places = scope();
    walk.roots = QStringList{places.home()} + places.folders();
    walk.roots.removeAll(QString());
    walk.excluded = [this](const QString& path) { return mExcludeMngObj->isExcludeTheFile(path); };
    walk.linked = [this](quint64 device, quint64 inode, quint64 names, const QByteArray& native) {
        mLinks.met({device, inode}, names, native);
    };
    walk.stop = &mStopCatchUp;
    return walk;
}

void FSEventWatcher::catchUp(qint64 sinceMs) {
    // sinceMs 0: only the catalogue of folders is made.
    const qint64 from = sinceMs > 0 ? sinceMs - ClockMarginMs : std::numeric_limits<qint64>::max();
    if (sinceMs > 0)
        mCoverage.catchingUp(QDateTime::fromMSecsSinceEpoch(from),
                             QStringLiteral("looking for changes made while the daemon was not running"));
    const QByteArray pid = "pid=" + QByteArray::number(QCoreApplication::applicationPid()) + '\n';
    mCatchUp = std::thread([this, from, pid] {
        const ChangeCatchUp::Catalogue known = ChangeCatchUp::load(catalogPath());
        ChangeCatchUp::Catalogue met;
        ChangeCatchUp::Walk walk = personsWalk();
        walk.sinceMs = from;
        walk.known = &known;
        walk.queue = [this](const QString& path, const QByteArray& native) { queue({path, 0, native}); };
        QElapsedTimer took;
        took.start();
        ChangeCatchUp::Result found;
        {
            UserFileAccess access(mConsoleUser);
            if (access.active() || ::geteuid() != 0)
                found = ChangeCatchUp::walk(walk, &met);
        }
        RezodeLoger& trace = *mServices.logger;
        if (!found.complete)
            return; // the daemon ends: the record still asks the next watch for the same
        if (mTripwire)
            mTripwire->setFileCount(found.files);
        if (from != std::numeric_limits<qint64>::max())
            trace.logDaemonTrace(
                QStringLiteral("Catch-up for %1: %2 items changed since %3 queued (%4 folders "
                               "and %5 files looked at in %6 ms)")
                    .arg(mConsoleUser)
                    .arg(found.queued)
                    .arg(timeText(from))
                    .arg(found.folders)
                    .arg(found.files)
                    .arg(took.elapsed()),
                true);
        QString error;
        if (!ChangeCatchUp::save(catalogPath(), met, &error))
            trace.logDaemonTrace(QStringLiteral("The catalogue of folders %1 could not be written, the next "
                                                "catch-up sends changed folders whole: %2")
                                     .arg(catalogPath(), error),
                                 true);
        // Once what was found is in a list, only the watch's own changes may be in memory.
        if (!mMarkerPath.isEmpty() && mCollector->timerFireMethod())
            writeRecord(pid + "since=" + QByteArray::number(mWatchStartMs) + '\n');
        mCaughtUp = true;
        mCoverage.caughtUp();
    });
}

void FSEventWatcher::waitForCatchUp() {
    if (mCatchUp.joinable())
        mCatchUp.join();
}

void FSEventWatcher::endWatch() {
    if (mMarkerPath.isEmpty())
        return;
    const qint64 stoppedCovering = QDateTime::currentMSecsSinceEpoch();
    mStopCatchUp = true;
    waitForCatchUp();
    // A change reaches the stream's callback at most one latency after it happened; the margin covers
    // reading and handing over on a busy machine.
    const auto latency = mServices.timings.fileEventLatency;
    QThread::msleep(static_cast<unsigned long>((latency + latency / 5).count() + 100));
    mOperationQueue.waitForDone();
    if (!mCollector->timerFireMethod() || mCollector->pendingCount() > 0) {
        mServices.logger->logDaemonTrace(
            QStringLiteral("Changed paths could not be written at exit, the next watch backs up the home "
                           "folder again"),
            true);
        return;
    }
    if (!mCaughtUp) {
        mServices.logger->logDaemonTrace(
            QStringLiteral("The catch-up for %1 had not finished, the next watch takes it up again")
                .arg(mConsoleUser),
            true);
        return;
    }
    if (!writeRecord("ended=" + QByteArray::number(stoppedCovering) + '\n'))
        return;
    mMarkerPath.clear();
}

void FSEventWatcher::processData(QList<Event> events) {
    // The stream's thread returns at once; the batch is handled on the pool.
    // A batch that looks again at lost events ends the loss once it has been handled.
    const quint64 rescans = mCoverage.batchArrived(events);
    mOperationQueue.start([this, rescans, events = std::move(events)] {
        handleFsData(events);
        if (rescans)
            mCoverage.rescanned(rescans);
    });
}

void FSEventWatcher::waitForBatches() {
    mOperationQueue.waitForDone();
}

void FSEventWatcher::queue(const Event& event) {
    const QByteArray native = event.nativePath.isEmpty() ? QFile::encodeName(event.path) : event.nativePath;
    if (isListable(native)) {
        if (!mTripwire || mTripwire->admit(event.path, native, event.flags))
            mCollector->addBackupFiles(event.path);
        return;
    }
    // Backup lists are UTF-8 text with one path a line, so such a name cannot be listed itself; its
    // folder can, and rsync brings the item along with its exact bytes.
    QByteArray folder = native.left(native.lastIndexOf('/'));
    while (!folder.isEmpty() && !isListable(folder))
        folder = folder.left(folder.lastIndexOf('/'));
    const QString folderPath = folder.isEmpty() ? QStringLiteral("/") : QString::fromUtf8(folder);
    mServices.logger->logDaemonTrace(
        (isUtf8(native) ? QStringLiteral("Name holds a line break, backing up its folder instead: %1")
                        : QStringLiteral("Name is not UTF-8, backing up its folder instead: %1"))
            .arg(folderPath),
        true);
    if (!mExcludeMngObj->isExcludeTheFile(folderPath))
        mCollector->addBackupFiles(folderPath);
}

void FSEventWatcher::rescan(const QString& path) {
    // Changes below path were lost. Below the person's home (or a folder of theirs) the folder itself
    // goes to the backup, and rsync finds what changed in it; a folder that holds the home (the whole
    // disk, when the kernel queue overflowed) stands for the home, whose entries go one by one through
    // the exclusion rules.
    const PersonScope places = scope();
    const QString home = places.home();
    if (!home.isEmpty() && (path == QLatin1String("/") || places.holdsHome(path))) {
        backUpHomeAgain(QStringLiteral("Changes were lost below %1, backing up the home folder %2 again")
                            .arg(path, home));
        return;
    }
    const QString filed = places.filed(path);
    if (filed.isEmpty() || mExcludeMngObj->isExcludeTheFile(filed))
        return;
    mServices.logger->logDaemonTrace(
        QStringLiteral("Changes were lost below %1, backing it up again").arg(filed), true);
    queue({filed, 0, QFile::encodeName(filed)});
}

void FSEventWatcher::backUpHomeAgain(const QString& why) {
    const QString home = scope().home();
    if (home.isEmpty())
        return;
    mServices.logger->logDaemonTrace(why, true);
    const QStringList entries =
        QDir(home).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& name : entries) {
        const QString entry = home + QLatin1Char('/') + name;
        if (!mExcludeMngObj->isExcludeTheFile(entry))
            queue({entry, 0, QFile::encodeName(entry)});
    }
}

void FSEventWatcher::lookAgainFor(const QList<QByteArray>& patterns) {
    QStringList shown;
    for (const QByteArray& pattern : patterns)
        shown << QFile::decodeName(pattern);
    mServices.logger->logDaemonTrace(
        QStringLiteral("Name patterns taken off, looking for what they kept out: %1").arg(shown.join(u' ')),
        true);
    mOperationQueue.start([this, patterns] {
        ChangeCatchUp::Walk walk = personsWalk();
        walk.named = [&patterns](const char* name) {
            return std::any_of(patterns.cbegin(), patterns.cend(), [name](const QByteArray& pattern) {
                return ::fnmatch(pattern.constData(), name, 0) == 0;
            });
        };
        walk.queue = [this](const QString& path, const QByteArray& native) { queue({path, 0, native}); };
        ChangeCatchUp::Result found;
        {
            UserFileAccess access(mConsoleUser);
            if (access.active() || ::geteuid() != 0)
                found = ChangeCatchUp::walk(walk, nullptr);
        }
        mServices.logger->logDaemonTrace(
            QStringLiteral("%1 items the lifted patterns kept out queued").arg(found.queued), true);
    });
}

void FSEventWatcher::followNames(const Event& event, const struct stat& st,
                                 const std::optional<UserFileAccess::Account>& person) {
    // Written through this name, the file changed under its other names too, which nobody reports.
    const LinkedNames::Id id(st.st_dev, st.st_ino);
    mLinks.met(id, st.st_nlink, event.nativePath);
    const bool changed =
        event.flags & (FileSystemEventStream::ItemModified | FileSystemEventStream::ItemInodeMetaMod);
    if (changed) {
        std::optional<UserFileAccess> asThePerson;
        if (person)
            asThePerson.emplace(*person);
        for (const QByteArray& other : mLinks.othersOf(id, event.nativePath))
            queueOtherName(other);
    }
    if (!mLinks.wantsLook(id))
        return;
    // A name met for the first time (a link made while watching): its others are found by a look
    // through the person's folders, one for every name that asks while it runs.
    QMutexLocker lock(&mLookLock);
    mLookFor.insert(id, mLookFor.value(id) || changed);
    if (mLooking)
        return;
    mLooking = true;
    mOperationQueue.start([this] { lookForOtherNames(); });
}

void FSEventWatcher::queueOtherName(const QByteArray& native) {
    const QString path = QFile::decodeName(native);
    if (!mExcludeMngObj->isExcludeTheFile(path))
        queue({path, FileSystemEventStream::ItemModified, native});
}

void FSEventWatcher::lookForOtherNames() {
    for (;;) {
        QHash<LinkedNames::Id, bool> wanted;
        {
            QMutexLocker lock(&mLookLock);
            if (mLookFor.isEmpty()) {
                mLooking = false;
                return;
            }
            wanted.swap(mLookFor);
        }
        // Nothing counts as changed: the walk only meets the names.
        ChangeCatchUp::Walk walk = personsWalk();
        walk.named = [](const char*) { return false; };
        walk.queue = [](const QString&, const QByteArray&) {};
        QElapsedTimer took;
        took.start();
        ChangeCatchUp::Result looked;
        int queued = 0;
        {
            UserFileAccess access(mConsoleUser);
            if (!access.active() && ::geteuid() == 0)
                continue;
            looked = ChangeCatchUp::walk(walk, nullptr);
            if (!looked.complete)
                continue; // the daemon ends
            mLinks.lookedFor(QSet<LinkedNames::Id>(wanted.keyBegin(), wanted.keyEnd()));
            for (auto it = wanted.cbegin(); it != wanted.cend(); ++it)
                if (it.value())
                    for (const QByteArray& other : mLinks.othersOf(it.key(), {})) {
                        queueOtherName(other);
                        ++queued;
                    }
        }
        mServices.logger->logDaemonTrace(
            QStringLiteral("Looked for the other names of %1 files with more than one name, %2 of them "
                           "queued (%3 files looked at in %4 ms)")
                .arg(wanted.size())
                .arg(queued)
                .arg(looked.files)
                .arg(took.elapsed()),
            true);
    }
}

void FSEventWatcher::handleFsData(const QList<Event>& events) {
    const PersonScope places = scope();
    std::optional<UserFileAccess::Account> person;
    {
        QMutexLocker lock(&mScopeLock);
        person = mPerson;
    }
    for (const Event& reported : events) {
        // Lost changes come before the exclusion rules: the path named may well be excluded ("/").
        if (reported.flags & FileSystemEventStream::MustScanSubDirs) {
            rescan(reported.path);
            continue;
        }
        // The kernel's name for the place, then the person's: the rules and the lists know that one.
        const QByteArray native =
            reported.nativePath.isEmpty() ? QFile::encodeName(reported.path) : reported.nativePath;
        const QString path = places.filed(reported.path);
        if (path.isEmpty())
            continue;
        const Event event{path, reported.flags, places.filedNative(native)};
        struct stat st {};
        if (mExcludeMngObj->isExcludeTheFile(path)) {
            // Not sent itself; but a file written through a name the rules exclude changed under its
            // other names too.
            if ((event.flags &
                 (FileSystemEventStream::ItemModified | FileSystemEventStream::ItemInodeMetaMod)) &&
                !(event.flags & FileSystemEventStream::ItemIsDir) &&
                lookAt(event, person, &st) == There::Yes && S_ISREG(st.st_mode) && st.st_nlink > 1)
                followNames(event, st, person);
            continue;
        }
        const There there = lookAt(event, person, &st);
        if (there == There::Closed)
            continue;
        if (there == There::Yes && S_ISREG(st.st_mode) && st.st_nlink > 1)
            followNames(event, st, person);
        // Either name of a rename: whatever is there under it now is owed, whatever became of the
        // other half. A save through a temporary name ("lu12345.tmp" renamed over "Report.odt", a
        // finished ".part" download) has an old half the rules exclude; an item moved in from a folder
        // nobody watches has none at all. The old name is gone, so it queues nothing.
        if (event.flags & FileSystemEventStream::ItemRenamed) {
            if (there == There::Yes)
                queue(event);
            continue;
        }
        // Gone again (created and removed within the latency); one removed and made anew is owed.
        if ((event.flags & FileSystemEventStream::ItemRemoved) && there != There::Yes)
            continue;
        if (event.flags & FileSystemEventStream::ItemCreated) {
            queue(event);
            continue;
        }
        // A file written in place (editors that save over, databases, ">>"): its new content is owed.
        // So is one whose attributes changed: made readable again, a send that failed for it can now
        // succeed (and a restored time is the file's own).
        if ((event.flags & (FileSystemEventStream::ItemModified | FileSystemEventStream::ItemInodeMetaMod)) &&
            !(event.flags & FileSystemEventStream::ItemIsDir) && there == There::Yes)
            queue(event);
    }
}
