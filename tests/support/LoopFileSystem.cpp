#include "LoopFileSystem.h"

#include "ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <unistd.h>

namespace {

QString mkfsOf(LoopFileSystem::Type type) {
    switch (type) {
    case LoopFileSystem::Type::Ext4:
        return QStringLiteral("mkfs.ext4");
    case LoopFileSystem::Type::Xfs:
        return QStringLiteral("mkfs.xfs");
    case LoopFileSystem::Type::Btrfs:
        return QStringLiteral("mkfs.btrfs");
    }
    return {};
}

QString packageOf(LoopFileSystem::Type type) {
    switch (type) {
    case LoopFileSystem::Type::Ext4:
        return QStringLiteral("e2fsprogs");
    case LoopFileSystem::Type::Xfs:
        return QStringLiteral("xfsprogs");
    case LoopFileSystem::Type::Btrfs:
        return QStringLiteral("btrfs-progs");
    }
    return {};
}

// Whether the running kernel knows the file system (built in or as a module it can load).
bool kernelKnows(const QString& name) {
    QFile known(QStringLiteral("/proc/filesystems"));
    if (known.open(QIODevice::ReadOnly) && known.readAll().contains('\t' + name.toLatin1() + '\n'))
        return true;
    return ChildProcess::run({QStringLiteral("modprobe"), QStringLiteral("-q"), name}) == 0;
}

} // namespace

LoopFileSystem::~LoopFileSystem() {
    unmount();
}

QString LoopFileSystem::typeName(Type type) {
    switch (type) {
    case Type::Ext4:
        return QStringLiteral("ext4");
    case Type::Xfs:
        return QStringLiteral("xfs");
    case Type::Btrfs:
        return QStringLiteral("btrfs");
    }
    return {};
}

QString LoopFileSystem::skipReason(Type type) {
    if (::geteuid() != 0)
        return QStringLiteral("a loop-device file system needs root (losetup, mount)");
    const QString mkfs = mkfsOf(type);
    if (QStandardPaths::findExecutable(mkfs, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
            .isEmpty() &&
        QStandardPaths::findExecutable(mkfs).isEmpty())
        return QStringLiteral("%1 is not installed (package %2)").arg(mkfs, packageOf(type));
    if (!QFile::exists(QStringLiteral("/dev/loop-control")))
        return QStringLiteral("this machine has no loop devices (/dev/loop-control)");
    if (!kernelKnows(typeName(type)))
        return QStringLiteral("the kernel has no %1").arg(typeName(type));
    return {};
}

bool LoopFileSystem::create(Type type, const QString& mountPoint, qint64 bytes, QString* error) {
    const auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (const QString why = skipReason(type); !why.isEmpty())
        return fail(why);
    if (!mImageFolder.isValid())
        return fail(QStringLiteral("no folder for the image below /var/tmp"));
    mType = type;
    const QString image = mImageFolder.filePath(QStringLiteral("disk.img"));
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(bytes))
        return fail(QStringLiteral("cannot make the image %1").arg(image));
    file.close();
    QStringList mkfs{mkfsOf(type)};
    if (type == Type::Ext4)
        mkfs << QStringLiteral("-q") << QStringLiteral("-F");
    else if (type == Type::Xfs)
        mkfs << QStringLiteral("-q") << QStringLiteral("-f");
    else
        mkfs << QStringLiteral("-q") << QStringLiteral("-f");
    QByteArray out, err;
    if (ChildProcess::run(mkfs << image, &out, &err, 120000) != 0)
        return fail(
            QStringLiteral("%1 failed: %2").arg(mkfsOf(type), QString::fromUtf8(out + err).trimmed()));
    QDir().mkpath(mountPoint);
    if (ChildProcess::run(
            {QStringLiteral("mount"), QStringLiteral("-o"), QStringLiteral("loop"), image, mountPoint}, &out,
            &err, 60000) != 0)
        return fail(QStringLiteral("mount -o loop failed: %1").arg(QString::fromUtf8(out + err).trimmed()));
    mMountPoint = mountPoint;
    mMounted = true;
    return true;
}

void LoopFileSystem::unmount() {
    if (!mMounted)
        return;
    // A process that still has a file open there (a straggler) must not keep the image: detach it.
    if (ChildProcess::run({QStringLiteral("umount"), mMountPoint}) != 0)
        ChildProcess::run({QStringLiteral("umount"), QStringLiteral("-l"), mMountPoint});
    mMounted = false;
}
