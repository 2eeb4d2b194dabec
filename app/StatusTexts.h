#pragma once

#include <QString>

// Texts the tray's status and the status window both show.
namespace StatusTexts {
inline const QString InProgressTitle = QStringLiteral("Backup is in progress!");
inline const QString PausedTitle = QStringLiteral("Your backup is currently paused.");
inline const QString PausedMessage = QStringLiteral("Click 'Resume' to backup your data.");
} // namespace StatusTexts
