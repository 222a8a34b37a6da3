// The operating-system half of the numbered files on Windows: CreateFileW with the caller's
// sharing mode (the system itself refuses an opening the earlier ones do not share), ReadFile,
// WriteFile, SetFilePointerEx, GetFileSizeEx and CloseHandle. A failure's cause is the system's
// GetLastError.
#include <windows.h>

#include <algorithm>

#include "host/failure.hpp"
#include "host/files_os.hpp"
#include "host/wide_text_win32.hpp"

namespace host::file_os {

namespace {

// The largest transfer handed to one ReadFile or WriteFile call.
constexpr std::int64_t largest_step = 1 << 30;

HANDLE native(Handle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

DWORD share_mode(Sharing sharing) {
    switch (sharing) {
        case Sharing::read: return FILE_SHARE_READ;
        case Sharing::all: return FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        default: return 0;
    }
}

DWORD creation(Disposition disposition) {
    switch (disposition) {
        case Disposition::create_always: return CREATE_ALWAYS;
        case Disposition::truncate_existing: return TRUNCATE_EXISTING;
        case Disposition::open_existing: return OPEN_EXISTING;
        default: return OPEN_ALWAYS;
    }
}

}  // namespace

Handle open(const Text& path, Access access, Sharing sharing, Disposition disposition) {
    if (path.empty() || path.find(u'\0') != Text::npos) {
        note_system_failure(u"open", path, ERROR_FILE_NOT_FOUND);
        return no_handle;
    }
    const DWORD wanted = access == Access::read_write  ? GENERIC_READ | GENERIC_WRITE
                         : access == Access::read_only ? GENERIC_READ
                                                       : GENERIC_WRITE;
    // The retry of a create (write access, truncate) passes no attributes, as an existing file
    // keeps its own.
    const DWORD attributes =
        disposition == Disposition::truncate_existing ? 0 : static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL);
    HANDLE file = CreateFileW(wide_text(path).c_str(), wanted, share_mode(sharing), nullptr,
                              creation(disposition), attributes, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        note_system_failure(u"open", path, static_cast<int>(GetLastError()));
        return no_handle;
    }
    return reinterpret_cast<Handle>(file);
}

std::int64_t read(Handle handle, void* destination, std::int64_t count) {
    auto* into = static_cast<char*>(destination);
    std::int64_t total = 0;
    while (total < count) {
        const DWORD step = static_cast<DWORD>(std::min(count - total, largest_step));
        DWORD got = 0;
        if (!ReadFile(native(handle), into + total, step, &got, nullptr)) {
            note_system_failure(u"read", Text(), static_cast<int>(GetLastError()));
            break;
        }
        if (got == 0) break;
        total += got;
    }
    return total;
}

std::int64_t write(Handle handle, const void* source, std::int64_t count) {
    const auto* from = static_cast<const char*>(source);
    std::int64_t total = 0;
    while (total < count) {
        const DWORD step = static_cast<DWORD>(std::min(count - total, largest_step));
        DWORD put = 0;
        const bool written = WriteFile(native(handle), from + total, step, &put, nullptr) != 0;
        if (!written || put == 0) {
            // A disk file that takes no more bytes without saying why is full.
            note_system_failure(u"write", Text(),
                                written ? ERROR_DISK_FULL : static_cast<int>(GetLastError()));
            break;
        }
        total += put;
    }
    return total;
}

bool seek(Handle handle, std::int64_t offset, Origin origin) {
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    const DWORD method = origin == Origin::start ? FILE_BEGIN : FILE_CURRENT;
    if (SetFilePointerEx(native(handle), distance, nullptr, method) != 0) return true;
    note_system_failure(u"seek", Text(), static_cast<int>(GetLastError()));
    return false;
}

std::int64_t size(Handle handle) {
    LARGE_INTEGER length;
    if (!GetFileSizeEx(native(handle), &length)) {
        note_system_failure(u"size", Text(), static_cast<int>(GetLastError()));
        return -1;
    }
    return length.QuadPart;
}

bool close(Handle handle) {
    if (CloseHandle(native(handle)) != 0) return true;
    note_system_failure(u"close", Text(), static_cast<int>(GetLastError()));
    return false;
}

}  // namespace host::file_os
