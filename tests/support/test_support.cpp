// The test support: temporary folders, whole files, and child processes (fork and exec on POSIX,
// CreateProcessW on Windows) whose standard output and error go into files.
#include "test_support.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace test {

TempDir::TempDir(const std::string& prefix) {
    std::random_device random;
    do path_ = fs::temp_directory_path() / (prefix + "-" + std::to_string(random()));
    while (!fs::create_directory(path_));
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

Bytes read_bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string read_string(const fs::path& file) {
    const Bytes bytes = read_bytes(file);
    return {bytes.begin(), bytes.end()};
}

void write_bytes(const fs::path& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out) throw std::runtime_error("cannot write " + file.string());
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void write_string(const fs::path& file, const std::string& text) {
    write_bytes(file, bytes_of(text));
}

Bytes bytes_of(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes hex_bytes(const std::string& hex) {
    Bytes bytes;
    std::istringstream in(hex);
    for (std::string item; in >> item;)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(item, nullptr, 16)));
    return bytes;
}

fs::path kit_dir() {
    return TUNEFUSE_KIT_DIR;
}
fs::path helper(const std::string& name) {
    return fs::path(TUNEFUSE_HELPERS_DIR) / (name + TUNEFUSE_EXE_SUFFIX);
}

std::optional<fs::path> shared_dir(const std::string& inside) {
    if (fs::is_directory(fs::path(TUNEFUSE_SHARED_DIR) / inside))
        return fs::path(TUNEFUSE_SHARED_DIR) / inside;
    return std::nullopt;
}

#ifdef _WIN32

namespace {

std::wstring wide(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end())).wstring();
}

// One argument quoted so that the child's C runtime gives it back unchanged.
std::wstring quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    return out + std::wstring(backslashes * 2, L'\\') + L"\"";
}

HANDLE inherited(const std::wstring& file, bool write) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(file.c_str(), write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inherit, write ? CREATE_ALWAYS : OPEN_EXISTING, 0, nullptr);
}

// The program's environment with the options' changes, as the block CreateProcessW takes. (Set
// here instead, the changes would reach the children that other threads start meanwhile.)
std::wstring environment_block(const std::map<std::string, std::string>& changes) {
    std::map<std::wstring, std::wstring> variables;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
        const std::wstring text = entry;
        const std::size_t equals = text.find(L'=', 1);
        if (equals != std::wstring::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    FreeEnvironmentStringsW(strings);
    for (const auto& [name, value] : changes) {
        if (value.empty()) variables.erase(wide(name));
        if (!value.empty()) variables[wide(name)] = wide(value);
    }
    std::wstring block;
    for (const auto& [name, value] : variables) block += name + L"=" + value + L'\0';
    return block + L'\0';
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    TempDir io("run-process");
    std::wstring line;
    for (const std::string& argument : argv) line += (line.empty() ? L"" : L" ") + quoted(wide(argument));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inherited(L"NUL", false);
    startup.hStdOutput = inherited((io / "out").wstring(), true);
    startup.hStdError = inherited((io / "err").wstring(), true);
    std::wstring environment = environment_block(options.env);
    std::wstring directory = options.working_directory.wstring();
    PROCESS_INFORMATION started{};
    const bool ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                                   environment.data(), directory.empty() ? nullptr : directory.c_str(),
                                   &startup, &started);
    for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) CloseHandle(handle);
    if (!ok) return {127, "", ""};
    if (WaitForSingleObject(started.hProcess, static_cast<DWORD>(options.timeout_seconds) * 1000) !=
        WAIT_OBJECT_0) {
        TerminateProcess(started.hProcess, 137);
        WaitForSingleObject(started.hProcess, INFINITE);
    }
    DWORD code = 0;
    GetExitCodeProcess(started.hProcess, &code);
    CloseHandle(started.hProcess);
    CloseHandle(started.hThread);
    return {static_cast<int>(code), read_string(io / "out"), read_string(io / "err")};
}

#else

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    TempDir io("run-process");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(open((io / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open((io / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0) _exit(127);
        for (const auto& [name, value] : options.env)
            value.empty() ? unsetenv(name.c_str()) : setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) kill(pid, SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_string(io / "out"),
            read_string(io / "err")};
}

#endif

}  // namespace test
