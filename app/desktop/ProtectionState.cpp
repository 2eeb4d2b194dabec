#include "ProtectionState.h"

#include "PropertyList.h"
#include "Protocol.h"

#include <QLocale>

namespace {

namespace Key = Protocol::PendingState;

int number(const QVariantMap& values, QLatin1String key) {
    bool ok = false;
    const int value = values.value(key).toString().toInt(&ok);
    return ok && value > 0 ? value : 0;
}

QDateTime time(const QVariantMap& values, QLatin1String key) {
    QDateTime when = QDateTime::fromString(values.value(key).toString(), Qt::ISODate);
    if (when.isValid())
        when = when.toUTC();
    return when;
}

bool flag(const QVariantMap& values, QLatin1String key) {
    return values.value(key).toString() == Protocol::FlagOn;
}

QString text(const QVariantMap& values, QLatin1String key) {
    return values.value(key).toString();
}

} // namespace

ProtectionState ProtectionState::fromMap(const QVariantMap& values) {
    ProtectionState s;
    s.present = !values.isEmpty();
    s.collected = number(values, Key::Collected);
    s.listed = number(values, Key::Listed);
    s.sending = number(values, Key::Sending);
    s.owed = number(values, Key::Owed);
    // The daemon writes the sum; a file without it still says what it holds.
    s.count = values.contains(Key::Count) ? number(values, Key::Count)
                                          : s.collected + s.listed + s.sending + s.owed;
    s.oldest = time(values, Key::Oldest);
    s.newest = time(values, Key::Newest);
    s.paused = flag(values, Key::Paused);
    s.sleepDelayed = flag(values, Key::SleepDelayed);
    s.held = number(values, Key::Held);
    s.heldChanged = number(values, Key::HeldChanged);
    s.heldSince = time(values, Key::HeldSince);
    s.heldFiles = values.value(Key::HeldFiles).toStringList();
    s.watch = text(values, Key::Watch);
    s.watchBackend = text(values, Key::WatchBackend);
    s.watchFolder = text(values, Key::WatchFolder);
    s.watchFolders = number(values, Key::WatchFolders);
    s.watchFileSystems = number(values, Key::WatchFileSystems);
    s.watchLimited = flag(values, Key::WatchLimited);
    s.watchSince = time(values, Key::WatchSince);
    s.watchReason = text(values, Key::WatchReason);
    s.verifyState = text(values, Key::VerifyState);
    s.verifyReason = text(values, Key::VerifyReason);
    s.verifyAttempted = time(values, Key::VerifyAttempted);
    s.verified = time(values, Key::Verified);
    s.verifiedText = text(values, Key::VerifiedText);
    s.verifiedFiles = number(values, Key::VerifiedFiles);
    s.verifiedSkipped = number(values, Key::VerifiedSkipped);
    s.verifiedFailed = number(values, Key::VerifiedFailed);
    s.verifiedFailures = values.value(Key::VerifiedFailures).toStringList();
    s.verifiedSnapshot = text(values, Key::VerifiedSnapshot);
    s.updated = time(values, Key::Updated);
    return s;
}

ProtectionState ProtectionState::read(const QString& path) {
    return fromMap(PropertyList::readDictionary(path));
}

bool ProtectionState::coverageLost() const {
    return watch == Key::WatchRescanning || watch == Key::WatchNone;
}

QString ProtectionState::ago(const QDateTime& when, const QDateTime& now) {
    const qint64 seconds = qMax<qint64>(0, when.secsTo(now));
    const int minutes = int(seconds / 60), hours = int(seconds / 3600), days = int(seconds / 86400);
    if (minutes < 1)
        return tr("less than a minute ago");
    if (hours < 1)
        return minutes == 1 ? tr("1 minute ago") : tr("%n minutes ago", nullptr, minutes);
    if (days < 2)
        return hours == 1 ? tr("1 hour ago") : tr("%n hours ago", nullptr, hours);
    return tr("%n days ago", nullptr, days);
}

QString ProtectionState::pendingText(const QDateTime& now) const {
    if (count == 0)
        return paused ? tr("Paused — all changes are on the Zorvik Hollin device")
                      : tr("All changes are on the Zorvik Hollin device");
    if (held > 0 && heldSince.isValid())
        return held == 1 ? tr("1 change held after many files changed at once")
                         : tr("%n changes held after many files changed at once", nullptr, held);
    if (paused)
        return count == 1 ? tr("Paused — 1 change waiting")
                          : tr("Paused — %n changes waiting", nullptr, count);
    if (!oldest.isValid())
        return count == 1 ? tr("1 change waiting") : tr("%n changes waiting", nullptr, count);
    const QString since = ago(oldest, now);
    return count == 1 ? tr("1 change waiting, from %1").arg(since)
                      : tr("%n changes waiting, the oldest from %1", nullptr, count).arg(since);
}

QString ProtectionState::watchText() const {
    const QLocale locale;
    if (watch == Key::WatchDisk)
        return tr("Watching the whole disk");
    if (watch == Key::WatchUsers) {
        QString line = watchFolders == 1
                           ? tr("Watching the users folder (1 folder)")
                           : tr("Watching the users folder (%1 folders)").arg(locale.toString(watchFolders));
        if (watchLimited)
            line += tr(" — some folders are left unwatched at the system's watch limit");
        return line;
    }
    if (watch == Key::WatchRescanning) {
        const QString at = watchSince.isValid()
                               ? locale.toString(watchSince.toLocalTime(), QLocale::ShortFormat)
                               : tr("an unknown time");
        return tr("Events were lost at %1: rescanning").arg(at);
    }
    if (watch == Key::WatchNone)
        return tr("Not watching: %1").arg(watchReason.isEmpty() ? tr("no reason given") : watchReason);
    return tr("Watch not reported yet");
}

QString ProtectionState::verifyText() const {
    if (verifyState == Key::VerifyRunning)
        return tr("Restore check running…");
    QString line = verifiedText;
    if (verifyState == Key::VerifyNothing || verifyState == Key::VerifyUnavailable) {
        const QString why = verifyReason.isEmpty()
                                ? (verifyState == Key::VerifyNothing ? tr("no file to check yet")
                                                                     : tr("the appliance could not be asked"))
                                : verifyReason;
        const QString attempt =
            verifyAttempted.isValid()
                ? tr("Restore check on %1: %2")
                      .arg(QLocale().toString(verifyAttempted.toLocalTime().date(), QLocale::ShortFormat),
                           why)
                : tr("Restore check: %1").arg(why);
        // The last check that compared files still counts; the attempt that could not is said beside it.
        return line.isEmpty() ? attempt : line + u'\n' + attempt;
    }
    if (!line.isEmpty())
        return line;
    return tr("No restore check yet");
}

ProtectionView ProtectionView::of(const ProtectionState& state, const QDateTime& now) {
    ProtectionView view;
    view.known = state.present;
    if (!state.present)
        return view;
    view.pending = state.pendingText(now);
    view.watch = state.watchText();
    view.verify = state.verifyText();
    view.coverageLost = state.coverageLost();
    view.verifyFailed = state.verifyState == Protocol::PendingState::VerifyFailed;
    view.checkRunning = state.verifyState == Protocol::PendingState::VerifyRunning;
    return view;
}
