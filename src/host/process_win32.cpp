// Child processes on Windows: CreateProcessW with the command line alone (no application name),
// an anonymous pipe for the child's standard output, the shell as the fallback for programs that
// cannot be started directly, and the process handle for the wait and the exit code.
#include <windows.h>
// shellapi.h needs the declarations of windows.h before it.
#include <shellapi.h>

#include <string>

#include "host/failure.hpp"
#include "host/process.hpp"
#include "host/process_backend.hpp"
#include "host/wide_text_win32.hpp"

namespace host {

struct ChildRecord {
    ChildRecord* previous = nullptr;
    ChildRecord* next = nullptr;
    HANDLE process = nullptr;
    DWORD process_id = static_cast<DWORD>(-1);  // all ones when the shell started the child
    HANDLE output = nullptr;                    // reading end of the child's output pipe, or none
    int options = 0;
};

namespace {

// The list of kept children, newest first, and the critical section that guards it. Set up on
// first use, so that it exists even when a child is started before init_process_layer.
struct ChildList {
    CRITICAL_SECTION lock;
    ChildRecord* head = nullptr;
    ChildList() { InitializeCriticalSection(&lock); }
};

ChildList& children() {
    static auto* list = new ChildList;  // never destroyed: children may be released at exit
    return *list;
}

class ListLock {
public:
    ListLock() { EnterCriticalSection(&children().lock); }
    ~ListLock() { LeaveCriticalSection(&children().lock); }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;
};

void close_handle(HANDLE& handle) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = nullptr;
}

StartResult keep_record(HANDLE process, DWORD process_id, HANDLE output, int options) {
    auto* child = new ChildRecord;
    child->process = process;
    child->process_id = process_id;
    child->output = output;
    child->options = options;
    ListLock hold;
    child->next = children().head;
    if (children().head != nullptr) children().head->previous = child;
    children().head = child;
    return {true, child};
}

// What the start gives back once the child runs: waited for when asked, kept when asked.
StartResult finish_start(HANDLE process, DWORD process_id, HANDLE output, int options) {
    if ((options & start_wait) != 0 && process != nullptr) WaitForSingleObject(process, INFINITE);
    if ((options & start_keep_open) != 0) return keep_record(process, process_id, output, options);
    close_handle(process);
    close_handle(output);
    return {true, nullptr};
}

// The child's standard output: the writing end is inheritable and goes to the child; the
// program's reading end is made non-inheritable, so the child never holds it and the pipe ends
// when the child (and whatever it started) is done writing.
struct OutputPipe {
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;

    bool open() {
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE first_read_end = nullptr;
        if (!CreatePipe(&first_read_end, &write_end, &inheritable, 0)) return false;
        HANDLE self = GetCurrentProcess();
        const BOOL copied =
            DuplicateHandle(self, first_read_end, self, &read_end, 0, FALSE, DUPLICATE_SAME_ACCESS);
        CloseHandle(first_read_end);
        if (!copied) {
            read_end = nullptr;
            close_handle(write_end);
            return false;
        }
        return true;
    }
};

struct StartDescription {
    STARTUPINFOW startup{};
    DWORD creation_flags = NORMAL_PRIORITY_CLASS;
    BOOL inherit_handles = FALSE;

    explicit StartDescription(int options) {
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = (options & start_hidden) != 0 ? SW_HIDE : SW_SHOWNORMAL;
        if ((options & start_hidden) != 0) creation_flags |= CREATE_NEW_CONSOLE;
    }

    // The child writes to the pipe and shares the program's console, input and (unless it goes
    // to the pipe too) error.
    void output_to(HANDLE write_end, bool errors_too) {
        startup.dwFlags |= STARTF_USESTDHANDLES;
        startup.hStdOutput = write_end;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdError = errors_too ? write_end : GetStdHandle(STD_ERROR_HANDLE);
        inherit_handles = TRUE;
        creation_flags &= ~static_cast<DWORD>(CREATE_NEW_CONSOLE);
    }
};

bool create_child(const Text& command_line, const Text& working_directory, StartDescription& start,
                  PROCESS_INFORMATION& started) {
    std::wstring line = wide_text(command_line);  // CreateProcessW may write into it
    const std::wstring directory = wide_text(working_directory);
    if (CreateProcessW(nullptr, line.data(), nullptr, nullptr, start.inherit_handles, start.creation_flags,
                       nullptr, directory.empty() ? nullptr : directory.c_str(), &start.startup,
                       &started) != 0)
        return true;
    note_system_failure(u"start", command_line, static_cast<int>(GetLastError()));
    return false;
}

// The shell's working directory when none is given: the program's own folder, when its text
// names one by a backslash after the first character.
std::wstring shell_directory(const Text& program, const Text& working_directory) {
    if (!working_directory.empty()) return wide_text(working_directory);
    const std::size_t last = program.rfind(u'\\');
    if (last == Text::npos || last == 0) return {};
    return wide_text(program.substr(0, last + 1));
}

// For what CreateProcessW cannot start itself (a document, a program the shell finds by its own
// rules). It gives no process id and no pipe.
StartResult start_through_shell(const Text& program, const Text& arguments, const Text& working_directory,
                                int options) {
    const std::wstring file = wide_text(program);
    const std::wstring parameters = wide_text(arguments);
    const std::wstring directory = shell_directory(program, working_directory);
    SHELLEXECUTEINFOW request{};
    request.cbSize = sizeof request;
    request.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_DDEWAIT | SEE_MASK_FLAG_NO_UI;
    request.lpFile = file.c_str();
    request.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
    request.lpDirectory = directory.empty() ? nullptr : directory.c_str();
    request.nShow = (options & start_hidden) != 0 ? SW_HIDE : SW_SHOWNORMAL;
    if (!ShellExecuteExW(&request)) {
        note_system_failure(u"start", program, static_cast<int>(GetLastError()));
        return {};
    }
    return finish_start(request.hProcess, static_cast<DWORD>(-1), nullptr, options);
}

DWORD bytes_waiting(HANDLE pipe) {
    DWORD available = 0;
    if (pipe == nullptr || !PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) return 0;
    return available;
}

bool has_ended(ChildRecord* child) {
    return child->process == nullptr || WaitForSingleObject(child->process, 0) == WAIT_OBJECT_0;
}

}  // namespace

void init_process_layer() {
    children();
}

StartResult start_program(const Text& program, const Text& arguments, const Text& working_directory,
                          int options) {
    const bool read_output = (options & start_keep_open) != 0 && (options & start_read_output) != 0;
    StartDescription start(options);
    OutputPipe pipe;
    // A pipe that cannot be made means starting without one, as when no output was asked for.
    if (read_output && pipe.open()) start.output_to(pipe.write_end, (options & start_read_errors) != 0);
    PROCESS_INFORMATION started{};
    const bool created =
        create_child(build_command_line(program, arguments), working_directory, start, started);
    close_handle(pipe.write_end);
    if (!created) {
        close_handle(pipe.read_end);
        // A child whose output is to be read is never started any other way.
        if ((options & start_read_output) != 0) return {};
        return start_through_shell(program, arguments, working_directory, options);
    }
    CloseHandle(started.hThread);
    return finish_start(started.hProcess, started.dwProcessId, pipe.read_end, options);
}

bool program_running(ChildRecord* child) {
    if (child == nullptr) return false;
    if (!has_ended(child)) return true;
    return bytes_waiting(child->output) != 0;
}

std::int64_t program_output_available(ChildRecord* child) {
    if (child == nullptr) return 0;
    return bytes_waiting(child->output);
}

// One byte per read, so that whatever this line does not take is still in the pipe and
// program_output_available keeps telling the exact number of unread bytes.
Text read_program_line(ChildRecord* child) {
    if (child == nullptr || child->output == nullptr) return {};
    std::string bytes;
    for (;;) {
        char byte = 0;
        DWORD got = 0;
        if (!ReadFile(child->output, &byte, 1, &got, nullptr) || got == 0 || byte == '\n') break;
        if (byte != '\r') bytes.push_back(byte);
    }
    return from_utf8(bytes);
}

std::int32_t program_exit_code(ChildRecord* child) {
    DWORD code = 0;
    if (child == nullptr || child->process == nullptr || !GetExitCodeProcess(child->process, &code)) return 0;
    return static_cast<std::int32_t>(code);
}

// ReadFile blocks until the child writes or the last writer closes the pipe, so nothing spins.
void discard_program_output(ChildRecord* child) {
    if (child == nullptr || child->output == nullptr) return;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(child->output, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    }
}

std::int32_t wait_for_program_end(ChildRecord* child) {
    if (child == nullptr) return 0;
    if (child->process != nullptr) WaitForSingleObject(child->process, INFINITE);
    return program_exit_code(child);
}

void release_program(ChildRecord* child) {
    if (child == nullptr) return;
    // The pipe goes first: a child still writing to it then ends instead of waiting for a reader.
    close_handle(child->output);
    if (child->process != nullptr) WaitForSingleObject(child->process, INFINITE);
    close_handle(child->process);
    {
        ListLock hold;
        if (child->previous != nullptr) child->previous->next = child->next;
        if (child->next != nullptr) child->next->previous = child->previous;
        if (children().head == child) children().head = child->next;
    }
    delete child;
}

}  // namespace host
