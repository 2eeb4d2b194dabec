#include "RSyncBackupManager.h"
#include "BackupRunSupport.h"

#include <sys/stat.h>

namespace {

// A manager's start over what an earlier run left in its folders.
class BackupStartUp : public ::testing::Test {
  protected:
    void SetUp() override {
        FileTools::makePath(syncUp);
        FileTools::makePath(lists);
    }
    void start() { manager.initializeApplicationSupportPaths(svc.user.name, QStringLiteral("alice")); }

    DaemonTestServices svc;
    const QString syncUp = svc.path(DaemonPath::SyncUpFolder);
    const QString lists = svc.path(DaemonPath::BackupListsFolder);
    RSyncBackupManager manager{svc.services(BackupRunSupport::shortTimings()), nullptr};
};

} // namespace

TEST_F(BackupStartUp, SetsOfARunCutShortAreRequeuedBeforeTheFolderIsCleared) {
    FileTools::writeAtomically(syncUp + "/File_0", "/h/a\n/h/b", 0644);
    FileTools::writeAtomically(syncUp + "/File_1", "/h/c", 0644);
    FileTools::writeAtomically(syncUp + "/SourceA", "/h/b", 0644);
    FileTools::writeAtomically(lists + "/remainingFiles", "/h/old\n/h/a", 0644);
    start();

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

TEST_F(BackupStartUp, AHugeFileInTheWorkingFolderIsNotReadWholeAndTheFolderIsRootsAlone) {
    // A 200 GB sparse "SourceA" (as its owner could make it when it was the person's) and a set.
    QFile huge(syncUp + "/SourceA");
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly) && huge.resize(200ll << 30));
    huge.close();
    FileTools::writeAtomically(syncUp + "/File_0", "/h/a", 0600);
    start();

    EXPECT_EQ(BackupRunSupport::readLines(lists + "/remainingFiles"), QStringList{"/h/a"});
    EXPECT_TRUE(svc.trace().contains("Backup set not re-queued:")) << svc.trace().toStdString();
    // The working folder is root's alone now: nobody else may read a set, or plant one.
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(syncUp).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(st.st_uid, ::geteuid());
}
