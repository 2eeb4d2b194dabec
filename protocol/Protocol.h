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
// One path of the person's to be sent with the next backup ({KeyPath: absolute path}); the daemon takes
// it only from the person at the screen (or root) and only for a path that person can see.
inline constexpr QLatin1String BackupNow("BackupNow");
inline constexpr QLatin1String LogOut("LogOut");
inline constexpr QLatin1String LogIn("LogIn");

// Distributed notifications, daemon → application.
inline constexpr QLatin1String ZorvikHollinWatcherStarted("ZorvikHollinWatcherStarted");
inline constexpr QLatin1String Progress("Progress");
inline constexpr QLatin1String TimeMachineResult("TimeMachineResult");
inline constexpr QLatin1String
    IntialBackupFailedDueToNetworkConnection("IntialBackupFailedDueToNetworkConnection");

// Protection state, daemon → application: "PendingStateChanged" (bare) after every rewrite of
// "PendingState.plist", "RestoreCheckFailed" (bare) when the restore check found a file whose copy in
// the newest snapshot differs from it; the application reads the file again for both.
inline constexpr QLatin1String PendingStateChanged("PendingStateChanged");
inline constexpr QLatin1String RestoreCheckFailed("RestoreCheckFailed");
// Application → daemon (only the person at the screen, or root, is heard): run the restore check now.
inline constexpr QLatin1String VerifyRestorable("VerifyRestorable");
// Application → daemon (the person served, or root): the person looked at the changes the mass-change
// tripwire holds and lets them go to the backup ("Continue").
inline constexpr QLatin1String ReleaseHeldChanges("ReleaseHeldChanges");

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
// Beside those three in the progress dictionary: the bytes and the files sent so far in the backup
// under way, as decimal counts. Running totals of the whole run, so the newest figures say all the
// earlier ones did (the daemon posts only the newest).
inline constexpr QLatin1String KeySentBytes("SentBytes");
inline constexpr QLatin1String KeySentFiles("SentFiles");

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

// "PendingState.plist" in the user support folder: what is not yet safe on the appliance, what the
// watch covers, and the last restore check. A dictionary of strings (numbers as decimal texts, flags
// "1"/"0", times ISO 8601 UTC "2024-03-05T14:07:09Z" or "" for none) and one array of strings;
// written by the daemon only, atomically, as the person's own file (0600).
inline constexpr QLatin1String PendingStateFile("PendingState.plist");
namespace PendingState {
// What waits to be sent.
inline constexpr QLatin1String Count("count");         // paths waiting, all of the four below
inline constexpr QLatin1String Collected("collected"); // …changed, not yet written to a backup list
inline constexpr QLatin1String Listed("listed");       // …in backup lists waiting for a run
inline constexpr QLatin1String Sending("sending");     // …in the run under way, not yet sent
inline constexpr QLatin1String Owed("owed");           // …of runs that failed or stopped ("remainingFiles")
inline constexpr QLatin1String Oldest("oldest");       // when the oldest waiting change was queued
inline constexpr QLatin1String Newest("newest");       // when the newest waiting change was queued
inline constexpr QLatin1String Paused("paused");       // "1": the person paused local backup
inline constexpr QLatin1String SleepDelayed("sleepDelayed"); // "1": sleep and shutdown wait for the send
// The mass-change tripwire: changes held until the person lets them go (counted in "count" too).
inline constexpr QLatin1String Held("held");               // paths held (or parked while they are judged)
inline constexpr QLatin1String HeldSince("heldSince");     // when it tripped; "" when it has not
inline constexpr QLatin1String HeldChanged("heldChanged"); // rewrites counted in its window when it tripped
inline constexpr QLatin1String HeldFiles("heldFiles");     // array: some of the held paths
// What the watch covers.
inline constexpr QLatin1String Watch("watch");               // one of the Watch… values below
inline constexpr QLatin1String WatchBackend("watchBackend"); // "fanotify", "inotify", "fanotify+inotify", ""
inline constexpr QLatin1String WatchFolder("watchFolder");   // "/" for the disk, else the users folder
inline constexpr QLatin1String WatchFolders("watchFolders"); // folders watched one by one (inotify)
inline constexpr QLatin1String WatchFileSystems("watchFileSystems"); // file systems marked (fanotify)
inline constexpr QLatin1String WatchLimited("watchLimited"); // "1": folders left unwatched (watch limit)
inline constexpr QLatin1String WatchSince("watchSince");     // "rescanning": when events were lost
inline constexpr QLatin1String WatchReason("watchReason");   // "none": why; "users": why not the disk
inline constexpr QLatin1String WatchDisk("disk");
inline constexpr QLatin1String WatchUsers("users");
inline constexpr QLatin1String WatchRescanning("rescanning");
inline constexpr QLatin1String WatchNone("none");
// The restore check.
inline constexpr QLatin1String VerifyState("verifyState"); // one of the Verify… values below, "" never run
inline constexpr QLatin1String VerifyReason("verifyReason");       // "unavailable"/"nothing": why
inline constexpr QLatin1String VerifyAttempted("verifyAttempted"); // when the last check began
inline constexpr QLatin1String Verified("verified");         // when the last check that compared files ended
inline constexpr QLatin1String VerifiedText("verifiedText"); // "Verified restorable on 2024-03-05: 50 files"
inline constexpr QLatin1String VerifiedFiles("verifiedFiles");       // files identical in the snapshot
inline constexpr QLatin1String VerifiedSkipped("verifiedSkipped");   // changed or gone locally since sent
inline constexpr QLatin1String VerifiedFailed("verifiedFailed");     // different or missing in the snapshot
inline constexpr QLatin1String VerifiedFailures("verifiedFailures"); // array: the local paths that failed
inline constexpr QLatin1String VerifiedSnapshot("verifiedSnapshot"); // the snapshot compared against
inline constexpr QLatin1String VerifyRunning("running");
inline constexpr QLatin1String VerifyPassed("passed");
inline constexpr QLatin1String VerifyFailed("failed");
inline constexpr QLatin1String VerifyNothing("nothing");
inline constexpr QLatin1String VerifyUnavailable("unavailable");
inline constexpr QLatin1String Updated("updated"); // when the daemon wrote the file
} // namespace PendingState

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
// The exclusions the application added for restores and has not lifted yet: an array of strings in the
// user support folder, the person's own (0600), written atomically; lifted at the application's start.
inline constexpr QLatin1String RestoreExclusionsFile("RestoreExclusions.plist");

// Path lists on disk: a list being written, and a list already consumed.
inline constexpr QLatin1String ListExtensionProgress("progress");
inline constexpr QLatin1String ListExtensionDelete("delete");

// Content of a marker file where one is written.
inline constexpr QLatin1String MarkerContent("1");

// The appliance's rsync module.
inline constexpr QLatin1String RsyncModule("backup");
inline constexpr QLatin1String SnapshotFolder(".zfs/snapshot");

} // namespace Protocol
