#pragma once

#include "LoginItems.h"

#include <QStringList>

// Login items as XDG autostart entries: the application's entry is
// <home>/.config/autostart/ZorvikHollin.desktop. Entries installed for every user (in the system
// autostart folders) cannot be deleted by the user; removing one writes a hidden entry of the same
// name in the user's folder, which is how the desktop is told to skip it. While such an entry starts
// the application, the user keeps none of their own: the package's entry goes with the package, where
// one in the home would outlive it. Each entry written names the program in TryExec as well, so that
// one left behind starts nothing once the program is gone.
class XdgAutostartLoginItems : public LoginItems {
  public:
    static constexpr QLatin1String EntryFileName{"ZorvikHollin.desktop"};

    explicit XdgAutostartLoginItems(QString home,
                                    QStringList systemAutostartFolders = defaultSystemFolders());

    bool add(const QString& applicationPath) override;
    bool remove(const QString& applicationPath) override;

    QString autostartFolder() const { return mHome + QStringLiteral("/.config/autostart"); }

    // The autostart folders of $XDG_CONFIG_DIRS (default /etc/xdg).
    static QStringList defaultSystemFolders();
    // The program of an Exec value: its first argument with the entry's escapes and quotes undone.
    static QString execProgram(const QString& execValue);
    // An Exec value that runs program with no arguments.
    static QString execValueFor(const QString& program);
    // A string value (TryExec, Name, ...) that reads back as text.
    static QString stringValueFor(const QString& text);

  private:
    struct Entry {
        QString program; // "" when the entry has no Exec
        bool hidden = false;
    };
    static bool readEntry(const QString& filePath, Entry& entry);
    static bool writeEntry(const QString& filePath, const QString& program, bool hidden);
    // Whether the system entry the desktop would use under our name starts applicationPath.
    bool systemEntryStarts(const QString& applicationPath) const;

    QString mHome;
    QStringList mSystemFolders;
};
