#pragma once

#include <Protocol.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// Every notification the application and the daemon exchange, each payload form once, shared by the
// tests and their peer process.
struct SampleNotification {
    QString name;
    QVariantMap userInfo;
    int options = Protocol::PostDeliverImmediatelyToAllSessions;

    bool operator==(const SampleNotification& other) const {
        return name == other.name && userInfo == other.userInfo;
    }
};

inline QList<SampleNotification> applicationToDaemonSamples() {
    using namespace Protocol;
    return {
        {PauseState, {}},
        {EnableTimeMachine, {}},
        {TimeMachine, {{KeyPath, QStringLiteral("/mnt/tank/Time Machine/ünïcode")}}},
        {TimeMachineBackupCanceled, {}},
        {Exclude, {{KeyType, ExcludeTypeUser}}},
        {Exclude, {{KeyType, ExcludeTypeDownloadFolder}}},
        {Reinitialize, {}},
        {LogOut, {}},
        {LogIn, {}},
    };
}

inline QList<SampleNotification> daemonToApplicationSamples() {
    using namespace Protocol;
    const QVariantMap figures{
        {KeyTotalSize, QStringLiteral("12.5 MB")},
        {KeyUploadingFile, QStringLiteral("/home/anna/Documents/Q3 report – final.odt")},
        {KeyTotalFiles, QStringLiteral("42")}};
    return {
        {ZorvikHollinWatcherStarted, {}},
        {Progress, {{KeyProgress, ProgressBackupStarts}}, PostToAllSessions},
        {Progress, {{KeyProgress, figures}, {KeyBackupRunning, FlagOn}}},
        {Progress, {{KeyProgress, ProgressBackupCompleted}}},
        {Progress,
         {{KeyProgress, ProgressError}, {KeyError, QStringLiteral("rsync: connection unexpectedly closed")}}},
        {Progress, {{KeyProgress, ProgressQuotaExceeded}}},
        {Progress, {{KeyProgress, ProgressBackupCanceled}}},
        {TimeMachineResult, {{KeyResult, FlagOn}}},
        {TimeMachineResult, {{KeyResult, FlagOff}}},
        {IntialBackupFailedDueToNetworkConnection, {}},
    };
}

inline QList<SampleNotification> allSamples() {
    return applicationToDaemonSamples() + daemonToApplicationSamples();
}

inline QStringList sampleNames() {
    QStringList names;
    for (const SampleNotification& s : allSamples())
        if (!names.contains(s.name))
            names << s.name;
    return names;
}

// One line of the peer's report of a received notification.
inline QString encodeSample(const QString& name, const QVariantMap& userInfo) {
    const QJsonObject object{{QStringLiteral("name"), name},
                             {QStringLiteral("userInfo"), QJsonObject::fromVariantMap(userInfo)}};
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

inline SampleNotification decodeSample(const QString& line) {
    const QJsonObject object = QJsonDocument::fromJson(line.toUtf8()).object();
    return {object.value(QStringLiteral("name")).toString(),
            object.value(QStringLiteral("userInfo")).toObject().toVariantMap()};
}
