#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// The decision whether a path is backed up, shared by the daemon (which excludes) and the application
// (which explains): fixed rules for temporary and foreign files, folder lists (plain prefixes), and
// the person's name patterns (shell-style, matched against the last component of a path). Pure: the
// callers read the lists themselves, each with its own rights.
class ExclusionRules {
  public:
    enum class Kind {
        None,
        BuiltIn,     // one of the fixed rules
        FolderList,  // an entry of the exclusion list ("Exclude Items" and its defaults)
        TimeMachine, // a Time Machine destination
        NamePattern, // one of the person's name patterns
        Root,        // "/" itself
    };
    struct Match {
        Kind kind = Kind::None;
        int builtInRule = 0; // 1-based, for BuiltIn
        QString rule;        // what matched: the fixed rule's text, the list entry, or the pattern
        explicit operator bool() const { return kind != Kind::None; }
    };

    // Which fixed rule (1-based) excludes path, 0 for none; the first match counts.
    static int builtInRuleFor(const QString& path);
    // A fixed rule as a person reads it, e.g. "names ending in “.tmp”".
    static QString builtInRuleText(int rule);
    // The entry of entries that path lies under (plain prefix), or "".
    static QString listEntryFor(const QString& path, const QSet<QString>& entries);
    // The first pattern the last component of path matches, or "".
    static QString patternFor(const QString& path, const QList<QByteArray>& patterns);
    // Patterns as the editor writes them, cleaned: trimmed, duplicates and ones that could never match
    // a single name (empty, holding "/" or a line break) left out; the left-out non-empty ones in
    // ignored.
    static QList<QByteArray> cleanPatterns(const QStringList& entries, QStringList* ignored = nullptr);

    // entries without those that would exclude the whole of a home named in homeNames from above (a
    // system folder such as "/var" where the home is "/var/home/ann", a plain prefix of the home's
    // name): the person's home is what is backed up, whatever folder it sits in. The home itself
    // stays excludable.
    static QSet<QString> withoutHoldersOf(QSet<QString> entries, const QStringList& homeNames);

    // The same decision as rsync exclude rules ("- …"), so that what rsync finds inside a folder it
    // sends whole is left out just as the folder's own entries would be: the fixed rules as wildcards
    // on names, each list entry anchored at the transfer root "/" (a plain prefix: "<entry>*"), and the
    // name patterns.
    // The rsync exclusion of exactly one absolute path ("- /home/ann/a*b.txt" matches that file alone).
    static QString rsyncExactExclude(const QString& path);
    static QStringList rsyncExcludes(const QSet<QString>& folderList, const QSet<QString>& timeMachine,
                                     const QList<QByteArray>& patterns);

    // Fixed rules, then the folder list, the Time Machine destinations and "/", then the patterns.
    static Match evaluate(const QString& path, const QSet<QString>& folderList,
                          const QSet<QString>& timeMachine, const QList<QByteArray>& patterns);
};
