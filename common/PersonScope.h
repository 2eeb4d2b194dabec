#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class HostFacts;

// The person's home and the folders of the initial set outside it that they may read, each known
// under every name the machine shows it by. What is queued, listed, excluded and sent is filed under
// one name: the home as the account database writes it (cleaned), a folder as the initial set lists
// it, so that the appliance, the exclusion lists and a restore keep one name for one file. What the
// kernel reports, after following links and through whichever mount its event stream watches, may be
// another name of the same place (a home behind /home -> /var/home, a home bind-mounted from another
// disk): it is recognised here and turned into the filed name.
class PersonScope {
  public:
    PersonScope() = default;
    // home: as written ("" for none); folders: as listed. watchedRoots: folders an event stream
    // watches by the name given (the users folder of an inotify watch): a place below one of their
    // resolved forms is also known as that root plus the rest.
    PersonScope(const QString& home, const QStringList& folders, const HostFacts& facts,
                const QStringList& watchedRoots = {});

    QString home() const { return mHome; }
    QStringList folders() const { return mFolders; }
    // Every name of the home, the written one first.
    QStringList homeNames() const;

    // path as it is filed, or "" when it lies outside every place of the scope.
    QString filed(const QString& path) const;
    // The same for a path as the kernel gives it (bytes that need not be UTF-8).
    QByteArray filedNative(const QByteArray& native) const;
    bool contains(const QString& path) const { return !filed(path).isEmpty(); }
    // Whether path names the home itself, under any of its names.
    bool isHome(const QString& path) const;
    // Whether the home lies below path under any of its names (path is one of its ancestors).
    bool holdsHome(const QString& path) const;

    // path is folder or lies below it (text, by whole components).
    static bool isBelow(const QString& path, const QString& folder);

  private:
    struct Name {
        QString name;
        QString written;
    };
    void add(const QString& written, const HostFacts& facts, const QStringList& watchedRoots);

    QList<Name> mNames; // longest name first
    QString mHome;
    QStringList mFolders;
};
