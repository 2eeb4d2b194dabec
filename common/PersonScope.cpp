#include "PersonScope.h"

#include "HostFacts.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

bool PersonScope::isBelow(const QString& path, const QString& folder) {
    if (folder.isEmpty())
        return false;
    if (folder == QLatin1String("/"))
        return path.startsWith(u'/');
    return path == folder || (path.startsWith(folder) && path.at(folder.size()) == u'/');
}

PersonScope::PersonScope(const QString& home, const QStringList& folders, const HostFacts& facts,
                         const QStringList& watchedRoots)
    : mHome(home) {
    if (!home.isEmpty())
        add(home, facts, watchedRoots);
    for (const QString& folder : folders)
        if (!folder.isEmpty() && folder != QLatin1String("/") && !mFolders.contains(folder)) {
            mFolders << folder;
            add(folder, facts, watchedRoots);
        }
    std::stable_sort(mNames.begin(), mNames.end(),
                     [](const Name& a, const Name& b) { return a.name.size() > b.name.size(); });
}

void PersonScope::add(const QString& written, const HostFacts& facts, const QStringList& watchedRoots) {
    QStringList names = facts.namesOf(written);
    if (!names.contains(written))
        names.prepend(written);
    for (const QString& root : watchedRoots) {
        const QString resolved = QFileInfo(root).canonicalFilePath();
        if (resolved.isEmpty() || resolved == root)
            continue;
        for (const QString& name : QStringList(names))
            if (isBelow(name, resolved) && resolved != QLatin1String("/")) {
                const QString alias = root + name.mid(resolved.size());
                if (!names.contains(alias))
                    names << alias;
            }
    }
    for (const QString& name : std::as_const(names))
        if (name != QLatin1String("/"))
            mNames.append({name, written});
}

QStringList PersonScope::homeNames() const {
    QStringList names;
    if (mHome.isEmpty())
        return names;
    names << mHome;
    for (const Name& n : mNames)
        if (n.written == mHome && !names.contains(n.name))
            names << n.name;
    return names;
}

QString PersonScope::filed(const QString& path) const {
    for (const Name& n : mNames)
        if (isBelow(path, n.name))
            return n.written + path.mid(n.name.size());
    return QString();
}

bool PersonScope::isHome(const QString& path) const {
    return !mHome.isEmpty() && homeNames().contains(path);
}

bool PersonScope::holdsHome(const QString& path) const {
    for (const QString& name : homeNames())
        if (name != path && isBelow(name, path))
            return true;
    return false;
}

QByteArray PersonScope::filedNative(const QByteArray& native) const {
    for (const Name& n : mNames) {
        const QByteArray name = QFile::encodeName(n.name);
        if (native == name || (native.startsWith(name) && native.at(name.size()) == '/'))
            return QFile::encodeName(n.written) + native.mid(name.size());
    }
    return QByteArray();
}
