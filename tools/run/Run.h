#pragma once

#include <QString>

// The two sides of the main job (zh-run): the host side runs as root (RunMain.cpp), the application side
// as the user at the screen (RunApplication.cpp). Both print on the same clock, counted from the host's
// start (milliseconds since the epoch).
namespace Run {

void say(qint64 startMs, const QString& text);

// The application side: zh-run --app <profile root> <bus address> <user> <interactive|walk>
// <appliance address> <start ms>; the appliance password arrives as the first line of standard input.
// Returns the process's exit status (the walk: the number of failed steps).
int application(int argc, char** argv);

// Files the two sides share below <profile root>/run (the user's): screenshots, the walk's counts
// ("<passed> <failed>"), and the request for an appliance snapshot (removed once it is taken).
inline QString shotsFolder(const QString& root) {
    return root + QStringLiteral("/run/shots");
}
inline QString resultFile(const QString& root) {
    return root + QStringLiteral("/run/result");
}
inline QString snapshotRequest(const QString& root) {
    return root + QStringLiteral("/run/snapshot.request");
}

} // namespace Run
