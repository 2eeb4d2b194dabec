#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <sys/types.h>
#include <vector>

// The daemon runs as root, but everything below a user's home belongs to that user: a name there may
// be a symlink or a FIFO the user planted. While a UserFileAccess is alive, the calling thread reaches
// the file system with the user's rights only (on Linux its file-system uid and gid; the process keeps
// root for everything else; its supplementary groups become the account's), so the kernel refuses what the
// user could not do: a planted symlink to /etc cannot be followed into a write, a "../" cannot reach beyond
// what the user may delete, and what the daemon creates is the user's from the start. Without root the object
// changes nothing.
//
// Scopes nest and are per thread; keep one on the stack around each piece of file work.
class UserFileAccess {
  public:
    struct Account {
        QString name;
        uid_t uid = 0;
        gid_t gid = 0;
        std::vector<gid_t> groups{}; // supplementary groups (the primary one included); none: only gid
    };

    // The local account of that name, if there is one.
    static std::optional<Account> lookup(const QString& userName);

    // True for a name that can stand for an account in a path: one non-empty path component that is
    // neither "." nor "..". Names from user-owned files are checked with this before use.
    static bool isSinglePathComponent(const QString& name);

    explicit UserFileAccess(const Account& account);
    // Looks the name up; when there is no such account, active() is false and the thread keeps only
    // the rights of "nobody" (so a caller that goes on anyway can do no harm).
    explicit UserFileAccess(const QString& userName);
    ~UserFileAccess();

    UserFileAccess(const UserFileAccess&) = delete;
    UserFileAccess& operator=(const UserFileAccess&) = delete;

    // True when the thread now acts as the account (or the process is not root and nothing changed
    // because nothing needed to).
    bool active() const { return mActive; }

  private:
    void enter(uid_t uid, gid_t gid, const std::vector<gid_t>& groups);

    bool mActive = false;
    bool mSwitched = false;
    bool mGroupsSwitched = false;
    uid_t mPreviousUid = 0;
    gid_t mPreviousGid = 0;
    std::vector<gid_t> mPreviousGroups;
};
