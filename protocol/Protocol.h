#pragma once

#include <QLatin1String>

// Names, keys and texts the application and the daemon exchange. Both sides and every stored file
// rely on them exactly as written here, odd spellings included.
namespace Protocol {

// Distributed notifications, application → daemon.
inline constexpr QLatin1String PauseState("PauseState");
inline constexpr QLatin1String EnableTimeMachine("EnableTimeMachine");
inline constexpr QLatin1String TimeMachine("TimeMachine");
inline constexpr QLatin1String TimeMachineBackupCanceled("TimeMachineBackupCanceled");
inline constexpr QLatin1String Exclude("Exclude");
inline constexpr QLatin1String Reinitialize("Reinitialize");
inline constexpr QLatin1String LogOut("LogOut");
inline constexpr QLatin1String LogIn("LogIn");

// Distributed notifications, daemon → application.
inline constexpr QLatin1String ZorvikHollinWatcherStarted("ZorvikHollinWatcherStarted");
inline constexpr QLatin1String Progress("Progress");
inline constexpr QLatin1String TimeMachineResult("TimeMachineResult");
inline constexpr QLatin1String
    IntialBackupFailedDueToNetworkConnection("IntialBackupFailedDueToNetworkConnection");

// In-process notification of the daemon.
inline constexpr QLatin1String Initialbackup("Initialbackup");

// Post options: deliver immediately and post to all sessions, or post to all sessions only.
inline constexpr int PostDeliverImmediatelyToAllSessions = 3;
inline constexpr int PostToAllSessions = 2;

// Payload keys.
inline constexpr QLatin1String KeyPath("path");
inline constexpr QLatin1String KeyType("Type");
inline constexpr QLatin1String KeyResult("result");
inline constexpr QLatin1String KeyProgress("progress");
inline constexpr QLatin1String KeyError("Error");
inline constexpr QLatin1String KeyBackupRunning("Backup running");
inline constexpr QLatin1String KeyTotalSize("TotalSize");
inline constexpr QLatin1String KeyUploadingFile("UploadingFile");
inline constexpr QLatin1String KeyTotalFiles("TotalFiles");

// "Type" values of "Exclude".
inline constexpr QLatin1String ExcludeTypeUser("1");
inline constexpr QLatin1String ExcludeTypeDownloadFolder("2");

// "Progress" texts.
inline constexpr QLatin1String ProgressBackupStarts("Backing up files / folders to Zorvik Hollin device");
inline constexpr QLatin1String ProgressBackupCompleted("Backup completed");
inline constexpr QLatin1String ProgressError("Error");
inline constexpr QLatin1String ProgressQuotaExceeded("Quota exceeded");
inline constexpr QLatin1String ProgressBackupCanceled("Backup canceled");

// Flags in files and payloads.
inline constexpr QLatin1String FlagOn("1");
inline constexpr QLatin1String FlagOff("0");

// Keys of "userDetails.plist" (and of "RememberDetails.plist", which has the same form).
inline constexpr QLatin1String UserName("username");
inline constexpr QLatin1String Password("password");
inline constexpr QLatin1String Ip("ip");
inline constexpr QLatin1String Login("login");
inline constexpr QLatin1String RememberMeState("remembermeState");
inline constexpr QLatin1String PauseStateKey("PauseState");
inline constexpr QLatin1String LocalBackup("localBackup");
inline constexpr QLatin1String TimeMachineBackup("timeMachineBackup");
inline constexpr QLatin1String EnableTimeMachineKey("EnableTimeMachine");
inline constexpr QLatin1String TMSharePath("TMSharePath");
inline constexpr QLatin1String BackupDestinationPath("backupDestinationPath");
inline constexpr QLatin1String Port("port");

// Other shared property lists.
inline constexpr QLatin1String DefaultRsync("DefaultRsync"); // "RsyncVersion.plist"
inline constexpr QLatin1String LastUser("LastUser");         // "LastUser.plist"

// Shared files and markers, by name inside their support folder.
inline constexpr QLatin1String UserDetailsFile("userDetails.plist");
inline constexpr QLatin1String InitialBackupListFile("InitialBackupList.txt");
inline constexpr QLatin1String InitialExcludeListFile("InitialExcludeList.txt");
inline constexpr QLatin1String ExcludePatternFile("ExcludePattern.txt");
inline constexpr QLatin1String RsyncVersionFile("RsyncVersion.plist");
inline constexpr QLatin1String TimeMachineExcludeFile(".TimeMachineDestinationFolderExcludeForWatcher.plist");
inline constexpr QLatin1String InstalMarker("instal.txt");
inline constexpr QLatin1String InitialSetReadyMarker("initalSetReady.txt");
inline constexpr QLatin1String InitialBackupStartedMarker("initalBackupStarted.txt");
inline constexpr QLatin1String SessionLogsFolder("SessionLogs");
inline constexpr QLatin1String BackupListsFolder("Backup");
inline constexpr QLatin1String SyncUpFolder("Operation/syncUp");
inline constexpr QLatin1String DaemonTraceFile("LogsFolder/DaemonTrace.txt");
inline constexpr QLatin1String KeepAliveFile("KeepAlive");
inline constexpr QLatin1String ApplicationPasswordFile(".etc");

// Files placed beside the indexed paths of FilePathsController.
inline constexpr QLatin1String InteractiveTraceFile("InteractiveTrace.txt");
inline constexpr QLatin1String LastUserFile("LastUser.plist");
inline constexpr QLatin1String RememberDetailsFile("RememberDetails.plist");
inline constexpr QLatin1String RezodeIPFile("rezodeIP");
inline constexpr QLatin1String RsyncVersionScratchFile("rsyncVersion");

// Path lists on disk: a list being written, and a list already consumed.
inline constexpr QLatin1String ListExtensionProgress("progress");
inline constexpr QLatin1String ListExtensionDelete("delete");

// Content of a marker file where one is written.
inline constexpr QLatin1String MarkerContent("1");

// The appliance's rsync module.
inline constexpr QLatin1String RsyncModule("backup");
inline constexpr QLatin1String SnapshotFolder(".zfs/snapshot");

} // namespace Protocol
