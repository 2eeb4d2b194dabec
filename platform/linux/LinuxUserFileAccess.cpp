#include "UserFileAccess.h"

#include <algorithm>
#include <grp.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr uid_t NobodyId = 65534;

// The C library's setgroups() changes every thread of the process; the system call itself changes
// only the calling thread, which is what a per-thread scope needs.
bool setThreadGroups(const std::vector<gid_t>& groups) {
    return ::syscall(SYS_setgroups, groups.size(), groups.empty() ? nullptr : groups.data()) == 0;
}

std::vector<gid_t> threadGroups() {
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? size_t(count) : 0);
    if (count > 0 && ::getgroups(count, groups.data()) != count)
        groups.clear();
    return groups;
}

std::vector<gid_t> groupsOf(const char* name, gid_t primary) {
    int count = 32;
    std::vector<gid_t> groups(32);
    while (::getgrouplist(name, primary, groups.data(), &count) < 0 && count < 65536) {
        count = std::max(count, 2 * int(groups.size()));
        groups.resize(size_t(count));
    }
    groups.resize(size_t(std::max(count, 0)));
    return groups;
}

} // namespace

std::optional<UserFileAccess::Account> UserFileAccess::lookup(const QString& userName) {
    if (!isSinglePathComponent(userName))
        return std::nullopt;
    const QByteArray name = userName.toLocal8Bit();
    const long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::nullopt;
    return Account{userName, found->pw_uid, found->pw_gid, groupsOf(found->pw_name, found->pw_gid)};
}

bool UserFileAccess::isSinglePathComponent(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

UserFileAccess::UserFileAccess(const Account& account) {
    enter(account.uid, account.gid,
          account.groups.empty() ? std::vector<gid_t>{account.gid} : account.groups);
    mActive = true;
}

UserFileAccess::UserFileAccess(const QString& userName) {
    const std::optional<Account> account = lookup(userName);
    if (account) {
        enter(account->uid, account->gid, account->groups);
        mActive = true;
    } else {
        enter(NobodyId, NobodyId, {NobodyId});
    }
}

void UserFileAccess::enter(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) {
    if (geteuid() != 0)
        return;
    // The groups first, then the file-system ids; the uid last, as it drops the file capabilities.
    mPreviousGroups = threadGroups();
    mGroupsSwitched = setThreadGroups(groups);
    mPreviousGid = gid_t(setfsgid(gid));
    mPreviousUid = uid_t(setfsuid(uid));
    mSwitched = true;
}

UserFileAccess::~UserFileAccess() {
    if (!mSwitched)
        return;
    // Back to file-system uid 0 first: that raises the file-system capabilities again.
    setfsuid(mPreviousUid);
    setfsgid(mPreviousGid);
    if (mGroupsSwitched)
        setThreadGroups(mPreviousGroups);
}
