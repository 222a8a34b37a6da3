#include "test_support.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace test {

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Give back write permission first, so that tests that lock a folder still clean up.
    for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

Bytes read_bytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + file.string());
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string read_string(const fs::path& file) {
    Bytes bytes = read_bytes(file);
    return std::string(bytes.begin(), bytes.end());
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
    std::string item;
    while (in >> item) bytes.push_back(static_cast<std::uint8_t>(std::stoul(item, nullptr, 16)));
    return bytes;
}

fs::path kit_dir() {
    return TUNEFUSE_KIT_DIR;
}
fs::path helpers_dir() {
    return TUNEFUSE_HELPERS_DIR;
}
fs::path helper(const std::string& name) {
    return helpers_dir() / (name + TUNEFUSE_EXE_SUFFIX);
}
fs::path source_dir() {
    return TUNEFUSE_SOURCE_DIR;
}

std::optional<fs::path> shared_dir() {
    fs::path dir = TUNEFUSE_SHARED_DIR;
    if (fs::is_directory(dir)) return dir;
    return std::nullopt;
}

std::optional<fs::path> corpus_dir() {
    auto shared = shared_dir();
    if (shared && fs::is_directory(*shared / "corpus")) return *shared / "corpus";
    return std::nullopt;
}

namespace {

void drain(int fd, std::string& into) {
    char chunk[65536];
    ssize_t got = read(fd, chunk, sizeof chunk);
    if (got > 0) into.append(chunk, static_cast<std::size_t>(got));
}

[[noreturn]] void exec_child(const std::vector<std::string>& argv, const ProcessOptions& options, int in_fd,
                             int out_fd, int err_fd) {
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0) _exit(126);
    for (const auto& [name, value] : options.env) {
        if (value.empty())
            unsetenv(name.c_str());
        else
            setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe(in_pipe) || pipe(out_pipe) || pipe(err_pipe)) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        close(in_pipe[1]);
        close(out_pipe[0]);
        close(err_pipe[0]);
        exec_child(argv, options, in_pipe[0], out_pipe[1], err_pipe[1]);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (options.input) {
        signal(SIGPIPE, SIG_IGN);
        [[maybe_unused]] ssize_t ignored = write(in_pipe[1], options.input->data(), options.input->size());
    }
    close(in_pipe[1]);

    ProcessResult result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_count = 2;
    while (open_count > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
        for (auto& p : fds) {
            if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            std::string& into = (p.fd == out_pipe[0]) ? result.out : result.err;
            std::size_t before = into.size();
            drain(p.fd, into);
            if (into.size() == before) {
                close(p.fd);
                p.fd = -1;
                --open_count;
            }
        }
    }
    for (auto& p : fds)
        if (p.fd >= 0) close(p.fd);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

void lay_out_program_directory(const fs::path& dir) {
    fs::create_directories(dir / "bin");
    fs::create_directories(dir / "tools");
    fs::create_directories(dir / "asm");
    fs::copy_file(kit_dir() / ("tunefuse" TUNEFUSE_EXE_SUFFIX), dir / ("tunefuse" TUNEFUSE_EXE_SUFFIX),
                  fs::copy_options::overwrite_existing);
}

}  // namespace test
