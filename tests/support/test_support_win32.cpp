// The Windows half of the test support: temporary directories under the system's temporary
// folder, and child processes started with CreateProcessW, their output read through pipes.
#include <windows.h>

#include <chrono>
#include <random>
#include <stdexcept>
#include <thread>

#include "test_support.hpp"

namespace test {

namespace {

std::wstring wide_of(const std::string& utf8) {
    if (utf8.empty()) return {};
    int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), units);
    return wide;
}

// One argument quoted so that the child's C runtime gives it back unchanged.
std::wstring quoted_argument(const std::wstring& argument) {
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
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

std::wstring command_line_of(const std::vector<std::string>& argv) {
    std::wstring line;
    for (const std::string& argument : argv) {
        if (!line.empty()) line.push_back(L' ');
        line += quoted_argument(wide_of(argument));
    }
    return line;
}

// The program's environment with the options' changes, as the block CreateProcessW takes.
std::wstring environment_block(const std::map<std::string, std::string>& changes) {
    std::map<std::wstring, std::wstring> variables;
    wchar_t* strings = GetEnvironmentStringsW();
    for (const wchar_t* entry = strings; *entry != L'\0'; entry += wcslen(entry) + 1) {
        std::wstring text = entry;
        std::size_t equals = text.find(L'=', 1);
        if (equals != std::wstring::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
    }
    FreeEnvironmentStringsW(strings);
    for (const auto& [name, value] : changes) {
        if (value.empty())
            variables.erase(wide_of(name));
        else
            variables[wide_of(name)] = wide_of(value);
    }
    std::wstring block;
    for (const auto& [name, value] : variables) block += name + L"=" + value + L'\0';
    block.push_back(L'\0');
    return block;
}

struct Pipe {
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    // The child's end is inheritable, the test's end is not.
    explicit Pipe(bool child_reads) {
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        if (!CreatePipe(&read_end, &write_end, &inheritable, 0))
            throw std::runtime_error("CreatePipe failed");
        SetHandleInformation(child_reads ? write_end : read_end, HANDLE_FLAG_INHERIT, 0);
    }
};

void close_handle(HANDLE& handle) {
    if (handle != nullptr) CloseHandle(handle);
    handle = nullptr;
}

void read_all(HANDLE pipe, std::string* into) {
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0) into->append(chunk, got);
}

PROCESS_INFORMATION start_child(const std::vector<std::string>& argv, const ProcessOptions& options, Pipe& in,
                                Pipe& out, Pipe& err) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.read_end;
    startup.hStdOutput = out.write_end;
    startup.hStdError = err.write_end;
    std::wstring line = command_line_of(argv);
    std::wstring environment = environment_block(options.env);
    std::wstring directory = options.working_directory.wstring();
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                        environment.data(), directory.empty() ? nullptr : directory.c_str(), &startup,
                        &started)) {
        started.hProcess = nullptr;
    }
    return started;
}

}  // namespace

TempDir::TempDir(const std::string& prefix) {
    std::random_device seed;
    std::mt19937 random(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate =
            fs::temp_directory_path() / (prefix + "-" + std::to_string(random() % 1000000000));
        if (CreateDirectoryW(candidate.wstring().c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Read-only files would stop the removal: clear the attribute first.
    for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        SetFileAttributesW(it->path().wstring().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    fs::remove_all(path_, ignored);
}

// A program that cannot be started gives exit code 127, as a shell reports it.
ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    Pipe in(true), out(false), err(false);
    ProcessResult result;
    PROCESS_INFORMATION started = start_child(argv, options, in, out, err);
    close_handle(in.read_end);
    close_handle(out.write_end);
    close_handle(err.write_end);
    if (started.hProcess == nullptr) {
        close_handle(in.write_end);
        close_handle(out.read_end);
        close_handle(err.read_end);
        result.exit_code = 127;
        return result;
    }
    CloseHandle(started.hThread);
    std::thread out_reader(read_all, out.read_end, &result.out);
    std::thread err_reader(read_all, err.read_end, &result.err);
    if (options.input) {
        DWORD put = 0;
        WriteFile(in.write_end, options.input->data(), static_cast<DWORD>(options.input->size()), &put,
                  nullptr);
    }
    close_handle(in.write_end);
    const DWORD limit = static_cast<DWORD>(options.timeout_seconds) * 1000;
    if (WaitForSingleObject(started.hProcess, limit) != WAIT_OBJECT_0)
        TerminateProcess(started.hProcess, 137);
    out_reader.join();
    err_reader.join();
    DWORD code = 0;
    GetExitCodeProcess(started.hProcess, &code);
    result.exit_code = static_cast<int>(code);
    CloseHandle(started.hProcess);
    close_handle(out.read_end);
    close_handle(err.read_end);
    return result;
}

}  // namespace test
