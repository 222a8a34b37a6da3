// The operating-system half of the numbered files on POSIX: open, read, write, lseek, fstat
// and close, plus the sharing modes, which POSIX does not have. Windows refuses a second
// opening of a file whose first opener did not share it; here a registry of the files this
// process holds open, keyed by device and inode, refuses it the same way. Without it the join
// of the output stage would empty the user's game.tap when the output tape has the same name
// ("game" + ".tap") while game.tap is open for reading.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/failure.hpp"
#include "host/files_os.hpp"

namespace host::file_os {

namespace {

// One opening of a file: what it does with the file and what it lets others do.
struct Claim {
    int descriptor;
    Access access;
    Sharing sharing;
};

using FileKey = std::pair<dev_t, ino_t>;

struct SharingRegistry {
    std::mutex lock;
    std::map<FileKey, std::vector<Claim>> claims;
};

// Never destroyed, so that files can still be closed while the process exits.
SharingRegistry& registry() {
    static auto* the_registry = new SharingRegistry;
    return *the_registry;
}

bool lets_others_read(Sharing sharing) {
    return sharing != Sharing::none;
}
bool lets_others_write(Sharing sharing) {
    return sharing == Sharing::all;
}

// Windows' rule, both ways round: the new opening must be allowed by the earlier one's
// sharing, and must itself share what the earlier one already does with the file.
bool reads(Access access) {
    return access != Access::write_only;
}
bool writes(Access access) {
    return access != Access::read_only;
}

bool can_open_beside(const Claim& earlier, Access access, Sharing sharing) {
    if (reads(access) && !lets_others_read(earlier.sharing)) return false;
    if (writes(access) && !lets_others_write(earlier.sharing)) return false;
    if (reads(earlier.access) && !lets_others_read(sharing)) return false;
    if (writes(earlier.access) && !lets_others_write(sharing)) return false;
    return true;
}

bool can_open(const SharingRegistry& known, const FileKey& key, Access access, Sharing sharing) {
    auto found = known.claims.find(key);
    if (found == known.claims.end()) return true;
    return std::all_of(found->second.begin(), found->second.end(),
                       [&](const Claim& claim) { return can_open_beside(claim, access, sharing); });
}

// Notes why the opening failed and gives up the descriptor, if there is one.
Handle failed_open(const Text& path, int error, int descriptor = -1) {
    note_system_failure(u"open", path, error);
    if (descriptor >= 0) ::close(descriptor);
    return no_handle;
}

}  // namespace

Handle open(const Text& path, Access access, Sharing sharing, Disposition disposition) {
    const std::string name = to_utf8(path);
    if (name.empty() || name.find('\0') != std::string::npos) return failed_open(path, ENOENT);

    SharingRegistry& known = registry();
    std::lock_guard<std::mutex> guard(known.lock);

    // Refuse a file that is open without sharing before touching it at all.
    struct stat before {};
    if (::stat(name.c_str(), &before) == 0 &&
        !can_open(known, FileKey(before.st_dev, before.st_ino), access, sharing)) {
        return failed_open(path, EBUSY);
    }

    int flags = O_CLOEXEC | (reads(access) ? (writes(access) ? O_RDWR : O_RDONLY) : O_WRONLY);
    if (disposition == Disposition::open_always || disposition == Disposition::create_always)
        flags |= O_CREAT;
    int descriptor;
    do {
        descriptor = ::open(name.c_str(), flags, 0666);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) return failed_open(path, errno);

    // The path may have led elsewhere by now (a file created or replaced meanwhile); decide on
    // the file actually opened, still without having emptied it.
    struct stat opened {};
    if (::fstat(descriptor, &opened) != 0) return failed_open(path, errno, descriptor);
    if (S_ISDIR(opened.st_mode)) return failed_open(path, EISDIR, descriptor);
    const FileKey key(opened.st_dev, opened.st_ino);
    if (!can_open(known, key, access, sharing)) return failed_open(path, EBUSY, descriptor);
    bool empties = disposition == Disposition::create_always || disposition == Disposition::truncate_existing;
    if (empties && S_ISREG(opened.st_mode) && ::ftruncate(descriptor, 0) != 0)
        return failed_open(path, errno, descriptor);

    known.claims[key].push_back(Claim{descriptor, access, sharing});
    return descriptor;
}

std::int64_t read(Handle handle, void* destination, std::int64_t count) {
    auto* into = static_cast<char*>(destination);
    std::int64_t total = 0;
    while (total < count) {
        const std::int64_t step = std::min<std::int64_t>(count - total, 1 << 30);
        const ssize_t got = ::read(static_cast<int>(handle), into + total, static_cast<size_t>(step));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) note_system_failure(u"read", Text(), errno);
        if (got <= 0) break;
        total += got;
    }
    return total;
}

std::int64_t write(Handle handle, const void* source, std::int64_t count) {
    // One request in the caller's eyes: WriteFile on a disk file writes everything or fails,
    // and write() on a regular file does the same unless interrupted or the disk fills.
    const auto* from = static_cast<const char*>(source);
    std::int64_t total = 0;
    while (total < count) {
        const std::int64_t step = std::min<std::int64_t>(count - total, 1 << 30);
        const ssize_t put = ::write(static_cast<int>(handle), from + total, static_cast<size_t>(step));
        if (put < 0 && errno == EINTR) continue;
        // A regular file that takes no more bytes without saying why is full.
        if (put <= 0) {
            note_system_failure(u"write", Text(), put < 0 ? errno : ENOSPC);
            break;
        }
        total += put;
    }
    return total;
}

bool seek(Handle handle, std::int64_t offset, Origin origin) {
    const int whence = origin == Origin::start ? SEEK_SET : SEEK_CUR;
    if (::lseek(static_cast<int>(handle), static_cast<off_t>(offset), whence) != static_cast<off_t>(-1))
        return true;
    note_system_failure(u"seek", Text(), errno);
    return false;
}

std::int64_t size(Handle handle) {
    struct stat status {};
    if (::fstat(static_cast<int>(handle), &status) != 0) {
        note_system_failure(u"size", Text(), errno);
        return -1;
    }
    return static_cast<std::int64_t>(status.st_size);
}

bool close(Handle handle) {
    const int descriptor = static_cast<int>(handle);
    SharingRegistry& known = registry();
    {
        std::lock_guard<std::mutex> guard(known.lock);
        for (auto entry = known.claims.begin(); entry != known.claims.end(); ++entry) {
            auto& claims = entry->second;
            auto mine = std::find_if(claims.begin(), claims.end(),
                                     [&](const Claim& claim) { return claim.descriptor == descriptor; });
            if (mine == claims.end()) continue;
            claims.erase(mine);
            if (claims.empty()) known.claims.erase(entry);
            break;
        }
    }
    // A network or full disk may report a failed write only here. The descriptor is gone even
    // when close fails, so it is never retried.
    if (::close(descriptor) == 0) return true;
    note_system_failure(u"close", Text(), errno);
    return false;
}

}  // namespace host::file_os
