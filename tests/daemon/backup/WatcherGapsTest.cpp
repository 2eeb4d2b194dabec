// Changes the watcher cannot pass on as they came still reach a backup list.
#include "BackupRunSupport.h"
#include "BackupfileController.h"
#include "ExcludeManager.h"
#include "FSEventWatcher.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using F = FileSystemEventStream;

TEST(WatcherGaps, LostEventsLineBreaksAndInPlaceEditsAllReachAList) {
    DaemonTestServices env;
    const QString lists = FilePathsController(FilePathsController::Table::Daemon, env.root.profile())
                              .pathForApplicationFile(DaemonPath::BackupListsFolder);
    const QString home = env.root.profile().homeOf(env.user.name);
    QDir().mkpath(lists);
    QDir().mkpath(home + "/Music");
    QDir().mkpath(home + "/Docs");
    for (const char* name : {"/Docs/edited.txt", "/Docs/two\nlines.txt", "/scratch.tmp"}) {
        QFile f(home + name);
        f.open(QIODevice::WriteOnly);
    }
    BackupfileController collector(env.services());
    ExcludeManager rules(env.services(), &collector);
    FSEventWatcher watcher(env.services(), &rules, &collector, nullptr);
    watcher.setWithDetails({{QStringLiteral("ConsoleUser"), env.user.name}});
    const auto ev = [](const QString& path, quint32 flags) {
        return F::Event{path, flags, QFile::encodeName(path)};
    };
    watcher.handleFsData({
        ev("/", F::MustScanSubDirs | F::KernelDropped), // an overflow names the whole disk, itself excluded
        ev(home + "/Docs/two\nlines.txt", F::ItemCreated | F::ItemIsFile),
        ev(home + "/Docs/edited.txt", F::ItemModified | F::ItemIsFile),
        ev(home + "/Docs/edited then gone.txt", F::ItemModified | F::ItemRemoved | F::ItemIsFile),
    });
    collector.timerFireMethod();
    QStringList listed;
    for (const QString& name : QDir(lists).entryList(QDir::Files)) {
        QFile f(lists + "/" + name);
        f.open(QIODevice::ReadOnly);
        listed << QString::fromUtf8(f.readAll()).split(u'\n');
    }
    listed.sort();
    // The home entry by entry past the rules (not the ".tmp"), the folder of the name with a line feed,
    // the file written in place.
    EXPECT_EQ(listed, (QStringList{home + "/Docs", home + "/Docs/edited.txt", home + "/Music"}));
    EXPECT_TRUE(env.trace().contains("Changes were lost below /, backing up the home folder"));
}
