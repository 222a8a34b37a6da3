// Child processes on POSIX hosts: posix_spawnp, a pipe for the child's standard output, and
// waitpid for its end.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>
#include <vector>

#include "host/command_line.hpp"
#include "host/failure.hpp"
#include "host/process.hpp"
#include "host/process_backend.hpp"

extern char** environ;

namespace host {

struct ChildRecord {
    ChildRecord* previous = nullptr;
    ChildRecord* next = nullptr;
    pid_t process_id = -1;
    int output = -1;  // reading end of the child's output pipe, or -1
    int options = 0;
    bool ended = false;
    std::int32_t exit_code = 0;
};

namespace {

// Whether the program was started with hangups ignored, as nohup does; set at start-up.
bool hangup_ignored_at_start = false;

// What program_exit_code gives while the child still runs, the same code a Windows host reports.
constexpr std::int32_t still_active = 259;

// The list of kept children, newest first, and the lock that guards it.
std::mutex child_list_lock;
ChildRecord* child_list = nullptr;

// Children started neither kept nor waited for: reaped when the next child starts, so that
// ended ones do not linger as zombies.
std::vector<pid_t> unwatched_children;

std::int32_t exit_code_of(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 0;
}

// Waits for the child (or, with no_hang, only looks) and records its end. Returns false while it
// still runs.
bool collect_end(ChildRecord* child, bool no_hang) {
    if (child->ended) return true;
    int status = 0;
    pid_t result;
    do {
        result = waitpid(child->process_id, &status, no_hang ? WNOHANG : 0);
    } while (result < 0 && errno == EINTR);
    if (result == 0) return false;
    child->ended = true;
    child->exit_code = result < 0 ? 0 : exit_code_of(status);
    return true;
}

void reap_unwatched_children() {
    std::lock_guard<std::mutex> hold(child_list_lock);
    std::erase_if(unwatched_children, [](pid_t pid) {
        int status = 0;
        return waitpid(pid, &status, WNOHANG) != 0;
    });
}

void add_to_list(ChildRecord* child) {
    std::lock_guard<std::mutex> hold(child_list_lock);
    child->next = child_list;
    if (child_list != nullptr) child_list->previous = child;
    child_list = child;
}

void remove_from_list(ChildRecord* child) {
    std::lock_guard<std::mutex> hold(child_list_lock);
    if (child->previous != nullptr) child->previous->next = child->next;
    if (child->next != nullptr) child->next->previous = child->previous;
    if (child_list == child) child_list = child->next;
}

// The argument vector the child sees: the command line split as a Windows C runtime splits it.
std::vector<std::string> argument_vector(const Text& program, const Text& arguments) {
    std::vector<Text> split = split_like_c_runtime(build_command_line(program, arguments));
    // A POSIX path may hold a double quote, which a quoted command line cannot carry: an unquoted
    // program text is the program as it stands, and only the arguments are split.
    if (!program.empty() && program.front() != u'"') {
        split = split_like_c_runtime(u"program " + arguments);
        split.front() = program;
    }
    std::vector<std::string> words;
    for (const Text& word : split) words.push_back(to_utf8(word));
    return words;
}

std::vector<char*> pointers_to(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    for (std::string& word : words) pointers.push_back(word.data());
    pointers.push_back(nullptr);
    return pointers;
}

void close_if_open(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// The two ends of the output pipe, both close-on-exec: the child gets the writing end as its
// standard output through dup2, which clears the flag on the copy.
struct OutputPipe {
    int read_end = -1;
    int write_end = -1;
    bool open() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) return false;
        read_end = ends[0];
        write_end = ends[1];
        return true;
    }
};

// How the child is set up: an empty signal mask and default signal actions (the console layer
// blocks SIGHUP in the program's threads, and a tool must not inherit that), its standard output
// on the pipe when there is one, and its own working directory when one is given.
class SpawnSetup {
public:
    SpawnSetup() {
        posix_spawnattr_init(&attributes_);
        posix_spawn_file_actions_init(&actions_);
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        // A hangup the program was started to ignore (nohup) stays ignored for its tools too.
        if (hangup_ignored_at_start) sigdelset(&all, SIGHUP);
        posix_spawnattr_setsigmask(&attributes_, &none);
        posix_spawnattr_setsigdefault(&attributes_, &all);
        posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attributes_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    bool output_to(int write_end, bool errors_too) {
        if (errors_too && posix_spawn_file_actions_adddup2(&actions_, write_end, STDERR_FILENO) != 0)
            return false;
        return posix_spawn_file_actions_adddup2(&actions_, write_end, STDOUT_FILENO) == 0;
    }
    bool working_directory(const std::string& directory) {
        return posix_spawn_file_actions_addchdir_np(&actions_, directory.c_str()) == 0;
    }
    // The child's process id, or -1 when it could not be started, with the cause noted.
    pid_t spawn(std::vector<std::string>& words) {
        if (words.empty() || words.front().empty()) return failed(ENOENT, Text());
        std::vector<char*> argv = pointers_to(words);
        pid_t pid = -1;
        const int error = posix_spawnp(&pid, argv[0], &actions_, &attributes_, argv.data(), environ);
        return error == 0 ? pid : failed(error, from_utf8(words.front()));
    }

private:
    static pid_t failed(int error, const Text& program) {
        note_system_failure(u"start", program, error);
        return -1;
    }
    posix_spawnattr_t attributes_;
    posix_spawn_file_actions_t actions_;
};

// Starts the child; on success the pipe's writing end is closed here (the child holds its copy).
pid_t spawn_child(const Text& program, const Text& arguments, const Text& working_directory, OutputPipe& pipe,
                  bool errors_too) {
    SpawnSetup setup;
    bool ready = pipe.write_end < 0 || setup.output_to(pipe.write_end, errors_too);
    if (!working_directory.empty()) ready = ready && setup.working_directory(to_utf8(working_directory));
    std::vector<std::string> words = argument_vector(program, arguments);
    pid_t pid = ready ? setup.spawn(words) : -1;
    close_if_open(pipe.write_end);
    return pid;
}

StartResult keep_record(pid_t pid, int output, int options, bool ended, std::int32_t exit_code) {
    auto* child = new ChildRecord;
    child->process_id = pid;
    child->output = output;
    child->options = options;
    child->ended = ended;
    child->exit_code = exit_code;
    add_to_list(child);
    return {true, child};
}

}  // namespace

void init_process_layer() {
    struct sigaction hangup {};
    hangup_ignored_at_start = sigaction(SIGHUP, nullptr, &hangup) == 0 && hangup.sa_handler == SIG_IGN;
    std::lock_guard<std::mutex> hold(child_list_lock);
    child_list = nullptr;
    unwatched_children.clear();
}

// There is no window on POSIX hosts, so start_hidden changes nothing here. Without read_output
// the child shares the program's standard output as well as its error and input.
StartResult start_program(const Text& program, const Text& arguments, const Text& working_directory,
                          int options) {
    reap_unwatched_children();
    const bool keep_open = (options & start_keep_open) != 0;
    OutputPipe pipe;
    // A pipe that cannot be made means starting without one, as when no output was asked for.
    if (keep_open && (options & start_read_output) != 0) pipe.open();
    pid_t pid = spawn_child(program, arguments, working_directory, pipe, (options & start_read_errors) != 0);
    if (pid < 0) {
        close_if_open(pipe.read_end);
        return {};
    }
    ChildRecord waited;
    waited.process_id = pid;
    if ((options & start_wait) != 0) collect_end(&waited, false);
    if (keep_open) return keep_record(pid, pipe.read_end, options, waited.ended, waited.exit_code);
    if (!waited.ended) {
        std::lock_guard<std::mutex> hold(child_list_lock);
        unwatched_children.push_back(pid);
    }
    return {true, nullptr};
}

bool program_running(ChildRecord* child) {
    if (child == nullptr) return false;
    if (!collect_end(child, true)) return true;
    return program_output_available(child) != 0;
}

std::int64_t program_output_available(ChildRecord* child) {
    if (child == nullptr || child->output < 0) return 0;
    int count = 0;
    if (ioctl(child->output, FIONREAD, &count) != 0 || count < 0) return 0;
    return count;
}

// One byte per read, so that whatever this line does not take is still in the pipe and
// program_output_available keeps telling the exact number of unread bytes.
Text read_program_line(ChildRecord* child) {
    std::string bytes;
    if (child == nullptr || child->output < 0) return Text();
    for (;;) {
        char byte = 0;
        ssize_t got = read(child->output, &byte, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || byte == '\n') break;
        if (byte != '\r') bytes.push_back(byte);
    }
    return from_utf8(bytes);
}

std::int32_t program_exit_code(ChildRecord* child) {
    if (child == nullptr) return 0;
    if (!collect_end(child, true)) return still_active;
    return child->exit_code;
}

void discard_program_output(ChildRecord* child) {
    if (child == nullptr || child->output < 0) return;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(child->output, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
    }
}

std::int32_t wait_for_program_end(ChildRecord* child) {
    if (child == nullptr) return 0;
    collect_end(child, false);
    return child->exit_code;
}

void release_program(ChildRecord* child) {
    if (child == nullptr) return;
    // The pipe goes first: a child still writing to it then ends instead of waiting for a reader.
    close_if_open(child->output);
    collect_end(child, false);
    remove_from_list(child);
    delete child;
}

}  // namespace host
