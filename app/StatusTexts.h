#pragma once

#include <QCoreApplication>
#include <QString>

// Texts the tray's status and the status window both show.
namespace StatusTexts {
inline QString InProgressTitle() {
    return QCoreApplication::translate("StatusTexts", "Backup is in progress!");
}
inline QString PausedTitle() {
    return QCoreApplication::translate("StatusTexts", "Your backup is currently paused.");
}
inline QString PausedMessage() {
    return QCoreApplication::translate("StatusTexts", "Click 'Resume' to backup your data.");
}
// Idle before any backup was seen to complete.
inline QString NothingToBackUp() {
    return QCoreApplication::translate("StatusTexts", "No files / folders for backup!");
}
// Idle after a completed backup: nothing waits, and when the last one completed ("%1").
inline QString UpToDateTitle() {
    return QCoreApplication::translate("StatusTexts", "Up to date");
}
inline QString UpToDateMessage() {
    return QCoreApplication::translate("StatusTexts",
                                       "Nothing is waiting to be backed up.\nLast backup completed: %1");
}
} // namespace StatusTexts
