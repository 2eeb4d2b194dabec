#pragma once

#include "PlatformProfile.h"

#include <QString>
#include <QTemporaryDir>

#include <sys/types.h>

// A local account the tests can act for: when running as root, the dedicated account "zhfixture"
// (created once with useradd); otherwise the account running the tests.
struct FixtureUser {
    QString name;
    uid_t uid = 0;
    gid_t gid = 0;
    QString passwdHome; // the home as the account database has it (not rooted)

    static FixtureUser get(QString* error = nullptr);
    // Another local account (root only; created once with useradd, no home made on the machine) whose
    // passwd entry gives passwdHome as written: homes as they are in the field, ending in "/" or
    // outside the users folder. Without root: the account running the tests.
    static FixtureUser account(const QString& name, const QString& passwdHome, QString* error = nullptr);

    // Gives folder and everything below it (symlinks themselves, not their targets) to the account.
    bool handOver(const QString& folder) const;
};

// A temporary profile root: every machine location of the profile, homes included, lives below it.
// Removed with everything in it when the fixture is destroyed.
class TempRoot {
  public:
    explicit TempRoot(PlatformProfile::Kind kind = PlatformProfile::Kind::Linux);

    bool isValid() const { return mDir.isValid(); }
    QString path() const { return mDir.path(); }
    const PlatformProfile& profile() const { return mProfile; }

    // Creates the user's home below the root (owned by the user) and returns it.
    QString createHome(const FixtureUser& user) const;
    // The users folder as image-based desktops have it: <root>/home a symbolic link to "var/home", the
    // homes in <root>/var/home (homes already made move there). False when it cannot be made.
    bool linkUsersFolder() const;
    // Installs the build's daemon and helpers below the root as an administrator's `cmake --install`
    // puts them on a machine: the programs where the profile looks for them, and whatever a first
    // installation leaves (its first-start marker); nothing planted by hand. "" when done, else why not.
    QString installBuild() const;

  private:
    QTemporaryDir mDir;
    PlatformProfile mProfile;
};
