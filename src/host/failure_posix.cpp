// System error codes on POSIX hosts: errno values.
#include <cerrno>
#include <cstring>

#include "host/failure_os.hpp"

namespace host {

Cause cause_of_system_code(int system_code) {
    switch (system_code) {
        case ENOENT:
        case ENOTDIR: return Cause::not_found;
        case EACCES:
        case EPERM: return Cause::no_permission;
        case EROFS: return Cause::read_only_disk;
        case ENOSPC:
        case EDQUOT: return Cause::disk_full;
        case EBUSY:
        case ETXTBSY: return Cause::in_use;
        case EISDIR: return Cause::is_folder;
        case ENOEXEC: return Cause::not_a_program;
        case ENOMEM: return Cause::no_memory;
        case ENAMETOOLONG: return Cause::name_too_long;
        case EIO: return Cause::disk_error;
        default: return Cause::other;
    }
}

Text system_message(int system_code) {
    return from_utf8(std::strerror(system_code));
}

}  // namespace host
