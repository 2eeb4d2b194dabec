#include "RSyncBackupManager.h"
#include "BackupRunSupport.h"

TEST(BackupStartUp, SetsOfARunCutShortAreRequeuedBeforeTheFolderIsCleared) {
    DaemonTestServices svc;
    FilePathsController paths(FilePathsController::Table::Daemon, svc.root.profile());
    paths.setM_ConsoleUserName(svc.user.name);
    const QString syncUp = paths.pathForApplicationFile(DaemonPath::SyncUpFolder);
    const QString lists = paths.pathForApplicationFile(DaemonPath::BackupListsFolder);
    FileTools::makePath(syncUp);
    FileTools::makePath(lists);
    FileTools::writeAtomically(syncUp + "/File_0", "/h/a\n/h/b", 0644);
    FileTools::writeAtomically(syncUp + "/File_1", "/h/c", 0644);
    FileTools::writeAtomically(syncUp + "/SourceA", "/h/b", 0644);
    FileTools::writeAtomically(lists + "/remainingFiles", "/h/old\n/h/a", 0644);

    RSyncBackupManager manager(svc.services(BackupRunSupport::shortTimings()), nullptr);
    manager.initializeApplicationSupportPaths(svc.user.name, QStringLiteral("alice"));

    QStringList lines = readTrace(lists + "/remainingFiles").split('\n');
    lines.sort();
    EXPECT_EQ(lines, (QStringList{"/h/a", "/h/b", "/h/c", "/h/old"}));
    EXPECT_TRUE(QDir(syncUp).exists());
    EXPECT_TRUE(QDir(syncUp).isEmpty());
    EXPECT_TRUE(svc.trace().contains("AddTheCurrentBackupSetIntoArray called"));
    // A stop while nothing runs changes nothing.
    manager.StopOnGoingBackup();
    EXPECT_FALSE(manager.mIsRunning());
    EXPECT_EQ(BackupRunSupport::readLines(lists + "/remainingFiles").size(), 4);
    EXPECT_TRUE(svc.trace().contains("StopOnGoingBackup called."));
}
