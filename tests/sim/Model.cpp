#include "Model.h"

#include "ExclusionRules.h"
#include "PropertyList.h"
#include "World.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Model::Model(World& world) : mWorld(world) {}

qint64 Model::now() {
    return QDateTime::currentMSecsSinceEpoch();
}

QByteArray Model::digest(const QByteArray& path, bool* ok) {
    QCryptographicHash hash(QCryptographicHash::Sha1);
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (ok)
        *ok = fd >= 0;
    if (fd < 0)
        return {};
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), size_t(buffer.size()));
        if (n <= 0) {
            if (n < 0 && ok)
                *ok = false;
            break;
        }
        hash.addData(QByteArrayView(buffer.constData(), n));
    }
    ::close(fd);
    return hash.result();
}

void Model::observe(const QByteArray& path) {
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return;
    bool ok = false;
    const QByteArray d = digest(path, &ok);
    if (!ok)
        return;
    File& f = mFiles[path];
    mObserved << path;
    f.contents.insert(d);
    f.changedMs = now();
    if (!f.everEligible && !mSecretPaths.contains(path))
        f.everEligible = !excluded(path, rules());
}

void Model::observeTree(const QByteArray& folder) {
    struct stat st {};
    if (::lstat(folder.constData(), &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        observe(folder);
        return;
    }
    DIR* dir = ::opendir(folder.constData());
    if (!dir)
        return;
    QList<QByteArray> names;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names << name;
    }
    ::closedir(dir);
    for (const QByteArray& name : std::as_const(names))
        observeTree(folder + '/' + name);
}

QList<QByteArray> Model::takeObserved() {
    QList<QByteArray> out;
    out.swap(mObserved);
    return out;
}

const Model::File* Model::file(const QByteArray& path) const {
    const auto it = mFiles.constFind(path);
    return it == mFiles.cend() ? nullptr : &it.value();
}

Model::Rules Model::rules() const {
    Rules r;
    // As the daemon reads them: the person's files, property-list arrays of strings.
    for (const QString& entry : PropertyList::readStringArray(mWorld.personsExcludeList())) {
        if (mRestoring.contains(entry))
            r.restoring.insert(entry);
        else if (!mEnded.contains(entry))
            r.folders.insert(entry);
    }
    r.patterns = ExclusionRules::cleanPatterns(PropertyList::readStringArray(mWorld.personsPatterns()));
    return r;
}

bool Model::excluded(const QByteArray& path, const Rules& rules) const {
    const QString p = QFile::decodeName(path);
    return ExclusionRules::evaluate(p, rules.folders, {}, rules.patterns) ||
           !ExclusionRules::listEntryFor(p, rules.restoring).isEmpty();
}

void Model::exclusionsChanged() {
    const Rules r = rules();
    for (auto it = mFiles.begin(); it != mFiles.end(); ++it) {
        struct stat st {};
        if (!it->everEligible && !mSecretPaths.contains(it.key()) &&
            ::lstat(it.key().constData(), &st) == 0 && !excluded(it.key(), r))
            it->everEligible = true;
    }
}

void Model::restoreBegan(const QString& entry) {
    mRestoring << entry;
    mRestoreEntries.insert(entry);
}

void Model::restoreEnded(const QString& entry) {
    // The application died with it: its entry stays in the list, and must not count as the person's.
    mRestoring.removeOne(entry);
    mEnded << entry;
    exclusionsChanged();
}

void Model::restoreEntryLifted(const QString& entry) {
    mRestoring.removeOne(entry);
    exclusionsChanged();
}

bool Model::entryAccountedFor(const QString& entry) const {
    if (mPersonsFolders.contains(entry) || mRestoreEntries.contains(entry))
        return true;
    const PlatformProfile& profile = mWorld.paths().profile();
    QStringList defaults = profile.perHomeExclusions;
    defaults << profile.perHomeExcludedFolder;
    for (const QString& relative : std::as_const(defaults))
        if (entry == mWorld.home() + u'/' + relative || entry == mWorld.resolvedHome() + u'/' + relative)
            return true;
    return false;
}

void Model::addSecretFile(const QByteArray& path, const QByteArray& secret) {
    mSecretPaths.insert(path);
    if (!mSecretValues.contains(secret))
        mSecretValues << secret;
}

QList<QByteArray> Model::secrets() const {
    QList<QByteArray> out = mSecretValues;
    for (const QString& password : mWorld.passwordsUsed())
        out << password.toUtf8();
    return out;
}
