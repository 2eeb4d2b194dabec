#include "RestoreVerifier.h"

#include "AccountRecord.h"
#include "BackupfileController.h"
#include "ChildCredentials.h"
#include "DaemonRestarter.h"
#include "DistributedNotificationCenter.h"
#include "FilePathsController.h"
#include "FileTools.h"
#include "ListingParser.h"
#include "RezodeLoger.h"
#include "RsyncConventions.h"
#include "UserFileAccess.h"
#include "UtilityClass.h"

#include <Protocol.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimeZone>

#include <algorithm>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace PS = Protocol::PendingState;

namespace {

constexpr qint64 MaxRecordBytes = 8 << 20;

QDateTime fromIso(const QVariant& value) {
    QDateTime t = QDateTime::fromString(value.toString(), Qt::ISODate);
    return t.isValid() ? t.toUTC() : QDateTime();
}

qint64 nowMs() {
    return QDateTime::currentMSecsSinceEpoch();
}

// The local file as it is now: its modification time (ms) and size, nullopt unless a regular file.
struct LocalFile {
    qint64 modifiedMs = 0;
    qint64 size = 0;
};
std::optional<LocalFile> localFile(const QString& path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return LocalFile{qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000, qint64(st.st_size)};
}

QString firstLine(const QByteArray& text) {
    const QString all = QString::fromUtf8(text).trimmed();
    return all.section(u'\n', 0, 0).trimmed();
}

} // namespace

// ---- the record of files sent ------------------------------------------------------------------

void RecentlySent::sent(const QString& rsyncName, qint64 now) {
    QString name = rsyncName;
    while (name.endsWith(u'\r'))
        name.chop(1);
    if (name.isEmpty() || name.endsWith(u'/') || name.contains(u'\n'))
        return; // a folder, or nothing a line can hold
    const QString path = name.startsWith(u'/') ? name : u'/' + name;
    QMutexLocker lock(&mLock);
    File& file = mFiles[path];
    file.path = path;
    file.sentMs = now;
    mDirty = true;
    if (mFiles.size() > MaxFiles + MaxFiles / 10)
        prune();
    if (mNotifier)
        mNotifier();
}

void RecentlySent::setNotifier(std::function<void()> notifier) {
    QMutexLocker lock(&mLock);
    mNotifier = std::move(notifier);
}

void RecentlySent::prune() {
    QList<File> all = mFiles.values();
    std::sort(all.begin(), all.end(), [](const File& a, const File& b) { return a.sentMs > b.sentMs; });
    mFiles.clear();
    for (int i = 0; i < std::min<int>(MaxFiles, all.size()); ++i)
        mFiles.insert(all[i].path, all[i]);
}

void RecentlySent::checked(const QString& path, qint64 now) {
    QMutexLocker lock(&mLock);
    auto it = mFiles.find(path);
    if (it != mFiles.end()) {
        it->checkedMs = now;
        mDirty = true;
    }
}

void RecentlySent::forget(const QString& path) {
    QMutexLocker lock(&mLock);
    if (mFiles.remove(path))
        mDirty = true;
}

QList<RecentlySent::File> RecentlySent::files() const {
    QMutexLocker lock(&mLock);
    return mFiles.values();
}

int RecentlySent::size() const {
    QMutexLocker lock(&mLock);
    return int(mFiles.size());
}

bool RecentlySent::takeDirty() {
    QMutexLocker lock(&mLock);
    return std::exchange(mDirty, false);
}

QByteArray RecentlySent::serialize() const {
    QList<File> all = files();
    std::sort(all.begin(), all.end(), [](const File& a, const File& b) { return a.sentMs < b.sentMs; });
    QByteArray out;
    for (const File& f : std::as_const(all))
        out += QByteArray::number(f.sentMs) + '\t' + QByteArray::number(f.checkedMs) + '\t' +
               f.path.toUtf8() + '\n';
    return out;
}

void RecentlySent::load(const QByteArray& text) {
    QMutexLocker lock(&mLock);
    for (const QByteArray& line : text.split('\n')) {
        const int first = line.indexOf('\t');
        const int second = first < 0 ? -1 : line.indexOf('\t', first + 1);
        if (second < 0)
            continue;
        bool sentOk = false, checkedOk = false;
        File f;
        f.sentMs = line.left(first).toLongLong(&sentOk);
        f.checkedMs = line.mid(first + 1, second - first - 1).toLongLong(&checkedOk);
        f.path = QString::fromUtf8(line.mid(second + 1));
        if (sentOk && checkedOk && f.path.startsWith(u'/') && !mFiles.contains(f.path))
            mFiles.insert(f.path, f);
    }
    if (mFiles.size() > MaxFiles)
        prune();
}

// ---- the check ---------------------------------------------------------------------------------

struct RestoreVerifier::ExitGuard {
    QMutex lock;
    RestoreVerifier* verifier = nullptr;
};

QString RestoreVerifier::Outcome::text() const {
    if (!verified.isValid())
        return QString();
    const QString date = verified.toLocalTime().toString(QStringLiteral("yyyy-MM-dd"));
    if (failed == 0)
        return QStringLiteral("Verified restorable on %1: %2 %3")
            .arg(date)
            .arg(files)
            .arg(files == 1 ? QStringLiteral("file") : QStringLiteral("files"));
    return QStringLiteral("Restore check on %1: %2 of %3 files differ from the snapshot")
        .arg(date)
        .arg(failed)
        .arg(files + failed);
}

RestoreVerifier::RestoreVerifier(DaemonServices services, BackupfileController* collector, QObject* parent)
    : QObject(parent), mServices(std::move(services)), mCollector(collector) {
    mSaveTimer.setSingleShot(true);
    mNextCheck.setSingleShot(true);
    mTimeout.setSingleShot(true);
    connect(&mSaveTimer, &QTimer::timeout, this, &RestoreVerifier::saveRecord);
    connect(&mNextCheck, &QTimer::timeout, this, [this] { checkNow(); });
    mRecord->setNotifier([this] { noteSent(); });
    connect(&mTimeout, &QTimer::timeout, this, [this] {
        if (mProcess && mProcess->state() != QProcess::NotRunning) {
            mErrors += QByteArrayLiteral("the check took longer than allowed and was ended\n");
            ::kill(-pid_t(mProcess->processId()), SIGKILL);
            mProcess->kill();
        }
    });
    mStallWatch.setWindow(mServices.timings.rsyncStallTimeout);
    connect(&mStallTimer, &QTimer::timeout, this, [this] {
        if (!mProcess || mProcess->state() == QProcess::NotRunning || !mStallWatch.stalled())
            return;
        mStallTimer.stop();
        mStallWatch.stop();
        mErrors +=
            QStringLiteral("the Zorvik Hollin device sent nothing for %1 seconds and the check was ended\n")
                .arg(std::chrono::duration_cast<std::chrono::seconds>(mStallWatch.window()).count())
                .toUtf8();
        ::kill(-pid_t(mProcess->processId()), SIGKILL);
        mProcess->kill();
    });
}

RestoreVerifier::~RestoreVerifier() {
    if (mExitGuard) {
        QMutexLocker lock(&mExitGuard->lock); // waits for a save under way on the exiting thread
        mExitGuard->verifier = nullptr;
    }
    mRecord->setNotifier(nullptr);
    if (mProcess) {
        mProcess->disconnect(this);
        if (mProcess->processId() > 0)
            ::kill(-pid_t(mProcess->processId()), SIGKILL);
        mProcess->kill();
        mProcess->waitForFinished(2000);
    }
    saveRecord();
}

QString RestoreVerifier::recordPath() const {
    if (mAccount.isEmpty())
        return QString();
    FilePathsController paths(FilePathsController::Table::Daemon, mServices.profile);
    paths.setM_ConsoleUserName(mConsoleUser);
    return QStringLiteral("%1/%2/%3")
        .arg(paths.pathForApplicationFile(DaemonPath::UserSupportFolder), mAccount,
             QString::fromLatin1(RecentlySent::FileName));
}

QVariantMap RestoreVerifier::readAccount() const {
    FilePathsController paths(FilePathsController::Table::Daemon, mServices.profile);
    paths.setM_ConsoleUserName(mConsoleUser);
    UserFileAccess access(mConsoleUser);
    const AccountRecord record = AccountRecord::read(paths.pathForApplicationFile(DaemonPath::UserDetails));
    return {{Protocol::UserName, record.userName()},
            {Protocol::Password, record.password()},
            {Protocol::Ip, record.value(Protocol::Ip)}};
}

void RestoreVerifier::start(const QString& consoleUser, const QVariantMap& previous) {
    mConsoleUser = consoleUser;
    const QString account = readAccount().value(Protocol::UserName).toString();
    mAccount = UserFileAccess::isSinglePathComponent(account) ? account : QString();
    if (const QString file = recordPath(); !file.isEmpty()) {
        UserFileAccess access(mConsoleUser);
        QByteArray text;
        if (FileTools::readRegularFile(file, MaxRecordBytes, text))
            mRecord->load(text);
    }

    // A planned exit (the daily restart among them) saves what was sent since the last save.
    if (mServices.restarter && !mExitGuard) {
        mExitGuard = std::make_shared<ExitGuard>();
        mExitGuard->verifier = this;
        mServices.restarter->addBeforeExitHook([guard = mExitGuard] {
            QMutexLocker lock(&guard->lock);
            if (guard->verifier)
                guard->verifier->saveRecord();
        });
    }

    mOutcome.state = previous.value(PS::VerifyState).toString();
    mOutcome.reason = previous.value(PS::VerifyReason).toString();
    mOutcome.attempted = fromIso(previous.value(PS::VerifyAttempted));
    mOutcome.verified = fromIso(previous.value(PS::Verified));
    mOutcome.snapshot = previous.value(PS::VerifiedSnapshot).toString();
    mOutcome.files = previous.value(PS::VerifiedFiles).toInt();
    mOutcome.skipped = previous.value(PS::VerifiedSkipped).toInt();
    mOutcome.failed = previous.value(PS::VerifiedFailed).toInt();
    mOutcome.failures = previous.value(PS::VerifiedFailures).toStringList();
    if (mOutcome.state == PS::VerifyRunning)
        mOutcome.state.clear(); // the process that ran it ended before it was done

    // Once a day across restarts; one that is due waits a little after start-up.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QDateTime due = now;
    if (mOutcome.attempted.isValid() && !mOutcome.state.isEmpty())
        due = mOutcome.attempted.addMSecs(mOutcome.state == PS::VerifyUnavailable
                                              ? mServices.timings.restoreCheckRetryDelay.count()
                                              : mServices.timings.restoreCheckInterval.count());
    schedule(std::max(due, now.addMSecs(mServices.timings.restoreCheckFirstDelay.count())));
}

void RestoreVerifier::schedule(const QDateTime& when) {
    const qint64 wait =
        std::clamp<qint64>(QDateTime::currentDateTimeUtc().msecsTo(when), 0, std::numeric_limits<int>::max());
    mNextCheck.start(int(wait));
}

void RestoreVerifier::noteSent() {
    if (mSavePending.exchange(true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!mSaveTimer.isActive())
                mSaveTimer.start(mServices.timings.recentlySentSaveDelay);
        },
        Qt::QueuedConnection);
}

// Any thread (the exit hook's too): the record and the names it uses look after themselves.
void RestoreVerifier::saveRecord() {
    mSavePending = false;
    const QString file = recordPath();
    if (file.isEmpty() || !mRecord->takeDirty())
        return;
    UserFileAccess access(mConsoleUser);
    FileTools::makePath(QFileInfo(file).path(), 0700);
    QString error;
    if (!FileTools::writeAtomically(file, mRecord->serialize(), 0600, &error))
        mServices.logger->logDaemonTrace(
            QStringLiteral("The record of files sent could not be saved: %1").arg(error), true);
}

void RestoreVerifier::tell() {
    if (mChanged)
        mChanged();
}

bool RestoreVerifier::checkNow() {
    if (isRunning())
        return false;
    mNextCheck.stop();
    mOutcome.state = PS::VerifyRunning;
    mOutcome.reason.clear();
    mOutcome.attempted = QDateTime::currentDateTimeUtc();
    mSkipped = 0;
    mSample.clear();
    mSnapshot.clear();
    tell();
    listSnapshots();
    return true;
}

QProcess* RestoreVerifier::startRsync(const QStringList& arguments) {
    auto* process = new QProcess(this);
    // As the person: the appliance and the files are theirs, and a file they cannot read stays unread.
    // A group of its own either way, so that an end takes whatever rsync started with it.
    std::optional<ChildCredentials> who;
    if (const std::optional<UserFileAccess::Account> account = UserFileAccess::lookup(mConsoleUser))
        who = ChildCredentials::forAccount(mConsoleUser, account->uid, account->gid,
                                           mServices.profile.homeOf(mConsoleUser));
    if (who)
        who->applyTo(*process, mConsoleUser, true);
    else
        process->setChildProcessModifier([] { ::setpgid(0, 0); });
    // The password reaches rsync through its environment, never on a command line or in a file; the
    // mark tells the daemon's runs from others.
    QProcessEnvironment env = process->processEnvironment();
    if (env.isEmpty())
        env = QProcessEnvironment::systemEnvironment();
    const QMap<QString, QString> added = RsyncConventions::daemonRunEnvironment(
        mDetails.value(Protocol::Password).toString(),
        FilePathsController(FilePathsController::Table::Daemon, mServices.profile)
            .pathForApplicationFile(DaemonPath::SystemSupportFolder));
    for (auto it = added.cbegin(); it != added.cend(); ++it)
        env.insert(it.key(), it.value());
    process->setProcessEnvironment(env);
    process->setProgram(rsyncProgram());
    process->setArguments(arguments);
    mOutput.clear();
    mErrors.clear();
    connect(process, &QProcess::finished, this, &RestoreVerifier::ended);
    connect(process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            ended();
    });
    connect(process, &QProcess::readyReadStandardOutput, this, [this, process] {
        mStallWatch.noteActivity();
        mOutput += process->readAllStandardOutput();
    });
    connect(process, &QProcess::readyReadStandardError, this, [this, process] {
        mStallWatch.noteActivity();
        mErrors += process->readAllStandardError();
    });
    mProcess = process;
    mTimeout.start(mServices.timings.restoreCheckTimeout);
    process->start();
    if (process->processId() > 0 && mStallWatch.window().count() > 0) {
        mStallWatch.start(pid_t(process->processId()), who, mConsoleUser);
        mStallTimer.start(mStallWatch.checkInterval());
    }
    return process;
}

QString RestoreVerifier::rsyncProgram() {
    QString rsync = QStandardPaths::findExecutable(QStringLiteral("rsync"));
    return rsync.isEmpty() ? QStringLiteral("/usr/bin/rsync") : rsync;
}

QStringList RestoreVerifier::rsyncOptions() const {
    // What this rsync understands: rsync's own limits on an appliance that stops answering, and no
    // login message where it can be left out.
    const RsyncConventions::Dialect dialect = RsyncConventions::dialect(false, rsyncProgram());
    QStringList options;
    if (dialect.noMotd())
        options << QStringLiteral("--no-motd");
    return options + RsyncConventions::stallOptions(dialect, mServices.timings.rsyncStallTimeout);
}

void RestoreVerifier::ended() {
    QProcess* process = mProcess;
    if (!process)
        return;
    mProcess = nullptr;
    mTimeout.stop();
    mStallTimer.stop();
    mStallWatch.stop();
    mOutput += process->readAllStandardOutput();
    mErrors += process->readAllStandardError();
    if (process->error() == QProcess::FailedToStart)
        mErrors += process->errorString().toUtf8();
    const int code =
        process->exitStatus() == QProcess::NormalExit && process->error() != QProcess::FailedToStart
            ? process->exitCode()
            : -1;
    process->deleteLater();
    if (mStep == Step::Listing) {
        if (code != 0) {
            finish(PS::VerifyUnavailable,
                   QStringLiteral("The snapshots on the Zorvik Hollin device could not be listed: %1")
                       .arg(firstLine(mErrors)));
            return;
        }
        snapshotsListed();
    } else if (mStep == Step::Comparing) {
        // 23 and 24: some files were missing or vanished, which is what the check looks for.
        if (code != 0 && code != 23 && code != 24) {
            finish(
                PS::VerifyUnavailable,
                QStringLiteral("The snapshot %1 could not be read: %2").arg(mSnapshot, firstLine(mErrors)));
            return;
        }
        compared();
    }
}

QDateTime RestoreVerifier::snapshotTime(const QString& name) {
    static const QRegularExpression stamp(QStringLiteral("(?:^|[^0-9])(\\d{8})\\.(\\d{4})(?:[^0-9]|$)"));
    const QRegularExpressionMatch m = stamp.match(name);
    if (!m.hasMatch())
        return QDateTime();
    const QDateTime local =
        QDateTime::fromString(m.captured(1) + m.captured(2), QStringLiteral("yyyyMMddHHmm"));
    return local.isValid() ? local.toUTC() : QDateTime();
}

std::optional<bool> RestoreVerifier::identical(const QString& itemize) {
    // YXcstpoguax: X 'f' for a file; Y '.' nothing to do, '>' '<' 'c' a transfer; c/s: checksum/size.
    if (itemize.size() < 4 || itemize.at(1) != u'f')
        return std::nullopt;
    if (itemize.at(0) == u'.')
        return true;
    return false;
}

void RestoreVerifier::listSnapshots() {
    mStep = Step::Listing;
    mDetails = readAccount();
    const QString user = mDetails.value(Protocol::UserName).toString();
    const QString address = mDetails.value(Protocol::Ip).toString();
    if (user.isEmpty() || address.isEmpty() || !UserFileAccess::isSinglePathComponent(user)) {
        finish(PS::VerifyUnavailable, QStringLiteral("No Zorvik Hollin account is logged in"));
        return;
    }
    startRsync(QStringList{QStringLiteral("--list-only")} + rsyncOptions() +
               QStringList{RsyncConventions::remotePath(RsyncConventions::RemoteForm::SnapshotList,
                                                        {user, address}, RsyncConventions::Launch::Direct)});
}

void RestoreVerifier::snapshotsListed() {
    QString newest;
    QDateTime newestTime;
    for (const QByteArray& line : mOutput.split('\n')) {
        const std::optional<ListingParser::Entry> entry = ListingParser::parseLine(line);
        if (!entry || !entry->directory || entry->name == QLatin1String(".") || entry->name.contains(u'/'))
            continue;
        QDateTime taken = snapshotTime(entry->name);
        if (!taken.isValid())
            taken =
                QDateTime::fromString(entry->date + u' ' + entry->time, QStringLiteral("yyyy/MM/dd HH:mm:ss"))
                    .toUTC();
        if (taken.isValid() && (!newestTime.isValid() || taken > newestTime)) {
            newest = entry->name;
            newestTime = taken;
        }
    }
    if (newest.isEmpty()) {
        finish(PS::VerifyUnavailable, QStringLiteral("There is no snapshot on the Zorvik Hollin device yet"));
        return;
    }
    compare(newest, newestTime);
}

void RestoreVerifier::compare(const QString& snapshot, const QDateTime& taken) {
    mSnapshot = snapshot;
    const qint64 takenMs = taken.toMSecsSinceEpoch();
    QList<RecentlySent::File> files = mRecord->files();
    // The least recently checked first, and of those the most recently sent.
    std::sort(files.begin(), files.end(), [](const RecentlySent::File& a, const RecentlySent::File& b) {
        return a.checkedMs != b.checkedMs ? a.checkedMs < b.checkedMs : a.sentMs > b.sentMs;
    });
    qint64 bytes = 0;
    QStringList relative;
    {
        UserFileAccess access(mConsoleUser);
        for (const RecentlySent::File& file : std::as_const(files)) {
            if (mSample.size() >= MaxFiles)
                break;
            if (file.sentMs >= takenMs)
                continue; // not in that snapshot yet
            const std::optional<LocalFile> local = localFile(file.path);
            if (!local) {
                mRecord->forget(file.path); // gone (or no file any more): nothing to restore it over
                ++mSkipped;
                continue;
            }
            if (local->modifiedMs > file.sentMs) {
                ++mSkipped; // changed since it was sent: the new content is on its way
                continue;
            }
            if (bytes + local->size > MaxBytes)
                continue;
            bytes += local->size;
            mSample << Sampled{file.path, local->modifiedMs};
            relative << file.path.mid(1);
        }
    }
    if (mSample.isEmpty()) {
        finish(PS::VerifyNothing,
               QStringLiteral("No file sent before the snapshot %1 is there to check").arg(snapshot));
        return;
    }
    mStep = Step::Comparing;
    const QString area = mDetails.value(Protocol::UserName).toString() + u'/' + UtilityClass::machineName();
    QProcess* process = startRsync(
        QStringList{QStringLiteral("-n"), QStringLiteral("-c"), QStringLiteral("-ii")} + rsyncOptions() +
        QStringList{QStringLiteral("--files-from=-"),
                    RsyncConventions::remotePath(RsyncConventions::RemoteForm::SnapshotCheck,
                                                 {mDetails.value(Protocol::UserName).toString(),
                                                  mDetails.value(Protocol::Ip).toString(), snapshot, area},
                                                 RsyncConventions::Launch::Direct),
                    QStringLiteral("/")});
    process->write(relative.join(u'\n').toUtf8() + '\n');
    process->closeWriteChannel();
}

void RestoreVerifier::compared() {
    QHash<QString, bool> result;
    // "YXcstpoguax name": the changes field has a fixed width (blanks inside), then one blank.
    constexpr int Width = 11;
    for (const QByteArray& raw : mOutput.split('\n')) {
        if (raw.size() <= Width + 1 || raw.at(Width) != ' ')
            continue;
        const std::optional<bool> same = identical(QString::fromLatin1(raw.left(Width)));
        if (same)
            result.insert(u'/' + ListingParser::decodeName(raw.mid(Width + 1)), *same);
    }
    const qint64 now = nowMs();
    int identicalFiles = 0;
    QStringList failures;
    for (const Sampled& sampled : std::as_const(mSample)) {
        std::optional<LocalFile> local;
        {
            UserFileAccess access(mConsoleUser);
            local = localFile(sampled.path);
        }
        if (!local || local->modifiedMs != sampled.modifiedMs) {
            ++mSkipped; // changed while it was being compared
            continue;
        }
        const auto found = result.constFind(sampled.path);
        if (found != result.constEnd() && *found) {
            ++identicalFiles;
            mRecord->checked(sampled.path, now);
            continue;
        }
        const bool missing = found == result.constEnd();
        failures << sampled.path;
        mRecord->checked(sampled.path, now);
        mServices.logger->logSessionTrace(
            (missing
                 ? QStringLiteral("Restore check: %1 is missing from the snapshot %2, backing it up again")
                 : QStringLiteral(
                       "Restore check: %1 differs from its copy in the snapshot %2, backing it up again"))
                .arg(sampled.path, mSnapshot),
            true);
        if (mCollector)
            mCollector->addBackupFiles(sampled.path);
    }
    mOutcome.verified = QDateTime::currentDateTimeUtc();
    mOutcome.snapshot = mSnapshot;
    mOutcome.files = identicalFiles;
    mOutcome.skipped = mSkipped;
    mOutcome.failed = int(failures.size());
    mOutcome.failures = failures;
    mServices.logger->logDaemonTrace(
        QStringLiteral(
            "Restore check against the snapshot %1: %2 files identical, %3 different or missing, %4 "
            "skipped (changed since they were sent)")
            .arg(mSnapshot)
            .arg(identicalFiles)
            .arg(failures.size())
            .arg(mSkipped),
        true);
    // Bare: the paths are in the person's own state file.
    if (!failures.isEmpty() && mServices.notifications)
        mServices.notifications->postNotification(Protocol::RestoreCheckFailed, {},
                                                  Protocol::PostDeliverImmediatelyToAllSessions);
    finish(failures.isEmpty() ? PS::VerifyPassed : PS::VerifyFailed, QString());
}

void RestoreVerifier::finish(const QString& state, const QString& reason) {
    mStep = Step::Idle;
    mDetails.clear();
    mOutcome.state = state;
    mOutcome.reason = reason;
    if (!reason.isEmpty())
        mServices.logger->logDaemonTrace(QStringLiteral("Restore check: %1").arg(reason), true);
    schedule(QDateTime::currentDateTimeUtc().addMSecs(state == PS::VerifyUnavailable
                                                          ? mServices.timings.restoreCheckRetryDelay.count()
                                                          : mServices.timings.restoreCheckInterval.count()));
    saveRecord();
    tell();
}
