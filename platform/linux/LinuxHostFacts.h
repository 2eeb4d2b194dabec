#pragma once

#include "HostFacts.h"

#include <QList>

// Host facts from the files Linux keeps about itself: /etc/machine-info and the host name for the
// computer name, /proc/self/mountinfo and /sys/block for volumes. The file locations can be moved so
// that tests can feed their own.
class LinuxHostFacts : public HostFacts {
  public:
    struct Mount {
        QString mountPoint;
        QString root;   // the folder of the file system shown there ("/" unless a bind mount)
        QString source; // "/dev/…" for block devices
        QString type;
        QString device; // "major:minor"
        bool readOnly = false;
    };

    LinuxHostFacts(QString machineInfoPath = QStringLiteral("/etc/machine-info"),
                   QString mountInfoPath = QStringLiteral("/proc/self/mountinfo"),
                   QString sysBlockPath = QStringLiteral("/sys/block"));

    QString computerName() const override;
    // Mount points of the file systems on fixed, local block devices other than "/" and "/boot…",
    // each followed by one blank (the form the volume-name column of a disk listing has).
    QStringList diskVolumeNames() const override;
    bool fileSystemInfo(const QString& path, VolumeInfo& info) const override;
    // Adds the folder as every other mount of its file system shows it (mountinfo's root field).
    QStringList namesOf(const QString& path) const override;

    QList<Mount> mounts() const;
    // Whether the block device behind a "/dev/…" source is removable; false when unknown.
    bool isRemovableDevice(const QString& source) const;

    static QString unescapeMountField(const QString& field);

  private:
    QString mMachineInfoPath;
    QString mMountInfoPath;
    QString mSysBlockPath;
};
