#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

class World;

// What must be on the appliance, and what must never be: every content each path of the home ever
// held (a copy holding anything else is torn or mixed), when it last changed, whether it was ever the
// person's to back up (not excluded when it was written, or since), the secrets, and the links that
// point out of the home. Exclusions follow what the product decides: its fixed rules
// (ExclusionRules) and the person's list and patterns as the daemon reads them, less the entries a
// killed application made for its restores once it has started again (no exclusion of its own
// outlives it). Which entries of the list may touch the home is known too: the defaults, the person's
// own and the restores'.
class Model {
  public:
    struct File {
        QSet<QByteArray> contents; // digests of every content the path held
        qint64 changedMs = 0;      // when it last changed (ms since the epoch)
        bool everEligible = false; // not excluded when written, or at some time since
    };
    struct Rules {
        QSet<QString> folders;      // the person's list, less ended restores' entries
        QSet<QString> restoring;    // entries of restores under way: excluded for now
        QList<QByteArray> patterns; // the person's name patterns
    };

    explicit Model(World& world);

    static qint64 now();
    static QByteArray digest(const QByteArray& path, bool* ok = nullptr);

    // What is at path now joins its history (a regular file; anything else is left alone).
    void observe(const QByteArray& path);
    // Every regular file below folder (a tree moved or renamed, a restore).
    void observeTree(const QByteArray& folder);
    const QMap<QByteArray, File>& files() const { return mFiles; }
    // The paths observed since the last call (to time their protection).
    QList<QByteArray> takeObserved();
    const File* file(const QByteArray& path) const;

    // ---- exclusions
    Rules rules() const;
    // Fixed rules, the person's folders and patterns, restores under way.
    bool excluded(const QByteArray& path, const Rules& rules) const;
    // The person changed the exclusions: what is there now and not excluded any more is theirs again.
    void exclusionsChanged();
    void restoreBegan(const QString& entry);
    void restoreEnded(const QString& entry); // released by the application, or it died
    void restoreEntryLifted(const QString& entry);
    // The person excluded a folder in the editor, or stopped excluding it.
    void personExcludes(const QString& folder) { mPersonsFolders.insert(folder); }
    void personIncludes(const QString& folder) { mPersonsFolders.remove(folder); }
    // "Reinitialize" set the list back to the defaults: nothing in it is the person's any more.
    void exclusionsReset() {
        mPersonsFolders.clear();
        exclusionsChanged();
    }
    // Whether an entry of the list that touches the home was put there by the person, a restore or as
    // one of the defaults.
    bool entryAccountedFor(const QString& entry) const;

    // ---- what must never reach the appliance or a trace
    void addSecretFile(const QByteArray& path, const QByteArray& secret);
    bool isSecretPath(const QByteArray& path) const { return mSecretPaths.contains(path); }
    QList<QByteArray> secrets() const; // session secrets and every password used
    void addLinkOut(const QByteArray& link) { mLinksOut << link; }
    // Contents an attack wrote (digests): held by the tripwire, they must stay off the appliance.
    void addAttackContent(const QByteArray& digest) { mAttack << digest; }
    bool isAttackContent(const QByteArray& digest) const { return mAttack.contains(digest); }
    const QSet<QByteArray>& linksOut() const { return mLinksOut; }

  private:
    World& mWorld;
    QMap<QByteArray, File> mFiles; // ordered: a seed picks the same file in every run
    QList<QByteArray> mObserved;
    QSet<QByteArray> mSecretPaths;
    QList<QByteArray> mSecretValues;
    QSet<QByteArray> mLinksOut;
    QSet<QByteArray> mAttack;
    QStringList mRestoring;        // entries of restores under way
    QStringList mEnded;            // entries the application added and never took out
    QSet<QString> mRestoreEntries; // every entry a restore added
    QSet<QString> mPersonsFolders; // the folders the person excludes now
};
