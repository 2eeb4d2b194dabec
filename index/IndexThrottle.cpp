#include "IndexThrottle.h"

#include <QThread>

std::chrono::milliseconds IndexThrottle::duration(Pause pause) const {
    switch (pause) {
    case Pause::DeltaCreation:
        return mTimings.indexDeltaCreationPause;
    case Pause::BackupRecords:
        return mTimings.indexBackupRecordsPause;
    case Pause::ListingRecords:
        return mTimings.indexListingRecordsPause;
    case Pause::MergeRows:
        return mTimings.indexMergeRowsPause;
    case Pause::FolderEntries:
        return mTimings.indexFolderEntriesPause;
    }
    return std::chrono::milliseconds(0);
}

void IndexThrottle::pause(Pause pause) const {
    if (mObserver)
        mObserver(pause);
    const auto length = duration(pause);
    if (length.count() > 0)
        QThread::msleep(static_cast<unsigned long>(length.count()));
}
