#pragma once

#include "FilePathsController.h"
#include "FileTools.h"
#include "PropertyList.h"
#include "Protocol.h"
#include "RsyncConventions.h"

#include <QFile>
#include <QString>

#include <cstdio>
#include <unistd.h>

// The restore window's benchmarks: the appliance account they act for, and the person's state as a
// log-in leaves it.
namespace RestoreBench {

inline const QString Account = QStringLiteral("bench");
inline const QString Password = QStringLiteral("bench-only");

// The window acts for the user, here the account running the benchmark (rsync wants the password file
// to belong to whoever runs it, and files written as root take their folder's owner). Writes the
// account record and the rsync in use; returns the password file for the bare runs, or "" (the reason
// printed).
inline QString signIn(const FilePathsController& paths, const QString& scratch, const QString& address,
                      bool systemRsync) {
    const QString supportFolder = paths.pathForApplicationFile(AppPath::UserSupportFolder);
    FileTools::makePath(supportFolder);
    if (::chown(QFile::encodeName(supportFolder).constData(), ::geteuid(), ::getegid()) != 0) {
        std::printf("cannot take over %s\n", qPrintable(supportFolder));
        return QString();
    }
    PropertyList::writeDictionary(
        paths.pathForApplicationFile(AppPath::RsyncVersion),
        {{Protocol::DefaultRsync, systemRsync ? QStringLiteral("1") : QStringLiteral("0")}},
        PropertyList::PublicMode);
    PropertyList::writeDictionary(
        paths.pathForApplicationFile(AppPath::UserDetails),
        {{Protocol::UserName, Account}, {Protocol::Password, Password}, {Protocol::Ip, address}},
        PropertyList::OwnerOnlyMode);
    const QString barePasswordFile = scratch + QStringLiteral("/bare.pw");
    RsyncConventions::writePasswordFile(barePasswordFile, Password,
                                        RsyncConventions::ApplicationPasswordFileMode);
    return barePasswordFile;
}

} // namespace RestoreBench
