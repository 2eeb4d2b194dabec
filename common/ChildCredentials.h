#pragma once

#include <QString>

#include <optional>
#include <sys/types.h>
#include <vector>

class QProcess;

// The account a child process of root runs as: its uid, primary gid and supplementary groups, and a
// clean environment of its own (nothing of the daemon's but the locale), so that what the child does
// with files and with its environment is what the account itself could do.
struct ChildCredentials {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    QString home; // the account's home, for HOME

    // The account's groups as the group database lists them (getgrouplist); nullopt without root or
    // when there is no such account.
    static std::optional<ChildCredentials> forAccount(const QString& name, uid_t uid, gid_t gid,
                                                      const QString& home = QString());

    // The search path of that clean environment: where a child of root finds "rsync".
    static QString searchPath();

    // Makes process start as the account (only when this process is root): credentials dropped in
    // the child between fork and exec, working folder "/", the clean environment. With
    // ownProcessGroup the child also leads a process group of its own (to be ended with its children).
    void applyTo(QProcess& process, const QString& accountName, bool ownProcessGroup = false) const;
};
