// Why an operation of the host layer failed. As errno and GetLastError do, each host operation
// that fails leaves its cause here (what it was doing, on which path, and the system's own
// error), and one that succeeds leaves the record as it was. So read it right after an
// operation has answered with its failure value; only the one place that prints turns it into
// words.
#pragma once

#include "host/text.hpp"

namespace host {

// The causes a user can act on, the same on every host; any other is kept as "other" with the
// system's code.
enum class Cause {
    none,
    other,
    not_found,       // no such file or folder
    no_permission,   // the system refuses it to this user
    read_only_disk,  // the disk or medium is write-protected
    disk_full,       // the disk is full, or the user's share of it
    in_use,          // another opening of the file does not share it
    is_folder,       // a file was needed and a folder was found
    not_a_program,   // the file cannot be run as a program
    no_memory,
    name_too_long,
    disk_error,  // the device failed to read or write
};

struct Failure {
    const char16_t* operation = u"";  // "create", "write", "close", "start", "lock" ...
    Text path;                        // the file it was about, where the operation names one
    Cause cause = Cause::none;
    int system_code = 0;  // errno on POSIX, GetLastError() on Windows; 0 when the cause is our own
};

// The last failure of this thread; its cause is none when nothing has failed since the last
// forget_failure.
const Failure& last_failure();

// Forgets the last failure.
void forget_failure();

// The cause in the user's words ("the disk is full"), from a table of our own for the causes
// above, so that they read the same on every host; for "other", the system's own message text
// (strerror on POSIX, FormatMessageW on Windows). Empty for none.
Text failure_words(const Failure& failure);

// For the host layer: records a failure with our own cause, or with the system's code, which the
// platform half turns into a cause.
void note_failure(const char16_t* operation, const Text& path, Cause cause);
void note_system_failure(const char16_t* operation, const Text& path, int system_code);
void note_failure(const Failure& failure);  // notes it again, as the last failure

}  // namespace host
