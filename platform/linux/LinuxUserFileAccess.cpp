#include "UserFileAccess.h"

#include <pwd.h>
#include <sys/fsuid.h>
#include <unistd.h>

#include <vector>

namespace {

constexpr uid_t NobodyId = 65534;

} // namespace

std::optional<UserFileAccess::Account> UserFileAccess::lookup(const QString& userName) {
    if (!isSinglePathComponent(userName))
        return std::nullopt;
    const QByteArray name = userName.toLocal8Bit();
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::nullopt;
    return Account{userName, found->pw_uid, found->pw_gid};
}

bool UserFileAccess::isSinglePathComponent(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

UserFileAccess::UserFileAccess(const Account& account) {
    enter(account.uid, account.gid);
    mActive = true;
}

UserFileAccess::UserFileAccess(const QString& userName) {
    const std::optional<Account> account = lookup(userName);
    if (account) {
        enter(account->uid, account->gid);
        mActive = true;
    } else {
        enter(NobodyId, NobodyId);
    }
}

void UserFileAccess::enter(uid_t uid, gid_t gid) {
    if (geteuid() != 0)
        return;
    // The group first: once the uid is not 0 any more the thread may not change its group.
    mPreviousGid = gid_t(setfsgid(gid));
    mPreviousUid = uid_t(setfsuid(uid));
    mSwitched = true;
}

UserFileAccess::~UserFileAccess() {
    if (!mSwitched)
        return;
    setfsuid(mPreviousUid);
    setfsgid(mPreviousGid);
}
