// System error codes on Windows: GetLastError values, and FormatMessageW for the text of the
// codes our own table leaves out.
#include <windows.h>

#include "host/failure_os.hpp"

namespace host {

Cause cause_of_system_code(int system_code) {
    switch (static_cast<DWORD>(system_code)) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH: return Cause::not_found;
        case ERROR_ACCESS_DENIED: return Cause::no_permission;
        case ERROR_WRITE_PROTECT: return Cause::read_only_disk;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return Cause::disk_full;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return Cause::in_use;
        case ERROR_BAD_EXE_FORMAT: return Cause::not_a_program;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return Cause::no_memory;
        case ERROR_FILENAME_EXCED_RANGE: return Cause::name_too_long;
        case ERROR_CRC:
        case ERROR_READ_FAULT:
        case ERROR_WRITE_FAULT: return Cause::disk_error;
        default: return Cause::other;
    }
}

Text system_message(int system_code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(system_code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    Text message;
    for (DWORD at = 0; at < length; ++at) message.push_back(static_cast<char16_t>(text[at]));
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == u'\n' || message.back() == u'\r' ||
                                message.back() == u'.' || message.back() == u' '))
        message.pop_back();
    return message;
}

}  // namespace host
