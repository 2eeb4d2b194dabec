#include "ExclusionRules.h"

#include <QFile>

#include <fnmatch.h>

namespace {

enum class Test { NameEndsWith, PathEndsWith, PathBeginsWith, NameBeginsWith, PathContains, PathEquals };

struct Rule {
    Test test;
    QLatin1String text;
};

// In the order they are tested; the first match excludes.
const Rule kRules[] = {
    {Test::NameEndsWith, QLatin1String(".")},
    {Test::PathEndsWith, QLatin1String(".DS_Store")},
    {Test::PathEndsWith, QLatin1String("-Spotlight")},
    {Test::PathEndsWith, QLatin1String("8149A9CB-5389-45CD-BEE9-663FC8283B56")},
    {Test::PathEndsWith, QLatin1String(".tmp")},
    {Test::PathEndsWith, QLatin1String("-journal")},
    {Test::PathEndsWith, QLatin1String(".lock")},
    {Test::PathEndsWith, QLatin1String(".pst")},
    {Test::PathEndsWith, QLatin1String(".PST")},
    {Test::PathEndsWith, QLatin1String(".OST")},
    {Test::PathEndsWith, QLatin1String(".ost")},
    {Test::PathEndsWith, QLatin1String("..namedfork/rsrc")},
    {Test::PathEndsWith, QLatin1String("Icon\r")},
    {Test::PathEndsWith, QLatin1String(".xcuserstate")},
    {Test::PathBeginsWith, QLatin1String("sb-")},
    {Test::NameBeginsWith, QLatin1String(".~")},
    {Test::PathBeginsWith, QLatin1String(".")},
    {Test::PathBeginsWith, QLatin1String("/.")},
    {Test::PathContains, QLatin1String(".part")},
    {Test::PathContains, QLatin1String(".crdownload")},
    {Test::PathContains, QLatin1String(".download")},
    {Test::PathContains, QLatin1String(".psd-")},
    {Test::PathContains, QLatin1String(".PSD-")},
    {Test::PathContains, QLatin1String(".jpg-")},
    {Test::PathContains, QLatin1String(".JPG-")},
    {Test::PathContains, QLatin1String(".png-")},
    {Test::PathContains, QLatin1String(".PNG-")},
    {Test::PathContains, QLatin1String(".bmp-")},
    {Test::PathContains, QLatin1String(".BMP-")},
    {Test::PathContains, QLatin1String("/(A Document Being Saved By PDF Editor)")},
    {Test::PathContains, QLatin1String(".tif-")},
    {Test::PathContains, QLatin1String(".TIF-")},
    {Test::PathContains, QLatin1String(".IDSCache")},
    {Test::PathContains, QLatin1String(".Trash")},
    {Test::PathContains, QLatin1String("ZorvikHollinWatcher")},
    {Test::PathContains, QLatin1String("ZorvikHollin")},
    {Test::PathContains, QLatin1String(".sparsebundle")},
    {Test::PathEquals, QLatin1String("/")},
};

} // namespace

int ExclusionRules::builtInRuleFor(const QString& path) {
    const QStringView name = QStringView(path).mid(path.lastIndexOf(u'/') + 1);
    int number = 0;
    for (const Rule& rule : kRules) {
        ++number;
        bool match = false;
        switch (rule.test) {
        case Test::NameEndsWith:
            match = name.endsWith(rule.text);
            break;
        case Test::PathEndsWith:
            match = path.endsWith(rule.text);
            break;
        case Test::PathBeginsWith:
            match = path.startsWith(rule.text);
            break;
        case Test::NameBeginsWith:
            match = name.startsWith(rule.text);
            break;
        case Test::PathContains:
            match = path.contains(rule.text);
            break;
        case Test::PathEquals:
            match = path == rule.text;
            break;
        }
        if (match)
            return number;
    }
    return 0;
}

QString ExclusionRules::builtInRuleText(int rule) {
    if (rule < 1 || rule > int(std::size(kRules)))
        return QString();
    const Rule& r = kRules[rule - 1];
    const QString text = QString(r.text).replace(u'\r', QStringLiteral("\\r"));
    switch (r.test) {
    case Test::NameEndsWith:
        return QStringLiteral("names ending in \u201c%1\u201d").arg(text);
    case Test::PathEndsWith:
        return QStringLiteral("paths ending in \u201c%1\u201d").arg(text);
    case Test::PathBeginsWith:
        return QStringLiteral("paths beginning with \u201c%1\u201d").arg(text);
    case Test::NameBeginsWith:
        return QStringLiteral("names beginning with \u201c%1\u201d").arg(text);
    case Test::PathContains:
        return QStringLiteral("paths containing \u201c%1\u201d").arg(text);
    case Test::PathEquals:
        return QStringLiteral("the path \u201c%1\u201d").arg(text);
    }
    return QString();
}

QString ExclusionRules::listEntryFor(const QString& path, const QSet<QString>& entries) {
    for (const QString& entry : entries)
        if (path.startsWith(entry))
            return entry;
    return QString();
}

QString ExclusionRules::patternFor(const QString& path, const QList<QByteArray>& patterns) {
    const QByteArray name = QFile::encodeName(path.mid(path.lastIndexOf(u'/') + 1));
    for (const QByteArray& pattern : patterns)
        if (::fnmatch(pattern.constData(), name.constData(), 0) == 0)
            return QFile::decodeName(pattern);
    return QString();
}

QList<QByteArray> ExclusionRules::cleanPatterns(const QStringList& entries, QStringList* ignored) {
    QList<QByteArray> patterns;
    for (const QString& entry : entries) {
        const QString pattern = entry.trimmed();
        if (pattern.isEmpty() || pattern.contains(u'/') || pattern.contains(u'\n') ||
            pattern.contains(u'\r')) {
            if (!pattern.isEmpty() && ignored)
                ignored->append(entry);
            continue;
        }
        const QByteArray encoded = QFile::encodeName(pattern);
        if (!patterns.contains(encoded))
            patterns << encoded;
    }
    return patterns;
}

namespace {

// text matched literally inside an rsync wildcard pattern.
QString wildcardLiteral(const QString& text) {
    QString out;
    for (const QChar c : text) {
        if (c == u'*' || c == u'?' || c == u'[' || c == u'\\')
            out += u'\\';
        out += c;
    }
    return out;
}

} // namespace

QString ExclusionRules::rsyncExactExclude(const QString& path) {
    // rsync takes a backslash for an escape only in a pattern with a wildcard in it.
    const bool wild = path.contains(u'*') || path.contains(u'?') || path.contains(u'[');
    return QStringLiteral("- ") + (wild ? wildcardLiteral(path) : path);
}

QStringList ExclusionRules::rsyncExcludes(const QSet<QString>& folderList, const QSet<QString>& timeMachine,
                                          const QList<QByteArray>& patterns) {
    QStringList rules;
    for (const Rule& rule : kRules) {
        const QString text = wildcardLiteral(QString(rule.text));
        switch (rule.test) {
        case Test::NameEndsWith:
            rules << QStringLiteral("*") + text;
            break;
        case Test::PathEndsWith:
            // A suffix that holds a "/" is matched against the whole path.
            rules << (text.contains(u'/') ? QStringLiteral("**") : QStringLiteral("*")) + text;
            break;
        case Test::NameBeginsWith:
            rules << text + u'*';
            break;
        case Test::PathContains:
            rules << (text.startsWith(u'/') ? text.mid(1) + u'*' : u'*' + text + u'*');
            break;
        case Test::PathBeginsWith:
            if (text.startsWith(u'/'))
                rules << text + u'*';
            break; // a relative beginning never matches an absolute path
        case Test::PathEquals:
            break;
        }
    }
    QStringList entries = QStringList(folderList.cbegin(), folderList.cend()) +
                          QStringList(timeMachine.cbegin(), timeMachine.cend());
    entries.sort();
    for (const QString& entry : std::as_const(entries))
        if (entry.startsWith(u'/') && entry != QLatin1String("/"))
            rules << wildcardLiteral(entry) + u'*';
    for (const QByteArray& pattern : patterns)
        rules << QFile::decodeName(pattern);
    for (QString& rule : rules)
        rule.prepend(QStringLiteral("- "));
    rules.removeDuplicates();
    return rules;
}

QSet<QString> ExclusionRules::withoutHoldersOf(QSet<QString> entries, const QStringList& homeNames) {
    for (auto it = entries.begin(); it != entries.end();) {
        bool holds = false;
        for (const QString& home : homeNames)
            holds = holds || (!it->isEmpty() && *it != home && home.startsWith(*it));
        it = holds ? entries.erase(it) : std::next(it);
    }
    return entries;
}

ExclusionRules::Match ExclusionRules::evaluate(const QString& path, const QSet<QString>& folderList,
                                               const QSet<QString>& timeMachine,
                                               const QList<QByteArray>& patterns) {
    if (const int rule = builtInRuleFor(path))
        return {Kind::BuiltIn, rule, builtInRuleText(rule)};
    if (const QString entry = listEntryFor(path, folderList); !entry.isEmpty())
        return {Kind::FolderList, 0, entry};
    if (const QString entry = listEntryFor(path, timeMachine); !entry.isEmpty())
        return {Kind::TimeMachine, 0, entry};
    if (path == QLatin1String("/"))
        return {Kind::Root, 0, path};
    if (const QString pattern = patternFor(path, patterns); !pattern.isEmpty())
        return {Kind::NamePattern, 0, pattern};
    return {};
}
