// Whole-file operations on Windows: directory entries through FindFirstFileW, drive roots through
// GetDriveTypeW, and the system's own copy, delete and current-directory calls.
#include <windows.h>

#include "host/failure.hpp"
#include "host/file_system.hpp"
#include "host/wide_text_win32.hpp"

namespace host {

namespace {

constexpr std::size_t longest_looked_at = 260;

bool is_separator(wchar_t unit) {
    return unit == L'\\' || unit == L'/';
}

// A drive letter and a colon, with or without a backslash. The type is asked of the root
// ("C:\"); 0 (unknown) and 1 (no root directory) mean there is no such drive.
bool is_drive_name(const std::wstring& name) {
    return (name.size() == 2 || name.size() == 3) && name[1] == L':';
}

std::int64_t size_of_root(std::wstring root) {
    if (root.size() == 2) root.push_back(L'\\');
    return GetDriveTypeW(root.c_str()) > DRIVE_NO_ROOT_DIR ? is_directory : no_such_file;
}

// The directory entry, not the file: a file another program holds open is still found.
bool find_entry(const std::wstring& name, WIN32_FIND_DATAW& entry) {
    HANDLE search = FindFirstFileW(name.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return false;
    FindClose(search);
    return true;
}

// Network roots ("\\server\share") and names made of dots have no directory entry of their own.
std::int64_t size_without_entry(const std::wstring& name) {
    const bool network = name.rfind(L"\\\\", 0) == 0;
    const bool dots = name.rfind(L"..", 0) == 0;
    if (!network && !dots) return no_such_file;
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return size_of_root(name);
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? is_directory : no_such_file;
}

struct FileIdentity {
    DWORD volume = 0;
    DWORD index_high = 0;
    DWORD index_low = 0;
    bool operator==(const FileIdentity&) const = default;
};

bool identity_of(const Text& name, FileIdentity& identity) {
    HANDLE file =
        CreateFileW(wide_text(name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION information{};
    const bool known = GetFileInformationByHandle(file, &information) != 0;
    CloseHandle(file);
    identity = {information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
    return known;
}

// Notes the system's reason for the failure and answers 0.
int failed(const char16_t* operation, const Text& path) {
    note_system_failure(operation, path, static_cast<int>(GetLastError()));
    return 0;
}

}  // namespace

std::int64_t file_size(const Text& name) {
    if (name.empty()) return no_such_file;
    std::wstring path = wide_text(name.substr(0, longest_looked_at));
    if (is_drive_name(path)) return size_of_root(path);
    while (!path.empty() && is_separator(path.back())) path.pop_back();
    if (path.empty()) return no_such_file;
    WIN32_FIND_DATAW entry{};
    if (!find_entry(path, entry)) return size_without_entry(path);
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return is_directory;
    return (static_cast<std::int64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
}

bool same_file(const Text& first, const Text& second) {
    if (first.empty() || second.empty()) return false;
    FileIdentity a, b;
    return identity_of(first, a) && identity_of(second, b) && a == b;
}

int copy_file(const Text& source, const Text& target) {
    if (source.empty() || target.empty()) return 0;
    // The system refuses a copy onto the source while it reads it, but one and the same file
    // under two names (a hard link, another spelling) must be left alone as well.
    if (same_file(source, target)) return 0;
    if (CopyFileW(wide_text(source).c_str(), wide_text(target).c_str(), FALSE) != 0) return 1;
    // The system does not say which name failed: a source that is not there is the one to name,
    // as the POSIX copy names it when it cannot open it.
    const DWORD code = GetLastError();
    const bool source_missing = GetFileAttributesW(wide_text(source).c_str()) == INVALID_FILE_ATTRIBUTES;
    SetLastError(code);
    return failed(u"copy", source_missing ? source : target);
}

int set_current_directory(const Text& path) {
    if (path.empty()) return 0;
    if (SetCurrentDirectoryW(wide_text(path).c_str()) != 0) return 1;
    return failed(u"change to", path);
}

int delete_file(const Text& name, int options) {
    if (name.empty()) return 0;
    const std::wstring path = wide_text(name);
    if (options == delete_force) SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(path.c_str()) != 0) return 1;
    return failed(u"delete", name);
}

}  // namespace host
