#include "OldRsync.h"

#include <QFile>
#include <QStandardPaths>

OldRsync::OldRsync() : mPreviousPath(qgetenv("PATH")) {
    const QString real = QStandardPaths::findExecutable(QStringLiteral("rsync"));
    if (real.isEmpty() || !mDir.isValid()) {
        mError = QStringLiteral("no rsync to stand on");
        return;
    }
    // Options rsync gained after 2.6.9 (rsync's NEWS): the ones a caller could reach for.
    const QByteArray script =
        "#!/bin/bash\n"
        "for a in \"$@\"; do\n"
        "  case \"$a\" in\n"
        "    --) break;;\n"
        "    --version) echo '" +
        QByteArray(Banner) +
        "'; echo 'Copyright (C) 1996-2006 by Andrew Tridgell, Wayne Davison, and others.'; exit 0;;\n"
        "    --contimeout*|--info*|--debug*|--protect-args|-s|--iconv*|--no-inc-recursive|--mkpath|"
        "--old-args|--secluded-args|--trust-sender|--copy-as*|--open-noatime|--early-input*|--stderr*|"
        "--checksum-choice*|--compress-choice*|--max-alloc*|--crtimes|--atimes|--fsync|--append-verify|"
        "--preallocate|--delete-missing-args|--ignore-missing-args|--usermap*|--groupmap*|--chown*|"
        "--outbuf*)\n"
        "      printf '%s\\n' \"$a\" >>'" +
        QFile::encodeName(mDir.filePath(QStringLiteral("refused"))) +
        "'\n"
        "      echo \"rsync: $a: unknown option\" >&2\n"
        "      echo 'rsync error: syntax or usage error (code 1) at main.c(1333) [client=2.6.9]' >&2\n"
        "      exit 1;;\n"
        "  esac\n"
        "done\n"
        "exec '" +
        QFile::encodeName(real) + "' \"$@\"\n";
    QFile file(mDir.filePath(QStringLiteral("rsync")));
    if (!file.open(QIODevice::WriteOnly) || file.write(script) != script.size()) {
        mError = QStringLiteral("cannot write the stand-in");
        return;
    }
    file.close();
    // Others run it too: the programs start it as the person at the screen.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                        QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther |
                        QFileDevice::ExeOther);
    QFile::setPermissions(mDir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                           QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                           QFileDevice::ExeOther);
    qputenv("PATH", QFile::encodeName(mDir.path()) + ':' + mPreviousPath);
}

OldRsync::~OldRsync() {
    qputenv("PATH", mPreviousPath);
}

QString OldRsync::refused() const {
    QFile file(mDir.filePath(QStringLiteral("refused")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
