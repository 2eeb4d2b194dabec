#include "FanotifyEventStream.h"
#include "FileSystemEventStream.h"
#include "InotifyEventStream.h"

#include <QFile>

namespace {

// The whole-disk stream, with inotify over the parts of the users folder no fanotify mark covers (a
// home on NFS, tmpfs or FUSE). Both hand their batches and reports to the same handlers.
class CombinedEventStream : public FileSystemEventStream {
  public:
    CombinedEventStream(std::unique_ptr<FanotifyEventStream> whole,
                        std::vector<std::unique_ptr<InotifyEventStream>> parts, QStringList notices)
        : mWhole(std::move(whole)), mParts(std::move(parts)), mNotices(std::move(notices)) {}
    ~CombinedEventStream() override { stop(); }

    bool start(BatchHandler onBatch, ReportHandler onReport) override {
        if (!mWhole->start(onBatch, onReport))
            return false;
        for (const QString& notice : std::as_const(mNotices))
            if (onReport)
                onReport({Report::Notice, notice});
        for (auto& part : mParts)
            if (!part->start(onBatch, onReport) && onReport)
                onReport({Report::Notice, QStringLiteral("File events: %1").arg(part->lastError())});
        return true;
    }
    void stop() override {
        for (auto& part : mParts)
            part->stop();
        mWhole->stop();
    }
    bool isRunning() const override { return mWhole->isRunning(); }
    QString lastError() const override { return mWhole->lastError(); }
    QString backendName() const override { return QStringLiteral("fanotify+inotify"); }
    Coverage coverage() const override {
        Coverage c = mWhole->coverage();
        for (const auto& part : mParts) {
            const Coverage p = part->coverage();
            c.foldersWatched += p.foldersWatched;
            c.folderLimitReached = c.folderLimitReached || p.folderLimitReached;
        }
        return c;
    }

  private:
    std::unique_ptr<FanotifyEventStream> mWhole;
    std::vector<std::unique_ptr<InotifyEventStream>> mParts;
    QStringList mNotices;
};

} // namespace

// The daemon has CAP_SYS_ADMIN and gets the whole disk; anything less (a user session, an old
// kernel, a container without the capability) still sees the users folder.
std::unique_ptr<FileSystemEventStream> FileSystemEventStream::create(std::chrono::milliseconds latency,
                                                                     const Options& options,
                                                                     QString* fallbackReason) {
    auto whole = std::make_unique<FanotifyEventStream>(latency, options);
    if (whole->open()) {
        // Homes on file systems without a mark are watched with inotify, not skipped.
        const QByteArray root = QFile::encodeName(options.root);
        const QByteArray users =
            options.root == QLatin1String("/") ? QFile::encodeName(options.usersFolder) : root;
        std::vector<std::unique_ptr<InotifyEventStream>> parts;
        QStringList notices;
        for (const QByteArray& folder : whole->unmarkedFolders(users)) {
            Options part = options;
            part.root = QFile::decodeName(folder);
            part.usersFolder = part.root;
            auto stream = std::make_unique<InotifyEventStream>(latency, part);
            stream->open();
            notices << QStringLiteral("File events: %1 has no fanotify mark, watched with inotify")
                           .arg(part.root);
            parts.push_back(std::move(stream));
        }
        if (parts.empty())
            return whole;
        return std::make_unique<CombinedEventStream>(std::move(whole), std::move(parts), notices);
    }
    if (fallbackReason)
        *fallbackReason = whole->lastError();
    auto fallback = std::make_unique<InotifyEventStream>(latency, options);
    fallback->setFallbackReason(whole->lastError());
    fallback->open(); // a refusal here shows in start() and lastError()
    return fallback;
}
