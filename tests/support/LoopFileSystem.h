#pragma once

#include <QString>
#include <QTemporaryDir>

// A file system of its own on a loop device, as a person's home may have (its own disk or partition):
// a sparse image formatted ext4, xfs or btrfs and mounted at a folder the caller names. Needs root and
// the type's mkfs; skipReason() says why it cannot be made here. Unmounted (lazily when something
// still holds it) and removed on destruction.
class LoopFileSystem {
  public:
    enum class Type { Ext4, Xfs, Btrfs };

    LoopFileSystem() = default;
    ~LoopFileSystem();
    LoopFileSystem(const LoopFileSystem&) = delete;
    LoopFileSystem& operator=(const LoopFileSystem&) = delete;

    static QString typeName(Type type);
    // "" when a file system of that type can be made and mounted here, else why not.
    static QString skipReason(Type type);

    // Makes an image of `bytes` (sparse), formats it and mounts it at mountPoint (created if needed).
    bool create(Type type, const QString& mountPoint, qint64 bytes, QString* error = nullptr);
    void unmount();

    bool isMounted() const { return mMounted; }
    QString mountPoint() const { return mMountPoint; }
    Type type() const { return mType; }

  private:
    QTemporaryDir mImageFolder{QStringLiteral("/var/tmp/zh-loop-XXXXXX")};
    QString mMountPoint;
    Type mType = Type::Ext4;
    bool mMounted = false;
};
