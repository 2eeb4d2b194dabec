#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

// The old system rsync the private copy exists for (2.6.9, as older Macs have it), first on this
// process's PATH while the object lives: it prints that version's banner for "--version" and refuses
// the options 2.6.9 did not have the way rsync refuses an unknown option ("rsync: --contimeout=30:
// unknown option", exit 1); anything else it runs with the real rsync. What the programs ask of "the
// system rsync" then meets that version's limits.
class OldRsync {
  public:
    static constexpr const char* Banner = "rsync  version 2.6.9  protocol version 29";

    OldRsync();
    ~OldRsync();
    OldRsync(const OldRsync&) = delete;
    OldRsync& operator=(const OldRsync&) = delete;

    // "" when it is in place, else why not.
    QString error() const { return mError; }
    QString folder() const { return mDir.path(); }
    // The options it was asked for and refused, one per line, in order.
    QString refused() const;

  private:
    QTemporaryDir mDir;
    QByteArray mPreviousPath;
    QString mError;
};
