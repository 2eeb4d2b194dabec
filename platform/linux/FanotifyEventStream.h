#pragma once

#include "DescriptorEventStream.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QStringList>

#include <atomic>
#include <vector>

// The whole-disk stream: fanotify with one FAN_MARK_FILESYSTEM mark on every local, writable file
// system, reporting the folder's handle and the entry's name (FAN_REPORT_DFID_NAME). Folder handles
// are turned back into paths with open_by_handle_at against a mount of that file system. Needs
// CAP_SYS_ADMIN and Linux 5.9 or later; the factory falls back to inotify otherwise.
class FanotifyEventStream : public DescriptorEventStream {
  public:
    struct Mount {
        QByteArray mountPoint;
        QByteArray root; // the part of the file system this mount shows
        QByteArray device;
        QByteArray type;
        QByteArray source;
        bool readOnly = false;
    };

    FanotifyEventStream(std::chrono::milliseconds latency, Options options = {},
                        QString mountInfoPath = QStringLiteral("/proc/self/mountinfo"));
    ~FanotifyEventStream() override;

    QString backendName() const override { return QStringLiteral("fanotify"); }
    Coverage coverage() const override;
    // The folders at or below `folder` that no mark covers: mounts there that refused the mark or are
    // not worth one (network, tmpfs, FUSE), each as the deeper of the mount point and `folder`. Read
    // from the mount list of the moment; empty when everything there is marked.
    QList<QByteArray> unmarkedFolders(const QByteArray& folder) const;

    // Mounts as /proc/self/mountinfo lists them; names stay bytes.
    static QList<Mount> parseMountInfo(const QByteArray& text);
    // Local, writable and showing its whole file system: the mounts worth a mark.
    static bool isWatchable(const Mount& mount);

  protected:
    int openDescriptor(QString& error) override;
    void closeDescriptor() override;
    void prepare() override;
    void readAvailable() override;

  private:
    struct FileSystem {
        int fsid[2];
        int mountFd;
        QByteArray mountPoint;
    };
    void handle(const char* event, qsizetype length);
    // Marks the watchable mounts over or below the root that are not marked yet.
    void markFileSystems(int fd, const QList<Mount>& mounts, QStringList& notices);
    QByteArray folderPath(const char* fidRecord, const char* end, const char** name);

    QString mMountInfoPath;
    QList<FileSystem> mFileSystems;
    QList<QByteArray> mMarkedDevices;
    QHash<QByteArray, QByteArray> mFolders; // handle → path, dropped when a folder moves
    std::vector<char> mBuffer;
    std::atomic<qint64> mMarkCount{0}; // mFileSystems.size(), for coverage() on any thread
};
