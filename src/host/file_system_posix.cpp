// The whole-file operations on POSIX hosts. Names reach the system as they are: "/" alone
// separates, and a "\" is part of a name.
#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "host/failure.hpp"
#include "host/file_system.hpp"

namespace host {

namespace {

bool has_wildcards(const std::string& path) {
    return path.find_first_of("*?") != std::string::npos;
}

// Wildcards are "*" and "?" alone; every other character, "[" included, stands for itself.
std::string glob_pattern(const std::string& path) {
    std::string pattern;
    for (char c : path) {
        if (c == '[' || c == ']' || c == '\\') pattern.push_back('\\');
        pattern.push_back(c);
    }
    return pattern;
}

std::int64_t size_of_entry(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return no_such_file;
    if (S_ISDIR(info.st_mode)) return is_directory;
    return static_cast<std::int64_t>(info.st_size);
}

std::int64_t size_of_first_match(const std::string& pattern) {
    glob_t found{};
    std::int64_t size = no_such_file;
    if (glob(glob_pattern(pattern).c_str(), 0, nullptr, &found) == 0 && found.gl_pathc > 0)
        size = size_of_entry(found.gl_pathv[0]);
    globfree(&found);
    return size;
}

}  // namespace

std::int64_t file_size(const Text& name) {
    if (name.empty()) return no_such_file;
    std::string path = to_utf8(name);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    std::int64_t size = size_of_entry(path);
    if (size == no_such_file && has_wildcards(path)) size = size_of_first_match(path);
    return size;
}

bool same_file(const Text& first, const Text& second) {
    struct stat a, b;
    if (first.empty() || second.empty()) return false;
    if (stat(to_utf8(first).c_str(), &a) != 0 || stat(to_utf8(second).c_str(), &b) != 0) return false;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

namespace {

// Notes the failure of a copy, on the file it happened to, and answers 0.
int failed_copy(const Text& path, int error) {
    note_system_failure(u"copy", path, error);
    return 0;
}

// Copies the bytes from one open file to the other: 0 when done, otherwise the error, and the
// file it happened to is the source when reading failed.
int copy_bytes(int in, int out, bool& reading) {
    char chunk[65536];
    for (;;) {
        reading = true;
        ssize_t got = read(in, chunk, sizeof chunk);
        if (got <= 0) return got == 0 ? 0 : errno;
        reading = false;
        for (ssize_t done = 0; done < got;) {
            ssize_t put = write(out, chunk + done, static_cast<std::size_t>(got - done));
            if (put <= 0) return put < 0 ? errno : ENOSPC;
            done += put;
        }
    }
}

}  // namespace

int copy_file(const Text& source, const Text& target) {
    if (source.empty() || target.empty()) return failed_copy(source.empty() ? source : target, ENOENT);
    // Copying a file onto itself would empty it before a byte is read.
    if (same_file(source, target)) return 0;
    int in = open(to_utf8(source).c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return failed_copy(source, errno);
    struct stat info;
    int error = fstat(in, &info) != 0 ? errno : S_ISDIR(info.st_mode) ? EISDIR : 0;
    int out = error != 0 ? -1 : open(to_utf8(target).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    bool reading = error != 0;
    if (error == 0 && out < 0) error = errno;
    if (out >= 0) error = copy_bytes(in, out, reading);
    // A failed close may be the only word of a write that did not reach the disk.
    if (out >= 0 && close(out) != 0 && error == 0) error = errno;
    close(in);
    return error == 0 ? 1 : failed_copy(reading ? source : target, error);
}

int set_current_directory(const Text& path) {
    if (path.empty()) return 0;
    if (chdir(to_utf8(path).c_str()) == 0) return 1;
    note_system_failure(u"change to", path, errno);
    return 0;
}

int delete_file(const Text& name, int options) {
    if (name.empty()) return 0;
    std::string path = to_utf8(name);
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return 0;
    // A write-protected file has no write permission for its owner; plain deletion leaves it,
    // as the program's other hosts do.
    bool protected_file = !S_ISLNK(info.st_mode) && (info.st_mode & S_IWUSR) == 0;
    if (protected_file && options != delete_force) return 0;
    if (unlink(path.c_str()) == 0) return 1;
    note_system_failure(u"delete", name, errno);
    return 0;
}

}  // namespace host
