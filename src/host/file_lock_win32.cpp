// The lock on Windows: LockFileEx on the file's first byte, through a handle that child
// processes do not inherit. The file is shared for everything, so only the lock decides.
#include <windows.h>

#include "host/failure.hpp"
#include "host/file_lock.hpp"
#include "host/wide_text_win32.hpp"

namespace host {

namespace {

HANDLE lock_handle = INVALID_HANDLE_VALUE;

}  // namespace

LockResult try_lock_file(const Text& path) {
    if (lock_handle != INVALID_HANDLE_VALUE) return LockResult::taken;
    const HANDLE file = CreateFileW(wide_text(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        note_system_failure(u"lock", path, static_cast<int>(GetLastError()));
        return LockResult::failed;
    }
    OVERLAPPED first_byte{};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &first_byte)) {
        lock_handle = file;
        return LockResult::taken;
    }
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return LockResult::held_elsewhere;
    note_system_failure(u"lock", path, static_cast<int>(error));
    return LockResult::failed;
}

void release_lock_file() {
    if (lock_handle == INVALID_HANDLE_VALUE) return;
    CloseHandle(lock_handle);  // closing the handle releases its locks
    lock_handle = INVALID_HANDLE_VALUE;
}

}  // namespace host
