#include "BackupHealth.h"

#include "LocaleFormat.h"

#include "DesktopNotifier.h"
#include "Protocol.h"
#include "UserDefaults.h"

#include <QLocale>

BackupHealth::BackupHealth(UserDefaults* defaults, DesktopNotifier* notifier, Clock clock,
                           DesktopTimings timings, Trace trace, QObject* parent)
    : QObject(parent), mDefaults(defaults), mNotifier(notifier), mClock(std::move(clock)), mTimings(timings),
      mTrace(std::move(trace)) {
    mAgeTimer.setInterval(mTimings.ageCheckInterval);
    connect(&mAgeTimer, &QTimer::timeout, this, &BackupHealth::checkAge);
    mFailureTimer.setSingleShot(true);
    mFailureTimer.setInterval(mTimings.failureGrace);
    connect(&mFailureTimer, &QTimer::timeout, this, &BackupHealth::failureGraceOver);
}

QString BackupHealth::value(const QString& key) const {
    return mDefaults ? mDefaults->stringForKey(key) : mMemory.value(key).toString();
}

void BackupHealth::setValue(const QString& key, const QString& value) {
    if (!mDefaults)
        mMemory.insert(key, value);
    else if (!mDefaults->setStringForKey(key, value) && mTrace)
        mTrace(QStringLiteral("cannot write the preference %1").arg(key));
}

QDateTime BackupHealth::now() const {
    return mClock ? mClock() : QDateTime::currentDateTimeUtc();
}

int BackupHealth::warningDays() const {
    bool ok = false;
    const int days = value(WarningDaysKey).toInt(&ok);
    return ok && days > 0 ? days : DefaultWarningDays;
}

void BackupHealth::setWarningDays(int days) {
    setValue(WarningDaysKey, QString::number(days > 0 ? days : DefaultWarningDays));
    checkAge();
}

QDateTime BackupHealth::lastCompleted() const {
    return QDateTime::fromString(value(LastCompletedKey), Qt::ISODate);
}

void BackupHealth::notify(const QString& summary, const QString& body) {
    if (mTrace)
        mTrace(QStringLiteral("Desktop notification: %1").arg(summary));
    if (mNotifier)
        mNotifier->notify(summary, body);
}

void BackupHealth::setWatching(bool watching) {
    mWatching = watching;
    if (watching) {
        // With no completed backup yet, the age counts from the first time a backup was expected.
        if (!QDateTime::fromString(value(WatchedSinceKey), Qt::ISODate).isValid())
            setValue(WatchedSinceKey, now().toString(Qt::ISODate));
        if (!mAgeTimer.isActive())
            mAgeTimer.start();
    } else {
        mAgeTimer.stop();
    }
    checkAge();
}

void BackupHealth::progress(const QVariantMap& info) {
    const QVariant progress = info.value(Protocol::KeyProgress);
    if (progress.typeId() == QMetaType::QVariantMap)
        return;
    const QString text = progress.toString();
    if (text == Protocol::ProgressBackupCompleted) {
        setValue(LastCompletedKey, now().toString(Qt::ISODate));
        mStorageFull = false;
        mFailed = false;
        mFailureTimer.stop();
        checkAge();
    } else if (text == Protocol::ProgressQuotaExceeded) {
        if (mStorageFull)
            return;
        mStorageFull = true;
        notify(tr("Storage is full"),
               tr("You have used all of your storage space on the Zorvik Hollin device, so "
                  "new files are not backed up. Contact your admin."));
    } else if (text == Protocol::ProgressError) {
        if (!mFailed && !mFailureTimer.isActive())
            mFailureTimer.start();
    }
}

void BackupHealth::failureGraceOver() {
    if (mFailed)
        return;
    mFailed = true;
    notify(tr("Backup failed"),
           tr("Your files could not be backed up, even after several attempts. Open Zorvik "
              "Hollin and choose View Log for the reason."));
}

void BackupHealth::initialBackupGaveUp() {
    mFailureTimer.stop();
    failureGraceOver();
}

void BackupHealth::restoreFinished(const QStringList& failed, const QString& destination) {
    if (failed.isEmpty())
        notify(tr("Restore finished"), tr("Your files are restored in %1.").arg(destination));
    else
        notify(tr("Restore failed"), tr("Could not restore: %1").arg(failed.join(tr(", "))));
}

void BackupHealth::restoreCancelled(const QStringList& notRestored, const QStringList& failed) {
    QString body = tr("Not restored: %1.").arg(notRestored.join(tr(", ")));
    if (!failed.isEmpty())
        body += tr(" Could not restore: %1").arg(failed.join(tr(", ")));
    notify(tr("Restore cancelled"), body);
}

void BackupHealth::setWarning(const QString& warning) {
    if (warning == mWarning)
        return;
    const bool entering = mWarning.isEmpty();
    mWarning = warning;
    if (entering) {
        const QDateTime last = lastCompleted();
        notify(mWarning, last.isValid()
                             ? tr("The last backup completed on %1.").arg(LocaleFormat::dateTime(last))
                             : tr("No backup has completed yet."));
    }
    emit warningChanged(mWarning);
}

void BackupHealth::checkAge() {
    QDateTime since = lastCompleted();
    if (!since.isValid())
        since = QDateTime::fromString(value(WatchedSinceKey), Qt::ISODate);
    if (!mWatching || !since.isValid()) {
        setWarning(QString());
        return;
    }
    const qint64 days = since.secsTo(now()) / 86400;
    if (days < warningDays())
        setWarning(QString());
    else
        setWarning(days == 1 ? tr("No backup for 1 day") : tr("No backup for %n days", nullptr, int(days)));
}
