// The lock on POSIX hosts: flock, which belongs to the open file, so that neither the program's
// other openings of the file nor a child process can let it go (the descriptor is close-on-exec).
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "host/failure.hpp"
#include "host/file_lock.hpp"

namespace host {

namespace {

int lock_descriptor = -1;

}  // namespace

LockResult try_lock_file(const Text& path) {
    if (lock_descriptor >= 0) return LockResult::taken;
    const int descriptor = open(to_utf8(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (descriptor < 0) {
        note_system_failure(u"lock", path, errno);
        return LockResult::failed;
    }
    int result;
    do {
        result = flock(descriptor, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0) {
        lock_descriptor = descriptor;
        return LockResult::taken;
    }
    const int error = errno;
    close(descriptor);
    if (error == EWOULDBLOCK) return LockResult::held_elsewhere;
    note_system_failure(u"lock", path, error);
    return LockResult::failed;
}

void release_lock_file() {
    if (lock_descriptor < 0) return;
    close(lock_descriptor);  // closing the only descriptor releases the lock
    lock_descriptor = -1;
}

}  // namespace host
