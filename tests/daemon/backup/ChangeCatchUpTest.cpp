#include "ChangeCatchUp.h"

#include "Requirements.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class ChangeCatchUpTest : public ::testing::Test {
  protected:
    QTemporaryDir dir;
    QString home = dir.path() + "/home";
    QString outside = dir.path() + "/elsewhere";
    ChangeCatchUp::Catalogue catalogue;

    static void write(const QString& path, const QByteArray& data = "x") {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Append));
        f.write(data);
    }
    static void move(const QString& from, const QString& to) {
        ASSERT_EQ(::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()), 0);
    }
    // What a walk of the home since sinceMs queues, relative to the home; the catalogue becomes what
    // it met.
    QStringList walk(qint64 sinceMs, bool useCatalogue = true) {
        QStringList queued;
        ChangeCatchUp::Walk w;
        w.roots = {home};
        w.sinceMs = sinceMs;
        const ChangeCatchUp::Catalogue known = catalogue;
        w.known = useCatalogue ? &known : nullptr;
        w.excluded = [this](const QString& path) { return path.startsWith(home + "/.cache"); };
        w.queue = [&](const QString& path, const QByteArray& native) {
            EXPECT_EQ(QFile::encodeName(path), native);
            queued << path.mid(home.size() + 1);
        };
        catalogue.clear();
        const ChangeCatchUp::Result result = ChangeCatchUp::walk(w, &catalogue);
        EXPECT_TRUE(result.complete);
        EXPECT_EQ(result.queued, queued.size());
        queued.sort();
        return queued;
    }
    // A moment after everything written so far, on the file system's clock.
    static qint64 mark() {
        QThread::msleep(30);
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        QThread::msleep(30);
        return now;
    }
};

} // namespace

TEST_F(ChangeCatchUpTest, FindsWhatChangedWhileNoWatchRanAndNothingElse) {
    for (const char* p : {"/Docs/a.txt", "/Docs/b.txt", "/Docs/Deep/c.txt", "/Photos/2024/d.jpg",
                          "/Projects/old/e.txt", "/.cache/f", "/.config/app.conf"})
        write(home + p);
    write(outside + "/Album/old photo.jpg");
    write(outside + "/Loose.txt");
    // With no catalogue yet, every folder is new: each goes whole.
    EXPECT_EQ(walk(0), (QStringList{".config", "Docs", "Photos", "Projects"}));
    const qint64 stopped = mark();

    // While the daemon was down: a save in place, a new file, a changed setting, a file and a
    // folder moved in from elsewhere (its photo keeps its old times), a folder renamed, a folder moved
    // in and then added to, a change in an excluded folder, a hard link, a symbolic link.
    write(home + "/Docs/a.txt", "more");
    write(home + "/Docs/Deep/new.txt");
    write(home + "/.config/app.conf", "changed");
    move(outside + "/Loose.txt", home + "/Loose.txt");
    move(outside + "/Album", home + "/Photos/Album");
    move(home + "/Projects/old", home + "/Projects/renamed");
    write(outside + "/Import/1.jpg");
    move(outside + "/Import", home + "/Import");
    write(home + "/Import/2.jpg");
    write(home + "/.cache/f", "cached");
    ASSERT_EQ(::link(QFile::encodeName(home + "/Docs/b.txt").constData(),
                     QFile::encodeName(home + "/b-link.txt").constData()),
              0);
    ASSERT_TRUE(QFile::link(outside, home + "/to-elsewhere"));
    const QStringList found = walk(stopped);
    EXPECT_EQ(found,
              (QStringList{".config/app.conf", "Docs/Deep/new.txt", "Docs/a.txt", "Docs/b.txt", "Import",
                           "Loose.txt", "Photos/Album", "Projects/renamed", "b-link.txt", "to-elsewhere"}));

    // Right after, nothing changed: nothing to send.
    EXPECT_EQ(walk(mark()), QStringList());
}

TEST_F(ChangeCatchUpTest, WithoutACatalogueAChangedFolderGoesWholeAndACatalogueSurvivesAProcess) {
    write(home + "/Docs/a.txt");
    walk(0);
    const QString saved = dir.path() + "/catalogue";
    ASSERT_TRUE(ChangeCatchUp::save(saved, catalogue));
    EXPECT_EQ(QFileInfo(saved).permissions() & (QFile::ReadGroup | QFile::ReadOther), 0);
    const ChangeCatchUp::Catalogue loaded = ChangeCatchUp::load(saved);
    EXPECT_EQ(loaded, catalogue);
    const qint64 stopped = mark();
    write(home + "/Docs/b.txt");
    // With the catalogue only the new file; without one, the folder whose entries changed.
    catalogue = loaded;
    EXPECT_EQ(walk(stopped), QStringList{"Docs/b.txt"});
    EXPECT_EQ(walk(stopped, false), QStringList{"Docs"});
    // A catalogue that is not what was written reads as none.
    QFile damaged(saved);
    ASSERT_TRUE(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
    damaged.write("ZHCK but not a catalogue");
    damaged.close();
    EXPECT_TRUE(ChangeCatchUp::load(saved).isEmpty());
    EXPECT_TRUE(ChangeCatchUp::load(dir.path() + "/none").isEmpty());
}

TEST_F(ChangeCatchUpTest, OddNamesUnreadableFoldersAndAStopAreHandled) {
    write(home + "/Docs/plain.txt");
    walk(0);
    const qint64 stopped = mark();
    const QByteArray odd = QFile::encodeName(home + "/Docs/") + "caf\xe9 $(x) \"q\"\nline.txt";
    {
        const int fd = ::open(odd.constData(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    QStringList natives;
    ChangeCatchUp::Walk w;
    w.roots = {home};
    w.sinceMs = stopped;
    w.known = &catalogue;
    w.queue = [&](const QString&, const QByteArray& native) {
        natives << QString::fromLatin1(native.toHex());
    };
    ChangeCatchUp::walk(w, nullptr);
    EXPECT_EQ(natives, QStringList{QString::fromLatin1(odd.toHex())}) << "the exact bytes are handed on";

    // A stop asked for ends the walk, said so.
    std::atomic<bool> stop{true};
    w.stop = &stop;
    EXPECT_FALSE(ChangeCatchUp::walk(w, nullptr).complete);
    // A root that is not there is nothing to walk.
    w.stop = nullptr;
    w.roots = {dir.path() + "/nothing here"};
    EXPECT_EQ(ChangeCatchUp::walk(w, nullptr).folders, 0);
}

TEST_F(ChangeCatchUpTest, ANamedWalkFindsWhatAPatternKeptOutWhateverItsTimes) {
    // What a pattern like "*.iso" kept out, long before: files anywhere, a folder of that name whole
    // (not what it holds on its own), nothing in an excluded folder, nothing else.
    for (const char* p : {"/Downloads/debian.iso", "/Downloads/notes.txt", "/Deep/a/b/c/old.ISO.iso",
                          "/Images.iso/inside.txt", "/Images.iso/inner.iso", "/.cache/cached.iso"})
        write(home + p);
    walk(0);                                   // the catalogue knows every folder
    const qint64 later = mark() + 3600 * 1000; // every time lies before: the times do not count
    QStringList queued;
    ChangeCatchUp::Walk w;
    w.roots = {home};
    w.sinceMs = later;
    w.known = &catalogue; // a catalogue does not keep a named folder back
    w.excluded = [this](const QString& path) { return path.startsWith(home + "/.cache"); };
    w.named = [](const char* name) { return ::fnmatch("*.iso", name, 0) == 0; };
    w.queue = [&](const QString& path, const QByteArray&) { queued << path.mid(home.size() + 1); };
    const ChangeCatchUp::Result result = ChangeCatchUp::walk(w, nullptr);
    queued.sort();
    EXPECT_TRUE(result.complete);
    EXPECT_EQ(queued, (QStringList{"Deep/a/b/c/old.ISO.iso", "Downloads/debian.iso", "Images.iso"}));
}
