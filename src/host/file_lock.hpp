// An advisory lock on a file, by which processes take turns: builds in one program directory
// use one set of work files and must not run at the same time. The system releases the lock
// when the process ends, however it ends, so a build that was killed holds up no other.
#pragma once

#include "host/text.hpp"

namespace host {

enum class LockResult {
    taken,           // this process holds the lock now (or held it already)
    held_elsewhere,  // another process holds it: try again later
    failed,          // the file could not be opened or locked; the cause is in last_failure()
};

// Opens the file, creating it empty when it is missing, and tries once to take its lock for
// this process. Never waits. The file is kept open, and out of the reach of child processes,
// while the lock is held; one lock at a time.
LockResult try_lock_file(const Text& path);

// Releases the lock taken by try_lock_file and closes its file, which stays where it is.
// Nothing happens when no lock is held.
void release_lock_file();

}  // namespace host
