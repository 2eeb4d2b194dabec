#pragma once

#include <QString>
#include <QStringList>

// What the programs need to know about the machine itself.
class HostFacts {
  public:
    struct VolumeInfo {
        bool removable = false;
        bool writable = false;
        bool unmountable = false;
        QString description; // the device, e.g. "/dev/sda2"
        QString type;        // file-system type, e.g. "ext4"
    };

    virtual ~HostFacts() = default;

    // The computer's name as the user gave it (not yet reduced to a machine name).
    virtual QString computerName() const = 0;
    // The volumes of the machine's fixed disks, one name per line, in the listing's order. Lines that
    // name no volume are empty.
    virtual QStringList diskVolumeNames() const = 0;
    // File-system information of the volume holding path; false when it cannot be found.
    virtual bool fileSystemInfo(const QString& path, VolumeInfo& info) const = 0;
    // Every path under which the machine shows the folder at path: path itself, its resolved form
    // (symbolic links followed) and, where the platform knows them, the same folder through other
    // mounts of its file system (a bind mount). Event streams report one of these, not necessarily the
    // one the person or the account database writes. Only path itself when it does not exist.
    virtual QStringList namesOf(const QString& path) const;

    // The implementation for this machine.
    static const HostFacts& system();
};
