// Host-internal: the few operating-system file operations under the numbered files of
// files.hpp. files.cpp holds everything portable (the file table, the buffer, text reading);
// files_posix.cpp and files_win32.cpp implement only what is declared here. Nothing outside
// src/host/files*.cpp includes this header. Every operation that fails notes its cause
// (failure.hpp) before it answers.
#pragma once

#include <cstdint>

#include "host/text.hpp"

namespace host::file_os {

// An open operating-system file: a descriptor on POSIX, a HANDLE on Windows.
using Handle = std::intptr_t;
inline constexpr Handle no_handle = -1;

enum class Access { read_write, write_only, read_only };

// What other openers may do while the file is open (FILE_SHARE_* on Windows). On POSIX the
// backend enforces it between the files this process opens.
enum class Sharing { none, read, all };

enum class Disposition {
    open_always,        // open, creating a missing file empty; contents kept
    create_always,      // create, or empty an existing file
    truncate_existing,  // empty an existing file; a missing one is an error
    open_existing,      // open an existing file as it is; a missing one is an error
};

// Opens the file. An opening refused by the sharing of an earlier opening of the same file
// fails before the file is changed in any way (an existing file is not emptied). Returns
// no_handle on failure.
Handle open(const Text& path, Access access, Sharing sharing, Disposition disposition);

// Reads up to count bytes at the current position. Returns the bytes read (fewer than count
// only at the end of the file or on an error), or 0 when nothing could be read.
std::int64_t read(Handle handle, void* destination, std::int64_t count);

// Writes count bytes at the current position in one request to the system. Returns the bytes
// written, 0 when nothing could be written.
std::int64_t write(Handle handle, const void* source, std::int64_t count);

enum class Origin { start, current };

// Moves the position by offset from the origin. False on failure (a position before the
// start of the file, a handle that cannot seek).
bool seek(Handle handle, std::int64_t offset, Origin origin);

// The file's length in bytes, -1 on failure.
std::int64_t size(Handle handle);

// Closes the handle and ends its sharing claims. False when the system reports a failure (data
// it had still to write may be lost); the handle is closed either way.
bool close(Handle handle);

}  // namespace host::file_os
