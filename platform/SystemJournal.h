#pragma once

#include <QString>

// The system's log (on Linux the journal): the daemon's trace lines are mirrored there, under the
// daemon's name, with a priority that says how bad the line is.
namespace SystemJournal {

enum class Priority { Error = 3, Warning = 4, Info = 6 };

// From the line's wording: what failed (rsync's own complaints, "failed", "Could not", a quota stop, a
// refused password) is an error; what is tried again (retries, a busy appliance) a warning; the rest
// information.
Priority priorityOf(const QString& message);

// Sends one message under identifier with its priority; a message of several lines stays one entry.
// Without a journal nothing happens.
void send(const QString& identifier, const QString& message);

} // namespace SystemJournal
