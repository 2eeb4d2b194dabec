#include "FanotifyEventStream.h"
#include "FileSystemEventStream.h"
#include "InotifyEventStream.h"

// The daemon has CAP_SYS_ADMIN and gets the whole disk; anything less (a user session, an old
// kernel, a container without the capability) still sees the users folder.
std::unique_ptr<FileSystemEventStream> FileSystemEventStream::create(std::chrono::milliseconds latency,
                                                                     const Options& options,
                                                                     QString* fallbackReason) {
    auto whole = std::make_unique<FanotifyEventStream>(latency, options);
    if (whole->open())
        return whole;
    if (fallbackReason)
        *fallbackReason = whole->lastError();
    auto fallback = std::make_unique<InotifyEventStream>(latency, options);
    fallback->open(); // a refusal here shows in start() and lastError()
    return fallback;
}
