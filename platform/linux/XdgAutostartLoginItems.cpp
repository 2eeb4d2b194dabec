#include "XdgAutostartLoginItems.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QTextStream>

namespace {

const QString DesktopEntryGroup = QStringLiteral("[Desktop Entry]");

QStringList desktopFiles(const QString& folder) {
    return QDir(folder).entryList({QStringLiteral("*.desktop")}, QDir::Files | QDir::Readable, QDir::Name);
}

// Undoes the escapes every string value of a desktop entry may carry.
QString unescapeValue(const QString& value) {
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            out += c;
            continue;
        }
        const QChar next = value.at(++i);
        switch (next.unicode()) {
        case 's':
            out += QLatin1Char(' ');
            break;
        case 'n':
            out += QLatin1Char('\n');
            break;
        case 't':
            out += QLatin1Char('\t');
            break;
        case 'r':
            out += QLatin1Char('\r');
            break;
        default:
            out += next;
            break; // "\\" and anything the entry did not need to escape
        }
    }
    return out;
}

} // namespace

XdgAutostartLoginItems::XdgAutostartLoginItems(QString home, QStringList systemAutostartFolders)
    : mHome(std::move(home)), mSystemFolders(std::move(systemAutostartFolders)) {}

QStringList XdgAutostartLoginItems::defaultSystemFolders() {
    QString dirs = qEnvironmentVariable("XDG_CONFIG_DIRS");
    if (dirs.isEmpty())
        dirs = QStringLiteral("/etc/xdg");
    QStringList folders;
    for (const QString& dir : dirs.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        folders << dir + QStringLiteral("/autostart");
    return folders;
}

QString XdgAutostartLoginItems::execProgram(const QString& execValue) {
    const QString value = unescapeValue(execValue);
    qsizetype i = 0;
    while (i < value.size() && value.at(i).isSpace())
        ++i;
    QString program;
    if (i < value.size() && value.at(i) == QLatin1Char('"')) {
        // Inside quotes a backslash escapes the next character.
        for (++i; i < value.size() && value.at(i) != QLatin1Char('"'); ++i) {
            if (value.at(i) == QLatin1Char('\\') && i + 1 < value.size())
                ++i;
            program += value.at(i);
        }
    } else {
        while (i < value.size() && !value.at(i).isSpace())
            program += value.at(i++);
    }
    return program.replace(QStringLiteral("%%"), QStringLiteral("%"));
}

QString XdgAutostartLoginItems::execValueFor(const QString& program) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    QString arg = program;
    arg.replace(QLatin1Char('%'), QStringLiteral("%%"));
    bool needsQuotes = false;
    for (const QChar c : arg)
        needsQuotes = needsQuotes || reserved.contains(c);
    if (needsQuotes) {
        QString quoted;
        for (const QChar c : arg) {
            if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
                c == QLatin1Char('\\'))
                quoted += QLatin1Char('\\');
            quoted += c;
        }
        arg = QLatin1Char('"') + quoted + QLatin1Char('"');
    }
    // The string escapes come on top of the quoting.
    return arg.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('\n'), QStringLiteral("\\n"))
        .replace(QLatin1Char('\t'), QStringLiteral("\\t"));
}

QString XdgAutostartLoginItems::stringValueFor(const QString& text) {
    QString value = text;
    value.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('\n'), QStringLiteral("\\n"))
        .replace(QLatin1Char('\t'), QStringLiteral("\\t"))
        .replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    // Blanks around a value are not part of it, unless escaped.
    if (value.endsWith(QLatin1Char(' ')))
        value.replace(value.size() - 1, 1, QStringLiteral("\\s"));
    if (value.startsWith(QLatin1Char(' ')))
        value.replace(0, 1, QStringLiteral("\\s"));
    return value;
}

bool XdgAutostartLoginItems::readEntry(const QString& filePath, Entry& entry) {
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    entry = Entry();
    bool inMainGroup = false;
    QTextStream in(&file);
    QString line;
    while (in.readLineInto(&line)) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1Char('['))) {
            inMainGroup = trimmed == DesktopEntryGroup;
            continue;
        }
        if (!inMainGroup || trimmed.startsWith(QLatin1Char('#')))
            continue;
        const qsizetype eq = trimmed.indexOf(QLatin1Char('='));
        if (eq < 0)
            continue;
        const QString key = trimmed.left(eq).trimmed();
        const QString value = trimmed.mid(eq + 1).trimmed();
        if (key == QLatin1String("Exec"))
            entry.program = execProgram(value);
        else if (key == QLatin1String("Hidden"))
            entry.hidden = value == QLatin1String("true");
    }
    return true;
}

bool XdgAutostartLoginItems::writeEntry(const QString& filePath, const QString& program, bool hidden) {
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    QString text = DesktopEntryGroup +
                   QStringLiteral("\n"
                                  "Type=Application\n"
                                  "Name=Zorvik Hollin\n"
                                  "Comment=Backs up your documents to the Zorvik Hollin device\n"
                                  "TryExec=") +
                   stringValueFor(program) + QStringLiteral("\nExec=") + execValueFor(program) +
                   QStringLiteral("\nTerminal=false\n");
    text += hidden ? QStringLiteral("Hidden=true\n") : QStringLiteral("X-GNOME-Autostart-enabled=true\n");
    file.write(text.toUtf8());
    return file.commit();
}

bool XdgAutostartLoginItems::systemEntryStarts(const QString& applicationPath) const {
    for (const QString& folder : mSystemFolders) {
        const QString path = folder + QLatin1Char('/') + EntryFileName;
        // The first folder of the search path that has the name is the one the desktop reads.
        if (!QFileInfo(path).isFile())
            continue;
        Entry entry;
        return readEntry(path, entry) && !entry.hidden && entry.program == applicationPath;
    }
    return false;
}

bool XdgAutostartLoginItems::add(const QString& applicationPath) {
    if (applicationPath.isEmpty())
        return false;
    const QString own = autostartFolder() + QLatin1Char('/') + EntryFileName;
    if (systemEntryStarts(applicationPath)) {
        // The system's entry starts the application; an entry here would only shadow it (a hidden
        // one left by a removal included).
        const QFileInfo info(own);
        return !(info.exists() || info.isSymLink()) || QFile::remove(own);
    }
    if (!QDir().mkpath(autostartFolder()))
        return false;
    return writeEntry(own, applicationPath, false);
}

bool XdgAutostartLoginItems::remove(const QString& applicationPath) {
    if (applicationPath.isEmpty())
        return false;
    const QString userFolder = autostartFolder();
    bool ok = true;
    for (const QString& name : desktopFiles(userFolder)) {
        Entry entry;
        // A hidden entry starts nothing; it is the override that keeps a system entry off.
        if (readEntry(userFolder + QLatin1Char('/') + name, entry) && !entry.hidden &&
            !entry.program.isEmpty() && entry.program.startsWith(applicationPath))
            ok = QFile::remove(userFolder + QLatin1Char('/') + name) && ok;
    }
    QSet<QString> seen;
    for (const QString& folder : mSystemFolders) {
        for (const QString& name : desktopFiles(folder)) {
            // The first folder of the search path that has a name wins; later ones are shadowed.
            if (seen.contains(name))
                continue;
            seen.insert(name);
            Entry entry;
            if (!readEntry(folder + QLatin1Char('/') + name, entry) || entry.hidden ||
                !entry.program.startsWith(applicationPath) || entry.program.isEmpty())
                continue;
            // What is left in the user's folder under this name shadows the system entry already.
            const QString override = userFolder + QLatin1Char('/') + name;
            if (QFileInfo::exists(override))
                continue;
            ok = QDir().mkpath(userFolder) && writeEntry(override, entry.program, true) && ok;
        }
    }
    return ok;
}
