#pragma once

#include <QString>

// Texts the tray's status and the status window both show.
namespace StatusTexts {
inline const QString InProgressTitle = QStringLiteral("Backup is in progress!");
inline const QString PausedTitle = QStringLiteral("Your backup is currently paused.");
inline const QString PausedMessage = QStringLiteral("Click 'Resume' to backup your data.");
// Idle before any backup was seen to complete.
inline const QString NothingToBackUp = QStringLiteral("No files / folders for backup!");
// Idle after a completed backup: nothing waits, and when the last one completed ("%1").
inline const QString UpToDateTitle = QStringLiteral("Up to date");
inline const QString UpToDateMessage =
    QStringLiteral("Nothing is waiting to be backed up.\nLast backup completed: %1");
} // namespace StatusTexts
