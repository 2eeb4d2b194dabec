#include "ProtectionCheck.h"

#include "DistributedNotificationCenter.h"
#include "HostFacts.h"
#include "IndexSearch.h"
#include "PersonScope.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "UserFileAccess.h"
#include "UtilityClass.h"

#include <QBoxLayout>
#include <QDialogButtonBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimeZone>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString nameOf(const QString& path) {
    const QString name = QFileInfo(path).fileName();
    return name.isEmpty() ? path : name;
}

QString shown(const QDateTime& when) {
    return when.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString userSupport(const FilePathsController& paths) {
    return paths.pathForApplicationFile(AppPath::UserSupportFolder);
}

QString timeMachineList(const FilePathsController& paths) {
    return userSupport(paths) + u'/' + Protocol::TimeMachineExcludeFile;
}

// Whether a list entry (a path the watch collected) covers path: the path itself or a folder above it.
bool covers(const QString& entry, const QString& path) {
    return entry == path ||
           (path.startsWith(entry) && (entry.endsWith(u'/') || path.at(entry.size()) == u'/'));
}

// The lists waiting to be sent, oldest first (their names start with the time they were written); the
// ones already consumed and those still being written are not waiting.
QFileInfoList waitingLists(const FilePathsController& paths) {
    QDir folder(paths.pathForApplicationFile(AppPath::BackupListsFolder));
    QFileInfoList lists;
    for (const QFileInfo& info : folder.entryInfoList(QDir::Files | QDir::Hidden, QDir::Name))
        if (info.suffix() != Protocol::ListExtensionDelete &&
            info.suffix() != Protocol::ListExtensionProgress)
            lists << info;
    return lists;
}

QDateTime listTime(const QFileInfo& list) {
    const QDateTime stamp =
        QDateTime::fromString(list.fileName().left(23), QStringLiteral("yyyy-MM-dd HH-mm-ss-zzz"));
    return stamp.isValid() ? stamp : list.lastModified();
}

// Whether a log line names path as a whole name: the daemon writes the paths rsync sent relative to "/"
// ("Backup completed for home/ann/a.txt"), rsync's own lines absolute or below the machine's folder.
bool namesPath(const QString& line, const QString& path) {
    const QString relative = path.startsWith(u'/') ? path.mid(1) : path;
    if (relative.isEmpty())
        return false;
    const auto bounds = [](QChar c) { return c.isSpace() || c == u'"' || c == u'\'' || c == u':'; };
    for (qsizetype at = line.indexOf(relative); at >= 0; at = line.indexOf(relative, at + 1)) {
        const qsizetype end = at + relative.size();
        if ((at == 0 || line.at(at - 1) == u'/' || bounds(line.at(at - 1))) &&
            (end == line.size() || bounds(line.at(end))))
            return true;
    }
    return false;
}

// The last line of the session logs that names path, newest log first.
QString lastSessionLine(const QString& path, const FilePathsController& paths) {
    QDir folder(paths.pathForApplicationFile(AppPath::SessionLogsFolder));
    QFileInfoList logs = folder.entryInfoList(QDir::Files, QDir::Time);
    for (const QFileInfo& log : std::as_const(logs)) {
        QFile f(log.filePath());
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QStringList lines = QString::fromUtf8(f.readAll()).split(u'\n');
        for (auto it = lines.crbegin(); it != lines.crend(); ++it)
            if (namesPath(*it, path))
                return it->trimmed();
    }
    return QString();
}

// What the daemon says waits, from the state file it keeps for the person: how many changes, and when
// the oldest of them was noted.
struct Pending {
    int count = 0;
    QDateTime oldest;
    QDateTime updated; // when the daemon last wrote the file
};

Pending pendingState(const FilePathsController& paths) {
    const QVariantMap values =
        PropertyList::readDictionary(userSupport(paths) + u'/' + Protocol::PendingStateFile);
    Pending p;
    p.count = values.value(Protocol::PendingState::Count).toInt();
    p.oldest = QDateTime::fromString(values.value(Protocol::PendingState::Oldest).toString(), Qt::ISODate);
    p.updated = QDateTime::fromString(values.value(Protocol::PendingState::Updated).toString(), Qt::ISODate);
    return p;
}

// A change is noted a moment after it is made (the watch gathers events for a few seconds): a file last
// changed this long before the oldest change waiting may still be among them.
constexpr qint64 NotingSlackSecs = 10;

// Whether the changes the daemon has waiting (in its lists, in the run under way, or owed by a run that
// failed) can include this file's last change: made around or after the oldest of them was noted, and
// before the daemon last told its count (a change after that, it has not told of; while it is stopped,
// none). The lists themselves are the daemon's to read.
bool amongPending(const Pending& pending, const QFileInfo& here) {
    const QDateTime changed = here.lastModified();
    return pending.count > 0 && pending.oldest.isValid() &&
           changed >= pending.oldest.addSecs(-NotingSlackSecs) &&
           (!pending.updated.isValid() || changed <= pending.updated.addSecs(1));
}

bool isErrorLine(const QString& line) {
    static const QRegularExpression error(QStringLiteral("\\b(error|failed|denied|cannot|could not|rsync:)"),
                                          QRegularExpression::CaseInsensitiveOption);
    return !line.contains(QLatin1String("Backup completed for")) && error.match(line).hasMatch();
}

QString ruleText(const ExclusionRules::Match& m) {
    switch (m.kind) {
    case ExclusionRules::Kind::BuiltIn:
        return ProtectionCheckDialog::tr("a built-in rule (%1)").arg(m.rule);
    case ExclusionRules::Kind::FolderList:
        return ProtectionCheckDialog::tr("your list of excluded items (“%1”)").arg(m.rule);
    case ExclusionRules::Kind::TimeMachine:
        return ProtectionCheckDialog::tr("the Time Machine destination “%1”").arg(m.rule);
    case ExclusionRules::Kind::NamePattern:
        return ProtectionCheckDialog::tr("the name pattern “%1”").arg(m.rule);
    case ExclusionRules::Kind::Root:
    case ExclusionRules::Kind::None:
        break;
    }
    return ProtectionCheckDialog::tr("a built-in rule");
}

// Keeps a widget at the top right corner of its window as the window changes size.
class CornerKeeper : public QObject {
  public:
    CornerKeeper(QWidget* window, QWidget* widget) : QObject(window), mWidget(widget) {
        window->installEventFilter(this);
        place(window);
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Resize || event->type() == QEvent::Show)
            place(static_cast<QWidget*>(watched));
        return false;
    }

  private:
    void place(QWidget* window) {
        mWidget->move(window->width() - mWidget->width() - 10, 10);
        mWidget->raise();
    }
    QWidget* mWidget;
};

// Checks a file dropped on the window it watches.
class DropChecker : public QObject {
  public:
    DropChecker(QWidget* window, std::function<void(const QString&)> check)
        : QObject(window), mCheck(std::move(check)) {
        window->setAcceptDrops(true);
        window->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::DragEnter) {
            auto* enter = static_cast<QDragEnterEvent*>(event);
            if (enter->mimeData()->hasUrls() && enter->mimeData()->urls().first().isLocalFile()) {
                enter->acceptProposedAction();
                return true;
            }
        } else if (event->type() == QEvent::Drop) {
            auto* drop = static_cast<QDropEvent*>(event);
            const QList<QUrl> urls = drop->mimeData()->urls();
            if (!urls.isEmpty() && urls.first().isLocalFile()) {
                drop->acceptProposedAction();
                mCheck(urls.first().toLocalFile());
                return true;
            }
        }
        return false;
    }

  private:
    std::function<void(const QString&)> mCheck;
};

} // namespace

void ProtectionCheckDialog::attachTo(QWidget* window, QPushButton* beside, const FilePathsController* paths,
                                     DistributedNotificationCenter* center) {
    const auto check = [window, paths, center](const QString& path) {
        const QString account =
            PropertyList::readDictionary(paths->pathForApplicationFile(AppPath::UserDetails))
                .value(Protocol::UserName)
                .toString();
        auto* dialog =
            new ProtectionCheckDialog(path, *paths, account, UtilityClass::machineName(), center, window);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setWindowFlag(Qt::Dialog);
        dialog->show();
    };
    auto* button = new QPushButton(tr("Check a File…"), window);
    button->setObjectName(QStringLiteral("checkFileButton"));
    button->setToolTip(
        tr("Whether a file of this computer is backed up, and if not, why (or drop a file here)"));
    QBoxLayout* row = nullptr;
    const std::function<QBoxLayout*(QLayout*)> holding = [&](QLayout* layout) -> QBoxLayout* {
        if (!layout)
            return nullptr;
        if (auto* box = qobject_cast<QBoxLayout*>(layout); box && box->indexOf(beside) >= 0)
            return box;
        for (int i = 0; i < layout->count(); ++i)
            if (QBoxLayout* found = holding(layout->itemAt(i)->layout()))
                return found;
        return nullptr;
    };
    if (beside && beside->parentWidget())
        row = holding(beside->parentWidget()->layout());
    if (row) {
        row->insertWidget(row->indexOf(beside) + 1, button);
    } else {
        // A window laid out by hand: the button keeps to its top right corner, clear of the rest.
        button->adjustSize();
        new CornerKeeper(window, button);
    }
    QObject::connect(button, &QPushButton::clicked, window, [window, check] {
        const QString file = QFileDialog::getOpenFileName(window, tr("Check a File"), QDir::homePath());
        if (!file.isEmpty())
            check(file);
    });
    new DropChecker(window, check);
}

ExclusionRules::Match ProtectionCheck::exclusionFor(const QString& path, const FilePathsController& paths) {
    const QStringList list =
        PropertyList::readStringArray(paths.pathForApplicationFile(AppPath::InitialExcludeList));
    const QStringList timeMachine = PropertyList::readStringArray(timeMachineList(paths));
    const QList<QByteArray> patterns = ExclusionRules::cleanPatterns(
        PropertyList::readStringArray(paths.pathForApplicationFile(AppPath::ExcludePattern)));
    // As the daemon decides: the path under the home's own name (a file picked behind /home -> /var/home
    // is the home's), and no entry excluding the whole home from above.
    const PlatformProfile& profile = paths.profile();
    const PersonScope scope(profile.homeOf(paths.m_ConsoleUserName()), {}, HostFacts::system(),
                            {profile.usersFolder});
    const QString filed = scope.filed(path);
    return ExclusionRules::evaluate(
        filed.isEmpty() ? path : filed,
        ExclusionRules::withoutHoldersOf(QSet<QString>(list.cbegin(), list.cend()), scope.homeNames()),
        QSet<QString>(timeMachine.cbegin(), timeMachine.cend()), patterns);
}

ProtectionCheck::Result ProtectionCheck::check(const QString& path, const FilePathsController& paths,
                                               const QString& account, const QString& machine) {
    // The answer is what the person at the screen may know: everything is looked at with their rights
    // (the application runs as them; a process with more rights takes theirs for the check).
    std::optional<UserFileAccess> asThePerson;
    if (::geteuid() == 0 && !paths.m_ConsoleUserName().isEmpty())
        asThePerson.emplace(paths.m_ConsoleUserName());
    Result r;
    const QString name = nameOf(path);
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(native.constData(), &st) != 0) {
        r.answer = Answer::Missing;
        if (errno == EACCES) {
            // There, perhaps, but behind a folder the person may not open: neither they nor the backup
            // (which reads with their rights) can reach it.
            r.unreadable = true;
            r.sentence =
                ProtectionCheckDialog::tr("“%1” cannot be reached with your rights: a folder above it is "
                                          "closed to you.")
                    .arg(path);
            r.details << ProtectionCheckDialog::tr(
                "The backup reads your files with your rights, so it cannot send what you cannot open.");
        } else {
            r.sentence = ProtectionCheckDialog::tr("“%1” does not exist on this computer.").arg(path);
        }
        return r;
    }
    const QFileInfo here(path);
    // rsync reads the file as the person: what they cannot open cannot be sent. (Links are sent as
    // links, and a folder needs to be listed.)
    if (!S_ISLNK(st.st_mode)) {
        const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd >= 0)
            ::close(fd);
        else
            r.unreadable = errno == EACCES || errno == EPERM;
    }
    const QString unreadableDetail = ProtectionCheckDialog::tr(
        "You cannot read it, and the backup reads your files with your rights: it cannot be sent until "
        "you can read it.");

    r.exclusion = exclusionFor(path, paths);
    if (r.exclusion) {
        r.answer = Answer::Excluded;
        // The system's own entries of the list (its default exclusions) are not the person's to lift.
        r.defaultList = r.exclusion.kind == ExclusionRules::Kind::FolderList &&
                        paths.profile().defaultExclusions.contains(r.exclusion.rule);
        r.canStopExcluding = !r.defaultList && (r.exclusion.kind == ExclusionRules::Kind::FolderList ||
                                                r.exclusion.kind == ExclusionRules::Kind::NamePattern);
        r.sentence =
            ProtectionCheckDialog::tr("“%1” is not backed up: it is excluded by %2.")
                .arg(name, r.defaultList
                               ? ProtectionCheckDialog::tr("the default list (“%1”)").arg(r.exclusion.rule)
                               : ruleText(r.exclusion));
        r.details << (r.canStopExcluding
                          ? ProtectionCheckDialog::tr("You can stop excluding it here or in Exclude Items.")
                          : ProtectionCheckDialog::tr(
                                "This rule keeps temporary and system files out of every "
                                "backup; it cannot be lifted."));
        return r;
    }

    // Waiting: its place among the lists, oldest first, where the person may read them.
    const QFileInfoList lists = waitingLists(paths);
    int position = 0, total = 0;
    for (const QFileInfo& list : lists) {
        QFile f(list.filePath());
        if (!f.open(QIODevice::ReadOnly))
            continue;
        for (const QString& entry : QString::fromUtf8(f.readAll()).split(u'\n', Qt::SkipEmptyParts)) {
            ++total;
            if (!position && covers(entry, path)) {
                position = total;
                r.since = listTime(list);
            }
        }
    }
    const bool waiting = position > 0;
    if (waiting) {
        r.queuePosition = position;
        r.queueLength = total;
    }
    // What the daemon tells the person about its queue: a count and the time of the oldest change.
    const Pending pending = pendingState(paths);
    const auto waitingByCount = [&] {
        r.answer = Answer::Waiting;
        r.since = pending.oldest;
        r.queueLength = pending.count;
        r.sentence =
            ProtectionCheckDialog::tr("“%1” is waiting to be sent since %2.").arg(name, shown(r.since));
        r.details << ProtectionCheckDialog::tr(
                         "It changed after the oldest of the %1 changes waiting to be sent was noted.")
                         .arg(pending.count);
        if (r.unreadable)
            r.details << unreadableDetail;
        return r;
    };

    const QString last = lastSessionLine(path, paths);
    if (!last.isEmpty() && isErrorLine(last)) {
        r.answer = Answer::SentWithError;
        r.errorLine = last;
        r.sentence =
            ProtectionCheckDialog::tr("“%1” could not be sent the last time it was tried.").arg(name);
        r.details << ProtectionCheckDialog::tr("The session log says: %1").arg(last);
        if (r.unreadable)
            r.details << unreadableDetail;
        else
            r.details << (waiting ? ProtectionCheckDialog::tr("It is queued again (number %1 of %2 waiting).")
                                        .arg(position)
                                        .arg(total)
                                  : ProtectionCheckDialog::tr("It is sent again when it changes next."));
        return r;
    }
    if (waiting) {
        r.answer = Answer::Waiting;
        r.sentence =
            ProtectionCheckDialog::tr("“%1” is waiting to be sent since %2.").arg(name, shown(r.since));
        r.details << ProtectionCheckDialog::tr("Number %1 of %2 waiting.").arg(position).arg(total);
        if (r.unreadable)
            r.details << unreadableDetail;
        return r;
    }

    // On the appliance: the index's row for it.
    const QString indexed = machine + (path.startsWith(u'/') ? path : u'/' + path);
    const QString master = IndexSearch::masterPath(userSupport(paths) + u'/' + account, account);
    const IndexSearch::Page page = IndexSearch::search(master, indexed, 50);
    for (const IndexSearch::Hit& hit : page.hits) {
        if (hit.name != indexed)
            continue;
        QDateTime since = QDateTime::fromString(hit.lmd, QStringLiteral("yyyy-MM-dd HH:mm:ss +0000"));
        since.setTimeZone(QTimeZone::utc());
        const bool newer = !hit.folder && here.lastModified() > since.addSecs(1);
        // Changed here since it was sent, and that change is among the ones waiting.
        if (newer && amongPending(pending, here))
            return waitingByCount();
        r.answer = Answer::OnAppliance;
        r.since = since;
        r.sentence =
            ProtectionCheckDialog::tr("“%1” is on the appliance since %2.").arg(name, shown(r.since));
        if (!hit.folder) {
            const bool sameSize = hit.size.toLongLong() == here.size();
            // A change the daemon has not told of: made while it was not running (or a moment ago).
            r.unsentChange = newer;
            if (newer)
                r.details << ProtectionCheckDialog::tr(
                    "It changed here since, and the backup has not noted that change: it is sent when it "
                    "changes next, or now with Back Up Now.");
            else if (sameSize)
                r.details << ProtectionCheckDialog::tr("Same size as here (%1 bytes).").arg(here.size());
            else
                r.details << ProtectionCheckDialog::tr("The appliance's copy has %1 bytes, this one %2.")
                                 .arg(hit.size)
                                 .arg(here.size());
        }
        r.details << ProtectionCheckDialog::tr("“Versions…” in Restore lists its copies in the snapshots.");
        return r;
    }
    // Not listed where the person can read it, but changed while changes wait (in the daemon's lists,
    // in the backup under way, or owed by one that failed).
    if (amongPending(pending, here))
        return waitingByCount();
    r.answer = Answer::NeverSeen;
    r.sentence = ProtectionCheckDialog::tr("“%1” has never been seen by the backup.").arg(name);
    if (r.unreadable)
        r.details << unreadableDetail;
    else
        r.details << ProtectionCheckDialog::tr(
            "It is not on the appliance, not waiting and not excluded: it was most likely "
            "made while Zorvik Hollin was not running, and is sent when it changes next.");
    if (page.status != IndexSearch::Status::Ok)
        r.details << ProtectionCheckDialog::tr("The local index could not be read (%1).")
                         .arg(page.error.isEmpty() ? master : page.error);
    return r;
}

bool ProtectionCheck::stopExcluding(const Result& result, const FilePathsController& paths,
                                    DistributedNotificationCenter* center) {
    if (!result.canStopExcluding)
        return false;
    const bool pattern = result.exclusion.kind == ExclusionRules::Kind::NamePattern;
    const QString file =
        paths.pathForApplicationFile(pattern ? AppPath::ExcludePattern : AppPath::InitialExcludeList);
    QStringList entries = PropertyList::readStringArray(file);
    const qsizetype before = entries.size();
    entries.removeIf([&](const QString& e) { return (pattern ? e.trimmed() : e) == result.exclusion.rule; });
    // The person's exclusions are theirs alone, whoever rewrites them (as the editor writes them).
    if (entries.size() == before ||
        !PropertyList::writeStringArray(file, entries, PropertyList::OwnerOnlyMode))
        return false;
    // As the exclusion editor tells it: the daemon reloads both and queues the folders that left the list.
    if (center)
        center->postNotification(Protocol::Exclude, {{Protocol::KeyType, QString(Protocol::ExcludeTypeUser)}},
                                 Protocol::PostDeliverImmediatelyToAllSessions);
    return true;
}

ProtectionCheckDialog::ProtectionCheckDialog(const QString& path, const FilePathsController& paths,
                                             const QString& account, const QString& machine,
                                             DistributedNotificationCenter* center, QWidget* parent)
    : QDialog(parent), mPath(path), mPaths(paths), mAccount(account), mMachine(machine), mCenter(center) {
    setObjectName(QStringLiteral("protectionCheck"));
    setWindowTitle(tr("Is “%1” backed up?").arg(nameOf(path)));
    auto* layout = new QVBoxLayout(this);
    auto* where = new QLabel(path, this);
    where->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(where);
    mSentence = new QLabel(this);
    mSentence->setObjectName(QStringLiteral("checkSentence"));
    mSentence->setWordWrap(true);
    QFont bold = mSentence->font();
    bold.setBold(true);
    mSentence->setFont(bold);
    layout->addWidget(mSentence);
    mDetails = new QLabel(this);
    mDetails->setObjectName(QStringLiteral("checkDetails"));
    mDetails->setWordWrap(true);
    mDetails->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(mDetails);
    layout->addStretch(1);
    auto* buttons = new QDialogButtonBox(this);
    mStop = buttons->addButton(tr("Stop Excluding It"), QDialogButtonBox::ActionRole);
    mStop->setObjectName(QStringLiteral("stopExcluding"));
    mBackUpNow = buttons->addButton(tr("Back Up Now"), QDialogButtonBox::ActionRole);
    mBackUpNow->setObjectName(QStringLiteral("backUpNow"));
    buttons->addButton(QDialogButtonBox::Close);
    layout->addWidget(buttons);
    connect(mBackUpNow, &QPushButton::clicked, this, [this] {
        // The path names one of the person's files: addressed to root's processes (the daemon) and the
        // person's own, never broadcast for every local user to hear.
        mHandedOver = mCenter && mCenter->postNotificationToUser(
                                     ::geteuid(), Protocol::BackupNow, {{Protocol::KeyPath, mPath}},
                                     Protocol::PostDeliverImmediatelyToAllSessions);
        refresh();
        if (!mHandedOver)
            mDetails->setText(mDetails->text() + u'\n' + tr("Zorvik Hollin's backup could not be reached."));
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(mStop, &QPushButton::clicked, this, [this] {
        ProtectionCheck::stopExcluding(mResult, mPaths, mCenter);
        refresh();
    });
    resize(560, 220);
    refresh();
}

void ProtectionCheckDialog::refresh() {
    mResult = ProtectionCheck::check(mPath, mPaths, mAccount, mMachine);
    mSentence->setText(mResult.sentence);
    mDetails->setText(mResult.details.join(u'\n'));
    mStop->setVisible(mResult.canStopExcluding);
    // "Back Up Now" only where it can work: the daemon sends with the person's rights.
    const bool unsent = mResult.answer == ProtectionCheck::Answer::NeverSeen || mResult.unsentChange;
    mBackUpNow->setVisible(mCenter && unsent && !mResult.unreadable && !mHandedOver);
    if (mHandedOver && unsent)
        mDetails->setText(tr("Handed to the backup: it is sent with the next run."));
    if (mSnapshots >= 0)
        mDetails->setText(mDetails->text() + u'\n' +
                          (mSnapshots == 0   ? tr("It is in no snapshot yet.")
                           : mSnapshots == 1 ? tr("It is in 1 snapshot.")
                                             : tr("It is in %1 snapshots.").arg(mSnapshots)));
}

void ProtectionCheckDialog::setSnapshotCount(int snapshots) {
    mSnapshots = snapshots;
    refresh();
}

QString ProtectionCheckDialog::sentence() const {
    return mSentence->text();
}

QString ProtectionCheckDialog::details() const {
    return mDetails->text();
}
