#include "MassChangeTripwire.h"

#include "FilePathsController.h"
#include "FileSystemEventStream.h"
#include "FileTools.h"
#include "RezodeLoger.h"
#include "UserFileAccess.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cmath>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 HeadBytes = 64 * 1024;
// Random bytes have 8 bits of entropy per byte; text 4–5, machine code about 6, and compressed or
// encrypted data above 7.9 once there is enough of it.
constexpr double EncryptedEntropy = 7.6;

// Formats that are compressed (or encrypted) by nature: a rewrite of such a file looks random and
// says nothing. Each is (offset, bytes).
struct Signature {
    int offset;
    QByteArray bytes;
};
const std::array kSignatures{
    Signature{0, QByteArray("PK\x03\x04", 4)},         // zip: office documents, epub, jar
    Signature{0, QByteArray("\xFF\xD8\xFF", 3)},       // JPEG
    Signature{0, QByteArray("\x89PNG", 4)},            // PNG
    Signature{0, QByteArray("GIF8", 4)},               // GIF
    Signature{0, QByteArray("%PDF", 4)},               // PDF
    Signature{0, QByteArray("\x1F\x8B", 2)},           // gzip
    Signature{0, QByteArray("7z\xBC\xAF\x27\x1C", 6)}, // 7-Zip
    Signature{0, QByteArray("Rar!", 4)},               // RAR
    Signature{0, QByteArray("BZh", 3)},                // bzip2
    Signature{0, QByteArray("\xFD"
                            "7zXZ",
                            5)},                     // xz
    Signature{0, QByteArray("\x28\xB5\x2F\xFD", 4)}, // zstd
    Signature{0, QByteArray("ID3", 3)},              // MP3 with tags
    Signature{0, QByteArray("\xFF\xFB", 2)},         // MP3 frames
    Signature{0, QByteArray("\xFF\xF3", 2)},
    Signature{0, QByteArray("\xFF\xF2", 2)},
    Signature{0, QByteArray("OggS", 4)},             // Ogg
    Signature{0, QByteArray("fLaC", 4)},             // FLAC
    Signature{0, QByteArray("RIFF", 4)},             // WebP, WAV, AVI
    Signature{4, QByteArray("ftyp", 4)},             // MP4, MOV, HEIC
    Signature{0, QByteArray("\x1A\x45\xDF\xA3", 4)}, // Matroska, WebM
    Signature{0, QByteArray("\x00\x00\x01\xBA", 4)}, // MPEG
    Signature{0, QByteArray("II*\x00", 4)},          // TIFF and camera raw
    Signature{0, QByteArray("MM\x00*", 4)},
    Signature{0, QByteArray("wOFF", 4)}, // web fonts
    Signature{0, QByteArray("wOF2", 4)},
    Signature{0, QByteArray("\x03\xD9\xA2\x9A", 4)}, // KeePass database
    Signature{0, QByteArray("SQLite format 3", 15)}, // SQLite
    Signature{0, QByteArray("LUKS", 4)},             // an encrypted volume the person keeps
    Signature{0, QByteArray("\x85\x01", 2)},         // OpenPGP message packets
    Signature{0, QByteArray("\x84\x8C", 2)},
    Signature{0, QByteArray("age-encryption.org", 18)}, // age
    Signature{0, QByteArray("\x00\x00\x00\x0C"
                            "jP",
                            6)}, // JPEG 2000
};

} // namespace

double MassChangeTripwire::entropy(const QByteArray& data) {
    if (data.isEmpty())
        return 0;
    std::array<qint64, 256> counts{};
    for (const char c : data)
        ++counts[quint8(c)];
    double bits = 0;
    const double n = double(data.size());
    for (const qint64 count : counts)
        if (count > 0) {
            const double p = double(count) / n;
            bits -= p * std::log2(p);
        }
    return bits;
}

bool MassChangeTripwire::looksEncrypted(const QByteArray& head) {
    // Too little to tell random bytes from anything else.
    if (head.size() < 1024)
        return false;
    for (const Signature& s : kSignatures)
        if (head.mid(s.offset, s.bytes.size()) == s.bytes)
            return false;
    return entropy(head) >= EncryptedEntropy;
}

MassChangeTripwire::MassChangeTripwire(DaemonServices services, std::function<void(const QString&)> released)
    : mServices(std::move(services)), mReleased(std::move(released)) {
    mReleaseTimer.setInterval(std::max<qint64>(1000, mServices.timings.massChangeWindow.count() / 10));
    connect(&mReleaseTimer, &QTimer::timeout, this, &MassChangeTripwire::releaseParked);
}

MassChangeTripwire::~MassChangeTripwire() = default;

void MassChangeTripwire::start(const QString& consoleUser) {
    FilePathsController paths(FilePathsController::Table::Daemon, mServices.profile);
    paths.setM_ConsoleUserName(consoleUser);
    const QString lists = paths.pathForApplicationFile(DaemonPath::BackupListsFolder);
    QMutexLocker lock(&mLock);
    mConsoleUser = consoleUser;
    // Beside the lists, not among them: the backup controller takes everything in that folder.
    mHeldFile = lists.isEmpty() ? QString() : QFileInfo(lists).path() + QStringLiteral("/HeldChanges");
    QFile file(mHeldFile);
    if (!mHeldFile.isEmpty() && file.open(QIODevice::ReadOnly) && file.size() < 512 * 1024 * 1024) {
        for (const QByteArray& line : file.readAll().split('\n'))
            if (!line.isEmpty())
                mHeld.insert(QString::fromUtf8(line));
        if (!mHeld.isEmpty()) {
            mTripped = true;
            mSince = QFileInfo(file).lastModified().toUTC();
        }
    }
    mReleaseTimer.start();
}

void MassChangeTripwire::setFileCount(qint64 files) {
    QMutexLocker lock(&mLock);
    mFileCount = files;
}

void MassChangeTripwire::setObserver(std::function<void()> observer) {
    QMutexLocker lock(&mLock);
    mObserver = std::move(observer);
}

void MassChangeTripwire::changed() {
    std::function<void()> observer;
    {
        QMutexLocker lock(&mLock);
        observer = mObserver;
    }
    if (observer)
        observer();
}

bool MassChangeTripwire::readHead(const QByteArray& native, QByteArray& head) const {
    // With the person's rights: what they cannot read is theirs to keep, and a link is not followed.
    std::optional<UserFileAccess> asThePerson;
    if (::geteuid() == 0 && !mConsoleUser.isEmpty())
        asThePerson.emplace(mConsoleUser);
    const int fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (ok) {
        head.resize(qsizetype(std::min<qint64>(HeadBytes, st.st_size)));
        const ssize_t n = head.isEmpty() ? 0 : ::pread(fd, head.data(), size_t(head.size()), 0);
        ok = n >= 0;
        head.resize(std::max<qsizetype>(0, qsizetype(n)));
    }
    ::close(fd);
    return ok;
}

bool MassChangeTripwire::admit(const QString& path, const QByteArray& native, quint32 flags) {
    using F = FileSystemEventStream;
    const bool created = flags & F::ItemCreated;
    const bool counted =
        !(flags & F::ItemIsDir) && ((flags & F::ItemRenamed) || ((flags & F::ItemModified) && !created));
    if (!counted) {
        // Whatever happens next to a path held or parked (its mode changed, made anew), it stays
        // where it is: the person decides about it.
        QMutexLocker lock(&mLock);
        if (!mHeld.contains(path) && std::none_of(mParked.cbegin(), mParked.cend(),
                                                  [&path](const auto& p) { return p.second == path; }))
            return true;
        if (mTripped)
            mHeld.insert(path);
        return false;
    }
    QByteArray head;
    const bool encrypted = readHead(native, head) && looksEncrypted(head);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    bool trippedNow = false, keep = false;
    {
        QMutexLocker lock(&mLock);
        const qint64 window = mServices.timings.massChangeWindow.count();
        while (!mWindow.empty() && mWindow.front().atMs < now - window)
            mWindow.pop_front();
        if (mTripped) {
            mHeld.insert(path);
            keep = true;
        } else {
            mWindow.push_back({now, encrypted});
            int encryptedCount = 0;
            for (const Change& c : mWindow)
                encryptedCount += c.encrypted ? 1 : 0;
            const qint64 files = mFileCount;
            const bool tooManyEncrypted =
                encryptedCount >=
                std::max<qint64>(EncryptedMinimum, qint64(std::ceil(files * EncryptedShare)));
            const bool tooManyRewritten =
                qint64(mWindow.size()) >=
                std::max<qint64>(RewrittenMinimum, qint64(std::ceil(files * RewrittenShare)));
            if (tooManyEncrypted || tooManyRewritten) {
                mTripped = trippedNow = true;
                mSince = QDateTime::currentDateTimeUtc();
                for (const auto& [at, parked] : mParked)
                    mHeld.insert(parked);
                mParked.clear();
                mHeld.insert(path);
                keep = true;
            } else if (encrypted) {
                mParked.emplace_back(now, path);
                keep = true;
            }
        }
    }
    if (trippedNow)
        trip();
    else if (keep)
        QMetaObject::invokeMethod(
            this, [this] { saveHeld(); }, Qt::QueuedConnection);
    if (keep)
        changed();
    return !keep;
}

void MassChangeTripwire::trip() {
    int held = 0, changedCount = 0;
    {
        QMutexLocker lock(&mLock);
        held = int(mHeld.size());
        changedCount = int(mWindow.size());
    }
    mServices.logger->logDaemonTrace(
        QStringLiteral("Mass change: %1 of the person's files were rewritten within %2 s; sending those "
                       "changes is held until the person lets them go (%3 held so far)")
            .arg(changedCount)
            .arg(mServices.timings.massChangeWindow.count() / 1000)
            .arg(held),
        true);
    QMetaObject::invokeMethod(
        this,
        [this, held] {
            saveHeld();
            emit tripped(held);
        },
        Qt::QueuedConnection);
}

void MassChangeTripwire::releaseParked() {
    QStringList free;
    {
        QMutexLocker lock(&mLock);
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const qint64 window = mServices.timings.massChangeWindow.count();
        while (!mParked.empty() && mParked.front().first <= now - window) {
            free << mParked.front().second;
            mParked.pop_front();
        }
    }
    for (const QString& path : std::as_const(free))
        mReleased(path);
    if (!free.isEmpty())
        changed();
}

void MassChangeTripwire::release() {
    QStringList free;
    {
        QMutexLocker lock(&mLock);
        free = QStringList(mHeld.cbegin(), mHeld.cend());
        for (const auto& [at, parked] : mParked)
            free << parked;
        mHeld.clear();
        mParked.clear();
        mWindow.clear();
        mTripped = false;
        mSince = QDateTime();
    }
    mServices.logger->logDaemonTrace(
        QStringLiteral("Mass change: the person let the %1 held changes go").arg(free.size()), true);
    for (const QString& path : std::as_const(free))
        mReleased(path);
    saveHeld();
    changed();
}

void MassChangeTripwire::saveHeld() {
    QByteArray content;
    QString file;
    {
        QMutexLocker lock(&mLock);
        file = mHeldFile;
        QStringList held(mHeld.cbegin(), mHeld.cend());
        held.sort();
        content = held.join(u'\n').toUtf8();
    }
    if (file.isEmpty())
        return;
    if (content.isEmpty()) {
        QFile::remove(file);
        return;
    }
    QString error;
    FileTools::makePath(QFileInfo(file).path());
    if (!FileTools::writeAtomically(file, content, 0600, &error))
        mServices.logger->logDaemonTrace(
            QStringLiteral("The held changes could not be written to %1, they are held in memory: %2")
                .arg(file, error),
            true);
}

MassChangeTripwire::Snapshot MassChangeTripwire::snapshot() const {
    QMutexLocker lock(&mLock);
    Snapshot s;
    s.tripped = mTripped;
    s.held = int(mHeld.size());
    s.parked = int(mParked.size());
    s.since = mSince;
    s.changedInWindow = int(mWindow.size());
    for (const Change& c : mWindow)
        s.encryptedInWindow += c.encrypted ? 1 : 0;
    for (auto it = mHeld.cbegin(); it != mHeld.cend() && s.sample.size() < 200; ++it)
        s.sample << *it;
    s.sample.sort();
    return s;
}
