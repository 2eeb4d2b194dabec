#include "Workload.h"

#include "Model.h"
#include "Random.h"
#include "UserFileAccess.h"
#include "World.h"

#include <QFile>
#include <QThread>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

const QList<QByteArray> kTopFolders{"Documents", "Pictures", "Projects", "Downloads", "Music"};

QByteArray parentOf(const QByteArray& path) {
    return path.left(path.lastIndexOf('/'));
}

QByteArray nameOf(const QByteArray& path) {
    return path.mid(path.lastIndexOf('/') + 1);
}

bool isFolder(const QByteArray& path) {
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const QByteArray& path) {
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0;
}

QList<QByteArray> entriesOf(const QByteArray& folder) {
    QList<QByteArray> names;
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return names;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// A short name of the step's own, so that names of different steps do not meet.
QByteArray tag(Random& r) {
    return QByteArray::number(r.next() % 0xfffff, 36);
}

} // namespace

Workload::Workload(World& world, Model& model, bool big) : mWorld(world), mModel(model), mBig(big) {}

QByteArray Workload::home() const {
    return QFile::encodeName(mWorld.home());
}

QByteArray Workload::content(Random& random, qint64 size) const {
    // Text that differs from every other write: a header unique to this write, then filler.
    QByteArray out =
        "zhsim " + QByteArray::number(random.next(), 16) + ' ' + QByteArray::number(Model::now()) + '\n';
    while (out.size() < size)
        out += QByteArray::number(random.next(), 36) + (random.chance(10) ? '\n' : ' ');
    out.truncate(int(std::max<qint64>(size, 0)));
    return out;
}

bool Workload::write(const QByteArray& path, const QByteArray& data, bool append) {
    bool ok = false;
    {
        UserFileAccess person(mWorld.person().name);
        const int fd =
            ::open(path.constData(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC), 0644);
        if (fd >= 0) {
            qint64 done = 0;
            while (done < data.size()) {
                const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
                if (n <= 0)
                    break;
                done += n;
            }
            ok = done == data.size();
            ::close(fd);
        }
    }
    return ok;
}

bool Workload::makeFolder(const QByteArray& path) {
    UserFileAccess person(mWorld.person().name);
    // Every missing folder on the way, as mkdir -p does.
    for (qsizetype slash = path.indexOf('/', 1); slash != -1; slash = path.indexOf('/', slash + 1))
        ::mkdir(path.left(slash).constData(), 0755);
    return ::mkdir(path.constData(), 0755) == 0 || errno == EEXIST;
}

bool Workload::move(const QByteArray& from, const QByteArray& to) {
    {
        UserFileAccess person(mWorld.person().name);
        if (::rename(from.constData(), to.constData()) == 0)
            return true;
        if (errno != EXDEV)
            return false;
    }
    // Another disk: as mv does, a copy and then the original removed.
    if (isFolder(from)) {
        if (!makeFolder(to))
            return false;
        for (const QByteArray& name : entriesOf(from))
            move(from + '/' + name, to + '/' + name);
        return remove(from);
    }
    QFile source(QFile::decodeName(from));
    if (!source.open(QIODevice::ReadOnly))
        return false;
    const QByteArray data = source.readAll();
    return write(to, data) && remove(from);
}

bool Workload::remove(const QByteArray& path) {
    if (isFolder(path))
        for (const QByteArray& name : entriesOf(path))
            remove(path + '/' + name);
    UserFileAccess person(mWorld.person().name);
    return ::unlink(path.constData()) == 0 || ::rmdir(path.constData()) == 0;
}

QList<QByteArray> Workload::folders() const {
    // The home's folders, breadth first, bounded: enough to choose from.
    QList<QByteArray> out{home()};
    for (qsizetype i = 0; i < out.size() && out.size() < 400; ++i)
        for (const QByteArray& name : entriesOf(out.at(i)))
            if (name != ".cache" && name != ".local" && isFolder(out.at(i) + '/' + name))
                out << out.at(i) + '/' + name;
    return out;
}

QByteArray Workload::pickFolder(Random& random) const {
    const QList<QByteArray> all = folders();
    return all.size() > 1 && random.chance(85) ? all.at(qsizetype(1 + random.below(all.size() - 1)))
                                               : all.first();
}

QList<QByteArray> Workload::documents() const {
    QList<QByteArray> out;
    const QByteArray h = home() + '/';
    for (auto it = mModel.files().cbegin(); it != mModel.files().cend(); ++it) {
        struct stat st {};
        if (it.key().startsWith(h) && ::lstat(it.key().constData(), &st) == 0 && S_ISREG(st.st_mode) &&
            !it.key().contains("/.cache/") && !mModel.isSecretPath(it.key()))
            out << it.key();
    }
    return out;
}

QByteArray Workload::pickFile(Random& random) const {
    const QList<QByteArray> candidates = documents();
    return candidates.isEmpty() ? QByteArray() : candidates.at(qsizetype(random.below(candidates.size())));
}

void Workload::observe(const QByteArray& path) {
    mModel.observe(path);
    // Another name of the same file changed with it.
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0 || st.st_nlink < 2)
        return;
    for (auto it = mModel.files().cbegin(); it != mModel.files().cend(); ++it) {
        struct stat other {};
        if (it.key() != path && ::lstat(it.key().constData(), &other) == 0 && other.st_ino == st.st_ino &&
            other.st_dev == st.st_dev)
            mModel.observe(it.key());
    }
}

void Workload::populate(quint64 seed) {
    Random r(seed ^ 0x5eed);
    const QByteArray h = home();
    for (const QByteArray& top : kTopFolders)
        makeFolder(h + '/' + top);
    for (int i = 0; i < 40; ++i) {
        const QByteArray path = h + '/' + kTopFolders.at(i % kTopFolders.size()) + "/start " +
                                QByteArray::number(i) + (i % 3 ? ".txt" : ".odt");
        write(path, content(r, r.between(0, 40000)));
        mModel.observe(path);
    }
    // The per-home cache every desktop has (excluded by default).
    makeFolder(h + "/.cache/thumbnails");
    write(h + "/.cache/thumbnails/start.png", content(r, 3000));
    mModel.observe(h + "/.cache/thumbnails/start.png");
    Random d(r.next());
    dotFiles(d);
}

QString Workload::apply(const Step& step) {
    Random r(step.value);
    ++mOperations;
    switch (step.op) {
    case Op::NewTree:
        return newTree(r);
    case Op::SaveThroughTemp:
        return saveThroughTemp(r);
    case Op::WriteInPlace:
    case Op::Append:
    case Op::Truncate:
        return changeInPlace(r, step.op);
    case Op::MoveIn:
        return moveIn(r);
    case Op::MoveFromExcluded:
        return moveFromExcluded(r);
    case Op::MoveOut:
        return moveOut(r);
    case Op::RenameFile:
        return renameFile(r);
    case Op::RenameFolder:
        return renameFolder(r);
    case Op::Delete:
        return deleteSomething(r);
    case Op::HardLink:
        return hardLink(r);
    case Op::SymlinkIn:
        return symlink(r, false);
    case Op::SymlinkOut:
        return symlink(r, true);
    case Op::MakeUnreadable:
        return readability(r, false);
    case Op::MakeReadable:
        return readability(r, true);
    case Op::LargeFile:
        return largeFile(r);
    case Op::OddNames:
        return oddNames(r);
    case Op::DeepPath:
        return deepPath(r);
    case Op::Burst:
        return burst(r, int(r.between(1000, 4000)));
    case Op::HugeFolder:
        return mBig ? burst(r, 100000) : QStringLiteral("(no huge folder without --big)");
    case Op::DotFiles:
        return dotFiles(r);
    case Op::Encrypt:
        return encrypt(r);
    default:
        --mOperations;
        return QStringLiteral("(not the person's)");
    }
}

QString Workload::storm(quint64 value, int files) {
    Random r(value);
    return burst(r, files);
}

QString Workload::newTree(Random& r) {
    const QByteArray top = home() + '/' + r.pick(kTopFolders) + "/Tree " + tag(r);
    const int files = int(r.between(1, 30));
    for (int i = 0; i < files; ++i) {
        QByteArray folder = top;
        for (int depth = int(r.below(3)); depth > 0; --depth)
            folder += "/level " + QByteArray::number(r.below(3));
        makeFolder(folder);
        static const QList<QByteArray> kinds{".txt", ".odt", ".jpg", ".log", ".bak", ".iso", ".pdf", ".txt~"};
        const QByteArray path = folder + "/file " + QByteArray::number(i) + r.pick(kinds);
        write(path, content(r, r.between(0, 64 * 1024)));
        observe(path);
    }
    return QStringLiteral("%1 files below %2").arg(files).arg(QFile::decodeName(top));
}

QString Workload::saveThroughTemp(Random& r) {
    QByteArray doc = r.chance(75) ? pickFile(r) : QByteArray();
    if (doc.isEmpty())
        doc = pickFolder(r) + "/Document " + tag(r) + ".odt";
    const QByteArray folder = parentOf(doc), name = nameOf(doc);
    const QByteArray data = content(r, r.between(10, 200000));
    // The shapes programs use: office suites, GTK, browsers, editors.
    const int shape = int(r.below(8));
    QByteArray temp;
    switch (shape) {
    case 0:
        temp = folder + '/' + name + ".tmp";
        break;
    case 1:
        temp = folder + "/lu" + tag(r) + ".tmp";
        break;
    case 2:
        temp = folder + "/.goutputstream-" + tag(r).toUpper();
        break;
    case 3:
        temp = folder + '/' + name + ".part";
        break;
    case 4:
        temp = folder + '/' + name + ".crdownload";
        break;
    case 5:
        temp = folder + "/." + name + ".swp";
        break;
    case 6: {
        // An editor that keeps a backup: the document becomes "name~", the new one is written anew.
        if (exists(doc)) {
            move(doc, doc + '~');
            observe(doc + '~');
        }
        write(doc, data);
        observe(doc);
        return QStringLiteral("saved %1 keeping a ~ backup").arg(QFile::decodeName(doc));
    }
    default: {
        // The office suite: a lock file beside the document while it is saved through "lu….tmp".
        const QByteArray lock = folder + "/.~lock." + name + '#';
        write(lock, "person,host,");
        observe(lock);
        temp = folder + "/lu" + tag(r) + ".tmp";
        write(temp, data);
        move(temp, doc);
        observe(doc);
        remove(lock);
        return QStringLiteral("saved %1 through %2 with a lock file")
            .arg(QFile::decodeName(doc), QFile::decodeName(temp));
    }
    }
    write(temp, data);
    observe(temp);
    move(temp, doc);
    observe(doc);
    return QStringLiteral("saved %1 through %2").arg(QFile::decodeName(doc), QFile::decodeName(nameOf(temp)));
}

QString Workload::changeInPlace(Random& r, Op op) {
    const QByteArray file = pickFile(r);
    if (file.isEmpty())
        return QStringLiteral("(no file)");
    bool byName = false;
    if (op == Op::Append) {
        write(file, content(r, r.between(1, 20000)), true);
    } else if (op == Op::Truncate) {
        byName = r.chance(50);
        UserFileAccess person(mWorld.person().name);
        struct stat st {};
        ::lstat(file.constData(), &st);
        if (byName) {
            // By name (truncate(2), Python's os.truncate): the file is never opened.
            (void)::truncate(file.constData(), st.st_size / 2);
        } else {
            // Through a descriptor (coreutils' truncate, a log cut short).
            const int fd = ::open(file.constData(), O_WRONLY | O_CLOEXEC);
            if (fd >= 0) {
                (void)::ftruncate(fd, st.st_size / 2);
                ::close(fd);
            }
        }
    } else {
        write(file, content(r, r.between(0, 100000)));
    }
    observe(file);
    return QStringLiteral("%1%2 %3").arg(opName(op), byName ? QStringLiteral(" by name") : QString(),
                                         QFile::decodeName(file));
}

QString Workload::moveIn(Random& r) {
    const QByteArray outside = QFile::encodeName(mWorld.outside());
    const QByteArray target = pickFolder(r);
    if (r.chance(30)) {
        // A folder unpacked elsewhere and moved in whole.
        const QByteArray folder = outside + "/unpacked " + tag(r);
        const int files = int(r.between(1, 40));
        for (int i = 0; i < files; ++i) {
            makeFolder(folder + "/sub");
            write(folder + (i % 2 ? "/sub/f" : "/f") + QByteArray::number(i),
                  content(r, r.between(0, 30000)));
        }
        const QByteArray to = target + '/' + nameOf(folder);
        move(folder, to);
        mModel.observeTree(to);
        return QStringLiteral("moved a folder of %1 files in to %2").arg(files).arg(QFile::decodeName(to));
    }
    const QByteArray from = outside + "/download " + tag(r) + ".pdf";
    write(from, content(r, r.between(0, 300000)));
    const QByteArray to = target + '/' + nameOf(from);
    move(from, to);
    observe(to);
    return QStringLiteral("moved %1 in").arg(QFile::decodeName(to));
}

QString Workload::moveFromExcluded(Random& r) {
    const QByteArray cache = home() + "/.cache/zhsim";
    makeFolder(cache);
    const QByteArray from = cache + "/finished " + tag(r) + ".txt";
    write(from, content(r, r.between(0, 50000)));
    observe(from);
    const QByteArray to = pickFolder(r) + '/' + nameOf(from);
    move(from, to);
    observe(to);
    return QStringLiteral("moved %1 from the cache").arg(QFile::decodeName(to));
}

QString Workload::moveOut(Random& r) {
    const QByteArray file = pickFile(r);
    if (file.isEmpty())
        return QStringLiteral("(no file)");
    move(file, QFile::encodeName(mWorld.outside()) + "/moved out " + tag(r));
    return QStringLiteral("moved %1 out").arg(QFile::decodeName(file));
}

QString Workload::renameFile(Random& r) {
    const QByteArray file = pickFile(r);
    if (file.isEmpty())
        return QStringLiteral("(no file)");
    const QByteArray to =
        (r.chance(50) ? parentOf(file) : pickFolder(r)) + "/renamed " + tag(r) + ' ' + nameOf(file);
    move(file, to);
    observe(to);
    return QStringLiteral("renamed %1 to %2").arg(QFile::decodeName(file), QFile::decodeName(to));
}

QString Workload::renameFolder(Random& r) {
    const QByteArray folder = pickFolder(r);
    if (folder == home())
        return QStringLiteral("(no folder)");
    const QByteArray to = parentOf(folder) + "/" + nameOf(folder) + " renamed " + tag(r);
    move(folder, to);
    mModel.observeTree(to);
    return QStringLiteral("renamed the folder %1 to %2")
        .arg(QFile::decodeName(folder), QFile::decodeName(nameOf(to)));
}

QString Workload::deleteSomething(Random& r) {
    if (r.chance(20)) {
        const QByteArray folder = pickFolder(r);
        if (folder != home() && !kTopFolders.contains(nameOf(folder))) {
            remove(folder);
            return QStringLiteral("deleted the folder %1").arg(QFile::decodeName(folder));
        }
    }
    const QByteArray file = pickFile(r);
    if (file.isEmpty())
        return QStringLiteral("(no file)");
    remove(file);
    return QStringLiteral("deleted %1").arg(QFile::decodeName(file));
}

QString Workload::hardLink(Random& r) {
    const QByteArray file = pickFile(r);
    if (file.isEmpty())
        return QStringLiteral("(no file)");
    const QByteArray to = pickFolder(r) + "/second name " + tag(r);
    {
        UserFileAccess person(mWorld.person().name);
        (void)::link(file.constData(), to.constData());
    }
    observe(to);
    return QStringLiteral("hard link %1 to %2").arg(QFile::decodeName(to), QFile::decodeName(file));
}

QString Workload::symlink(Random& r, bool out) {
    QByteArray target;
    if (out) {
        target = QFile::encodeName(mWorld.outside()) + "/only outside " + tag(r);
        write(target, "outside the home, never to be backed up " + QByteArray::number(r.next()));
    } else {
        target = pickFile(r);
        if (target.isEmpty())
            return QStringLiteral("(no file)");
    }
    const QByteArray link = pickFolder(r) + "/link " + tag(r);
    {
        UserFileAccess person(mWorld.person().name);
        (void)::symlink(target.constData(), link.constData());
    }
    if (out)
        mModel.addLinkOut(link);
    return QStringLiteral("symbolic link %1 to %2").arg(QFile::decodeName(link), QFile::decodeName(target));
}

QString Workload::readability(Random& r, bool readable) {
    QByteArray file;
    if (readable) {
        // One the person made unreadable before, if any.
        QList<QByteArray> closed;
        for (auto it = mModel.files().cbegin(); it != mModel.files().cend(); ++it) {
            struct stat st {};
            if (::lstat(it.key().constData(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0777) == 0)
                closed << it.key();
        }
        if (closed.isEmpty())
            return QStringLiteral("(nothing unreadable)");
        file = closed.at(qsizetype(r.below(closed.size())));
    } else {
        file = pickFile(r);
        if (file.isEmpty())
            return QStringLiteral("(no file)");
    }
    {
        UserFileAccess person(mWorld.person().name);
        ::chmod(file.constData(), readable ? 0644 : 0);
    }
    return QStringLiteral("%1 %2").arg(
        readable ? QStringLiteral("readable again") : QStringLiteral("unreadable"), QFile::decodeName(file));
}

QString Workload::largeFile(Random& r) {
    const QByteArray path = pickFolder(r) + "/large " + tag(r) + (r.chance(50) ? ".img" : ".mkv");
    const bool sparse = r.chance(50);
    const qint64 size = r.between(8, 48) << 20;
    if (sparse) {
        // Mostly holes: a disk image with a few written regions.
        write(path, content(r, 4096));
        {
            UserFileAccess person(mWorld.person().name);
            (void)::truncate(path.constData(), size * 4);
        }
    } else {
        write(path, content(r, size));
    }
    observe(path);
    // Changed again while it may be on its way.
    QThread::msleep(ulong(r.between(50, 800)));
    {
        UserFileAccess person(mWorld.person().name);
        const int fd = ::open(path.constData(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            const QByteArray patch = content(r, 64 * 1024);
            (void)::pwrite(fd, patch.constData(), size_t(patch.size()), off_t(r.below(quint64(size))));
            ::close(fd);
        }
    }
    observe(path);
    return QStringLiteral("%1 file of %2 MB, changed again: %3")
        .arg(sparse ? QStringLiteral("sparse") : QStringLiteral("large"))
        .arg((sparse ? size * 4 : size) >> 20)
        .arg(QFile::decodeName(path));
}

QString Workload::oddNames(Random& r) {
    static const QList<QByteArray> names{"it's \"quoted\".txt",
                                         "$(touch zh-pwned).txt",
                                         "`id`.txt",
                                         "  blanks at both ends  ",
                                         "-rf.txt",
                                         "--help",
                                         "line\nfeed.txt",
                                         "caf\xe9 latin1.txt",
                                         "📁 Ordner 😀.txt",
                                         "back\\slash.txt",
                                         "semi;colon&amp.txt",
                                         "star*question?.txt",
                                         "carriage\rreturn.txt"};
    const QByteArray folder = pickFolder(r) + "/odd " + tag(r);
    makeFolder(folder);
    const int count = int(r.between(2, 4));
    QStringList made;
    for (int i = 0; i < count; ++i) {
        const QByteArray path = folder + '/' + names.at(qsizetype(r.below(names.size())));
        write(path, content(r, r.between(0, 5000)));
        observe(path);
        made << QString::fromUtf8(nameOf(path).toPercentEncoding(" "));
    }
    return QStringLiteral("odd names in %1: %2")
        .arg(QFile::decodeName(folder), made.join(QStringLiteral(", ")));
}

QString Workload::deepPath(Random& r) {
    QByteArray folder = pickFolder(r) + "/deep " + tag(r);
    const int levels = int(r.between(10, 30));
    for (int i = 0; i < levels; ++i)
        folder += '/' + QByteArray(int(r.between(20, 90)), char('a' + i % 26));
    makeFolder(folder);
    const QByteArray path = folder + "/end.txt";
    write(path, content(r, 100));
    observe(path);
    return QStringLiteral("a file %1 levels deep (%2 bytes of path)").arg(levels).arg(path.size());
}

QString Workload::burst(Random& r, int files) {
    const QByteArray folder = pickFolder(r) + "/burst " + tag(r);
    makeFolder(folder);
    for (int i = 0; i < files; ++i) {
        const QByteArray sub = files > 5000 ? folder : folder + "/part " + QByteArray::number(i / 500);
        if (i % 500 == 0)
            makeFolder(sub);
        const QByteArray path = sub + "/item " + QByteArray::number(i);
        write(path, content(r, r.between(0, 300)));
        observe(path);
    }
    return QStringLiteral("%1 files at once below %2").arg(files).arg(QFile::decodeName(folder));
}

QString Workload::dotFiles(Random& r) {
    const QByteArray h = home();
    makeFolder(h + "/.config/zhsim");
    // The X session's cookie: a secret, rewritten at every session.
    const QByteArray cookie =
        "MIT-MAGIC-COOKIE-1 " + QByteArray::number(r.next(), 16) + QByteArray::number(r.next(), 16);
    write(h + "/.Xauthority", cookie);
    mModel.addSecretFile(h + "/.Xauthority", cookie);
    observe(h + "/.Xauthority");
    write(h + "/.xsession-errors", "session log line " + QByteArray::number(r.next()) + '\n', true);
    observe(h + "/.xsession-errors");
    write(h + "/.config/zhsim/settings.ini", "[General]\nvalue=" + QByteArray::number(r.next()) + '\n');
    observe(h + "/.config/zhsim/settings.ini");
    write(h + "/.bashrc", "# the person's shell settings " + QByteArray::number(r.next()) + '\n');
    observe(h + "/.bashrc");
    return QStringLiteral(
        "hidden files of the desktop rewritten (.Xauthority, .xsession-errors, .config, .bashrc)");
}

QString Workload::encrypt(Random& r) {
    // Mostly an attack on many files at once; sometimes a few files that look encrypted by nature (a
    // password safe saved, a key rewritten), which the tripwire only parks for its window.
    QList<QByteArray> candidates = documents();
    const int count = int(r.chance(60) ? r.between(30, 300) : r.between(1, 6));
    const bool beside = r.chance(50);
    int done = 0;
    while (done < count && !candidates.isEmpty()) {
        const QByteArray file = candidates.takeAt(qsizetype(r.below(candidates.size())));
        QByteArray data;
        const qint64 size = r.between(2048, 40000);
        while (data.size() < size) {
            const quint64 v = r.next();
            data.append(reinterpret_cast<const char*>(&v), sizeof v);
        }
        if (beside) {
            const QByteArray temp = file + ".locked";
            if (!write(temp, data))
                continue;
            if (!move(temp, file)) {
                remove(temp);
                continue;
            }
        } else if (!write(file, data)) {
            continue;
        }
        observe(file);
        mModel.addAttackContent(Model::digest(file));
        ++done;
    }
    return QStringLiteral("%1 files rewritten into random bytes, %2")
        .arg(done)
        .arg(beside ? QStringLiteral("each written beside and renamed over") : QStringLiteral("in place"));
}
