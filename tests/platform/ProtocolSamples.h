#pragma once

#include <Protocol.h>

#include <QList>
#include <QString>
#include <QVariantMap>

// Each payload form the application and the daemon exchange, once; shared by the tests and their
// peer process.
struct SampleNotification {
    QString name;
    QVariantMap userInfo;
    bool operator==(const SampleNotification& other) const = default;
};

inline QList<SampleNotification> samples() {
    using namespace Protocol;
    return {
        {LogOut, {}},
        {TimeMachine, {{KeyPath, QStringLiteral("/mnt/tank/Time Machine/ünïcode")}}},
        {Exclude, {{KeyType, ExcludeTypeDownloadFolder}}},
        {Progress,
         {{KeyProgress, QVariantMap{{KeyUploadingFile, QStringLiteral("/home/anna/Q3 – \"final\" $(x).odt")},
                                    {KeyTotalFiles, QStringLiteral("42")}}},
          {KeyBackupRunning, FlagOn}}},
        {Progress, {{KeyProgress, ProgressError}, {KeyError, QStringLiteral("rsync: connection closed")}}},
    };
}
