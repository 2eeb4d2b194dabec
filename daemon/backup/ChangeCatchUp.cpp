#include "ChangeCatchUp.h"

#include "FileTools.h"

#include <QDataStream>
#include <QFile>
#include <QIODevice>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {

qint64 msOf(const timespec& t) {
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// The newest of a file's modification and status-change times.
qint64 changedMs(const struct stat& st) {
    return std::max(msOf(st.st_mtim), msOf(st.st_ctim));
}

constexpr quint32 CatalogueMagic = 0x5a48434b; // "ZHCK"
constexpr quint32 CatalogueVersion = 1;

} // namespace

quint64 ChangeCatchUp::pathHash(const QByteArray& native) {
    // FNV-1a, 64 bits.
    quint64 hash = 14695981039346656037ull;
    for (const char c : native) {
        hash ^= quint8(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

ChangeCatchUp::Result ChangeCatchUp::walk(const Walk& walk, Catalogue* met) {
    Result result;
    Catalogue own;
    if (!met)
        met = &own; // what was met is needed all the same: a folder is walked once, whatever mounts show it

    struct Pending {
        QByteArray path;
        bool queued; // within a folder already queued whole: only catalogued
    };
    for (const QString& root : walk.roots) {
        const QByteArray rootNative = QFile::encodeName(root);
        struct stat top {};
        if (::stat(rootNative.constData(), &top) != 0 || !S_ISDIR(top.st_mode) ||
            met->contains({quint64(top.st_dev), quint64(top.st_ino)}))
            continue;
        met->insert({quint64(top.st_dev), quint64(top.st_ino)}, pathHash(rootNative));
        std::vector<Pending> stack{{rootNative, false}};
        while (!stack.empty()) {
            if (walk.stop && walk.stop->load()) {
                result.complete = false;
                return result;
            }
            const Pending folder = std::move(stack.back());
            stack.pop_back();
            DIR* dir = ::opendir(folder.path.constData());
            if (!dir)
                continue; // gone, or not the person's to read
            ++result.folders;
            const int fd = ::dirfd(dir);
            while (const dirent* entry = ::readdir(dir)) {
                const char* name = entry->d_name;
                if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
                    continue;
                struct stat st {};
                if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                const QByteArray native = folder.path + '/' + QByteArray(name);
                const QString path = QFile::decodeName(native);
                if (S_ISDIR(st.st_mode)) {
                    const QPair<quint64, quint64> id(st.st_dev, st.st_ino);
                    if (met->contains(id))
                        continue; // met before through another name (a bind mount): once is enough
                    met->insert(id, pathHash(native));
                    if (walk.excluded && walk.excluded(path))
                        continue;
                    bool queued = folder.queued;
                    if (!queued && (walk.named ? walk.named(name) : changedMs(st) >= walk.sinceMs)) {
                        const auto known =
                            walk.known ? walk.known->constFind(id) : Catalogue::const_iterator();
                        const bool sameFolder = !walk.named && walk.known && known != walk.known->cend() &&
                                                known.value() == pathHash(native);
                        if (!sameFolder) {
                            // New here (made, moved in or renamed), or named: what it holds comes with it.
                            walk.queue(path, native);
                            ++result.queued;
                            queued = true;
                        }
                    }
                    stack.push_back({native, queued});
                    continue;
                }
                ++result.files;
                if (walk.linked && S_ISREG(st.st_mode) && st.st_nlink > 1 &&
                    !(walk.excluded && walk.excluded(path)))
                    walk.linked(st.st_dev, st.st_ino, st.st_nlink, native);
                if (folder.queued || !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)))
                    continue;
                if (!(walk.named ? walk.named(name) : changedMs(st) >= walk.sinceMs) ||
                    (walk.excluded && walk.excluded(path)))
                    continue;
                walk.queue(path, native);
                ++result.queued;
            }
            ::closedir(dir);
        }
    }
    return result;
}

ChangeCatchUp::Catalogue ChangeCatchUp::load(const QString& path) {
    Catalogue catalogue;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return catalogue;
    QDataStream in(&file);
    quint32 magic = 0, version = 0;
    quint64 count = 0;
    in >> magic >> version >> count;
    // A file that is not what was written reads as no catalogue: every changed folder is then new.
    if (magic != CatalogueMagic || version != CatalogueVersion || count > quint64(file.size() / 24 + 1))
        return catalogue;
    catalogue.reserve(qsizetype(count));
    for (quint64 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        quint64 dev = 0, ino = 0, hash = 0;
        in >> dev >> ino >> hash;
        catalogue.insert({dev, ino}, hash);
    }
    if (in.status() != QDataStream::Ok)
        catalogue.clear();
    return catalogue;
}

bool ChangeCatchUp::save(const QString& path, const Catalogue& catalogue, QString* error) {
    QByteArray bytes;
    {
        QDataStream out(&bytes, QIODevice::WriteOnly);
        out << CatalogueMagic << CatalogueVersion << quint64(catalogue.size());
        for (auto it = catalogue.cbegin(); it != catalogue.cend(); ++it)
            out << it.key().first << it.key().second << it.value();
    }
    return FileTools::writeAtomically(path, bytes, 0600, error);
}
