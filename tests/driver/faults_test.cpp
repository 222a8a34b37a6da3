// The build under faults: tools that misbehave, a damaged program directory, odd game tapes,
// game names and music files, and a run cut off by a signal. Every case runs the real program
// in a temporary program directory, in a process group of its own, and checks the report, the
// exit code and standard error, that the user's files are byte-identical afterwards, that
// nothing was written outside the program directory, and that no process of the run is left.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "build_inputs.hpp"
#include "fault_cases.hpp"
#include "test_support.hpp"

namespace {

using test::Bytes;
using test::make_game_tape;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What a fault run gives back beyond the usual results.
struct FaultResult : test::ProcessResult {
    bool timed_out = false;
    bool processes_left = false;  // a process of the run's group outlived it
};

bool group_alive(pid_t group) {
    return kill(-group, 0) == 0 || errno != ESRCH;
}

// Waits a little for the rest of a process group (a tool, the opener) to go; true if it stays.
bool group_stays(pid_t group) {
    for (int i = 0; i < 50 && group_alive(group); ++i) std::this_thread::sleep_for(100ms);
    return group_alive(group);
}

// A user id with no special rights, for runs where write protection has to bite even though the
// tests run as the superuser.
constexpr uid_t unprivileged_user = 65534;

[[noreturn]] void exec_in_group(const std::vector<std::string>& argv, const test::ProcessOptions& options,
                                int out_fd, int err_fd, uid_t run_as) {
    setpgid(0, 0);
    if (run_as != 0 && (setgroups(0, nullptr) != 0 || setgid(run_as) != 0 || setuid(run_as) != 0)) _exit(125);
    int none = open("/dev/null", O_RDONLY);
    dup2(none, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (chdir(options.working_directory.c_str()) != 0) _exit(126);
    for (const auto& [name, value] : options.env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// Called with the process group and the standard output so far, while the run goes on.
using Watcher = std::function<void(pid_t group, const std::string& out)>;

// Collects both outputs until they close or the time is up, calling the watcher between reads.
void collect(FaultResult& result, int out_fd, int err_fd, pid_t group, int timeout_seconds,
             const Watcher& watcher) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    for (int open_count = 2; open_count > 0;) {
        if (std::chrono::steady_clock::now() > deadline) {
            result.timed_out = true;
            kill(-group, SIGKILL);
            break;
        }
        if (watcher) watcher(group, result.out);
        if (poll(fds, 2, 100) <= 0) continue;
        for (auto& p : fds) {
            if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char chunk[65536];
            ssize_t got = read(p.fd, chunk, sizeof chunk);
            if (got > 0) {
                (p.fd == out_fd ? result.out : result.err).append(chunk, static_cast<std::size_t>(got));
                continue;
            }
            close(p.fd);
            p.fd = -1;
            --open_count;
        }
    }
    for (auto& p : fds)
        if (p.fd >= 0) close(p.fd);
}

// Runs argv in a process group of its own, as the user run_as unless that is 0.
FaultResult run_in_group(const std::vector<std::string>& argv, const test::ProcessOptions& options,
                         const Watcher& watcher, uid_t run_as) {
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        exec_in_group(argv, options, out_pipe[1], err_pipe[1], run_as);
    }
    setpgid(pid, pid);
    close(out_pipe[1]);
    close(err_pipe[1]);
    FaultResult result;
    collect(result, out_pipe[0], err_pipe[0], pid, options.timeout_seconds, watcher);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.processes_left = group_stays(pid);
    if (result.processes_left) kill(-pid, SIGKILL);
    return result;
}

// Every file and folder under root, with its contents, leaving out the given subfolders.
std::map<std::string, Bytes> snapshot(const fs::path& root, const std::vector<std::string>& left_out) {
    std::map<std::string, Bytes> entries;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        std::string name = fs::relative(it->path(), root).string();
        if (std::find(left_out.begin(), left_out.end(), name) != left_out.end()) {
            it.disable_recursion_pending();
            continue;
        }
        entries[name] = it->is_regular_file() ? test::read_bytes(it->path()) : test::bytes_of("<folder>");
    }
    return entries;
}

const std::string player_marker = "BIN2TAP tunefuse.bin 25500\n";

class FaultsTest : public ::testing::Test {
protected:
    void SetUp() override { lay_out("kit"); }

    // A fresh program directory of the given name under the temporary folder, with the stand-in
    // tools, the player source, the music, the game and another tape of the user's.
    void lay_out(const std::string& name) {
        dir = temp / name;
        test::lay_out_program_directory(dir);
        for (const char* tool : {"zx7", "pasmo", "bin2tap"})
            fs::copy_file(test::helper("fake_tool"), dir / "tools" / tool);
        if (!fs::exists(temp / "path" / "xdg-open")) {
            fs::create_directories(temp / "path");
            fs::create_directories(temp / "log");
            fs::copy_file(test::helper("fake_tool"), temp / "path" / "xdg-open");
        }
        test::write_string(dir / "asm" / "tunefuse.asm", " org 25500\n ret\n");
        test::write_bytes(dir / "music.pt3", test::make_module());
        test::write_bytes(dir / "game.tap", make_game_tape("demo      "));
        test::write_bytes(dir / "other.tap", make_game_tape("other     "));
        user_files = {dir / "music.pt3", dir / "game.tap", dir / "other.tap"};
    }

    // Runs the program; checks afterwards, for every case, that it ended by itself, left no
    // process behind, kept the user's files and wrote nothing outside the program directory.
    FaultResult run(std::vector<std::string> args = {}, const Watcher& watcher = {}) {
        std::map<fs::path, Bytes> kept;
        for (const fs::path& file : user_files)
            if (fs::is_regular_file(file)) kept[file] = test::read_bytes(file);
        const std::vector<std::string> inside = {dir.filename().string(), "log"};
        auto outside = snapshot(temp.path(), inside);

        args.insert(args.begin(), (dir / "tunefuse").string());
        test::ProcessOptions options;
        options.working_directory = temp.path();
        options.env = {{"PATH", (temp / "path").string() + ":/usr/bin:/bin"},
                       {"FAKE_TOOL_LOG", (temp / "log").string()}};
        for (const auto& [name, value] : env) options.env[name] = value;
        options.timeout_seconds = 60;
        FaultResult result = run_in_group(args, options, watcher, run_as);

        EXPECT_FALSE(result.timed_out) << "the run did not end";
        EXPECT_FALSE(result.processes_left) << "a process of the run was left behind";
        for (const auto& [file, bytes] : kept) EXPECT_EQ(test::read_bytes(file), bytes) << file << " changed";
        EXPECT_EQ(snapshot(temp.path(), inside), outside) << "something was written outside";
        return result;
    }

    // The output tape holds the loader, the player and the game tape, in that order.
    void expect_complete_tape(const std::string& name) {
        ASSERT_TRUE(fs::is_regular_file(dir / name)) << name;
        std::string tape = test::read_string(dir / name);
        std::string game = test::read_string(dir / "game.tap");
        ASSERT_GT(tape.size(), game.size() + player_marker.size()) << name;
        EXPECT_EQ(tape.substr(tape.size() - game.size()), game) << name;
        EXPECT_EQ(tape.substr(tape.size() - game.size() - player_marker.size(), player_marker.size()),
                  player_marker)
            << name;
    }

    // A build that went wrong: exit code 1, the problem on standard error, and no output tape.
    void expect_failure(const FaultResult& result, const std::string& problem, const std::string& label) {
        EXPECT_EQ(result.exit_code, 1) << label << "\n" << result.err;
        EXPECT_NE(result.err.find("tunefuse: error: " + problem), std::string::npos) << label << "\n"
                                                                                     << result.err;
        EXPECT_NE(result.out.find("KTHNXBAI!\n"), std::string::npos) << label;
        EXPECT_FALSE(fs::exists(dir / "demo.tap")) << label;
    }

    void expect_success(const FaultResult& result, const std::string& label) {
        EXPECT_EQ(result.exit_code, 0) << label << "\n" << result.err.substr(0, 2000);
        expect_complete_tape("demo.tap");
    }

    std::vector<std::vector<std::string>> launches() {
        std::vector<std::vector<std::string>> calls;
        std::ifstream in(temp / "log" / "xdg-open.args");
        for (std::string line; std::getline(in, line);) calls.push_back({line});
        return calls;
    }

    // The superuser writes through any write protection, so when the tests run as root the
    // program runs as a user without rights, who owns the whole temporary tree as the test's own
    // user would.
    void run_unprivileged_when_root() {
        if (geteuid() != 0) return;
        for (const auto& entry : fs::recursive_directory_iterator(temp.path()))
            ASSERT_EQ(lchown(entry.path().c_str(), unprivileged_user, unprivileged_user), 0) << entry.path();
        ASSERT_EQ(chown(temp.path().c_str(), unprivileged_user, unprivileged_user), 0);
        run_as = unprivileged_user;
    }

    test::TempDir temp;
    fs::path dir;
    std::vector<fs::path> user_files;
    uid_t run_as = 0;  // the user the program runs as; 0 keeps the test's own
    std::map<std::string, std::string> env;
};

// The shared table of faults, as every host's suite runs it: what the build says, that a tape
// is made and opened exactly when there is no error, and that nothing else is left behind.
class SharedFaultsTest : public FaultsTest, public ::testing::WithParamInterface<test::FaultCase> {};

TEST_P(SharedFaultsTest, AreReportedAndLeaveTheUsersFilesAlone) {
    const test::FaultCase& c = GetParam();
    c.prepare(dir);
    env = c.env;
    const auto before = snapshot(dir, {});
    auto result = run();
    const auto after = snapshot(dir, {});
    if (c.messages) {
        EXPECT_EQ(result.err, *c.messages);
    }
    EXPECT_NE(result.out.find("KTHNXBAI!\n"), std::string::npos);
    for (const auto& [name, bytes] : before) {
        auto found = after.find(name);
        ASSERT_NE(found, after.end()) << name << " is gone";
        EXPECT_EQ(found->second, bytes) << name << " changed";
    }
    if (!c.problem.empty()) {
        EXPECT_EQ(result.exit_code, 1) << result.err;
        EXPECT_NE(result.err.find("tunefuse: error: " + test::problem_in(c, dir) + "\n"), std::string::npos)
            << result.err;
        EXPECT_EQ(after.size(), before.size()) << "a tape or an intermediate was left";
        EXPECT_TRUE(launches().empty()) << "a tape was opened";
        return;
    }
    EXPECT_EQ(result.exit_code, 0) << result.err.substr(0, 2000);
    if (!c.messages) {
        EXPECT_EQ(result.err, "");
    }
    EXPECT_EQ(after.size(), before.size() + 1) << "only the output tape is new";
    expect_complete_tape(c.output);
    // The opener gets the tape's path as one word, exactly.
    EXPECT_EQ(launches(), (std::vector<std::vector<std::string>>{{(dir / c.output).string()}}));
}

INSTANTIATE_TEST_SUITE_P(Table, SharedFaultsTest, ::testing::ValuesIn(test::fault_cases()),
                         [](const ::testing::TestParamInfo<test::FaultCase>& info) {
                             std::string name = std::to_string(info.index) + "_";
                             for (char c : info.param.label)
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

TEST_F(FaultsTest, ToolFloodingStandardErrorReachesTheUser) {
    env = {{"FAKE_PASMO_MODE", "flood-err"}};
    auto result = run();
    expect_success(result, "flood-err");
    // The tool's standard error is the program's own: every byte arrives, and nothing else.
    EXPECT_EQ(result.err.size(), 800u * 65536u);
    EXPECT_EQ(result.err.find("tunefuse: error"), std::string::npos);
}

TEST_F(FaultsTest, WriteProtectedFilesOfEarlierRuns) {
    run_unprivileged_when_root();
    // Stale intermediates that are write-protected are the program's own: they are replaced.
    for (const char* name : {"KRZCode.tap", "tunefuse.bin"}) {
        test::write_bytes(dir / name, Bytes(5000, 0x55));
        fs::permissions(dir / name, fs::perms::owner_read);
        auto result = run();
        expect_success(result, name);
        EXPECT_FALSE(fs::exists(dir / name)) << name;
        fs::remove(dir / "demo.tap");
    }
}

TEST_F(FaultsTest, WriteProtectedOutputTape) {
    Bytes old_tape(3000, 0x77);
    test::write_bytes(dir / "demo.tap", old_tape);
    run_unprivileged_when_root();
    fs::permissions(dir / "demo.tap", fs::perms::owner_read | fs::perms::group_read);
    auto result = run();
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("tunefuse: error: could not create the output tape demo.tap"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(test::read_bytes(dir / "demo.tap"), old_tape);
}

TEST_F(FaultsTest, ProgramDirectoryNotWritable) {
    run_unprivileged_when_root();
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    auto result = run();
    fs::permissions(dir, fs::perms::owner_all);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("tunefuse: error: "), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "demo.tap"));
}

TEST_F(FaultsTest, GameTapeErrorKeepsTheEarlierTape) {
    auto first = run();
    expect_success(first, "first run");
    Bytes good_tape = test::read_bytes(dir / "demo.tap");
    test::write_bytes(dir / "game.tap", make_game_tape("demo      ", 33537, 33537));
    auto again = run();
    EXPECT_EQ(again.exit_code, 1);
    EXPECT_NE(again.err.find("runs past the end of memory at 65535"), std::string::npos) << again.err;
    EXPECT_EQ(test::read_bytes(dir / "demo.tap"), good_tape);
    EXPECT_EQ(launches().size(), 1u) << "the earlier tape was opened";
}

TEST_F(FaultsTest, LargeGameTape) {
    test::write_bytes(dir / "game.tap", make_game_tape("demo      ", 4 * 1024 * 1024));
    auto result = run();
    expect_success(result, "4 MB game tape");
}

TEST_F(FaultsTest, MusicPathsWithOddCharacters) {
    fs::create_directories(temp / "my songs");
    for (const std::string name : {"my s\xC3\xB4ng.pt3", "a & b; c%.pt3", "it's (new).pt3"}) {
        fs::path music = temp / "my songs" / name;
        test::write_bytes(music, test::make_module("Tune", "Me", 1500));
        user_files = {dir / "game.tap", dir / "other.tap", dir / "music.pt3", music};
        auto result = run({music.string()});
        expect_success(result, name);
        EXPECT_NE(result.out.find("Music file selected \t: " + name + "\n"), std::string::npos) << result.out;
        fs::remove(dir / "demo.tap");
    }
}

TEST_F(FaultsTest, MusicPathWithQuotesIsNotFound) {
    // Double quotes are taken out of the parameter, as on the program's other hosts, where no file
    // name holds one: the file is not found, and nothing else is picked instead.
    fs::path music = temp / "say \"hi\".pt3";
    test::write_bytes(music, test::make_module("Tune", "Me", 1500));
    user_files.push_back(music);
    auto result = run({music.string()});
    expect_failure(result, "music file not found: " + (temp / "say hi.pt3").string(), "quotes");
}

TEST_F(FaultsTest, ProgramDirectoryWithABackslashInItsName) {
    // Here a backslash is an ordinary character of a folder name: an archive packed on Windows
    // unpacks so with some tools. The folder the name would give if the backslash were read as a
    // separator is somebody else's, and its files, named like the build's own, stay as they are.
    fs::path look_alike = temp / "a" / "kit";
    fs::create_directories(look_alike / "bin");
    test::write_bytes(look_alike / "music.pt3", test::make_module("Other", "Someone", 1500));
    for (const char* name : {"KRZCode.tap", "tunefuse.bin", "screen.bin", "bin/music.pt3",
                             "bin/music.pt3.zx7", "bin/author.bin"})
        test::write_string(look_alike / name, "not the build's");
    lay_out("a\\kit");
    auto result = run();
    expect_success(result, "program directory a\\kit");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out.find("Other"), std::string::npos) << "the other folder's music was used\n"
                                                           << result.out;
}

// Sends the signal to the whole run, as a terminal does, once the assembler has started.
Watcher signal_while_assembling(int signal_number, bool& sent) {
    return [signal_number, &sent](pid_t group, const std::string& out) {
        if (sent || out.find("Music Title") == std::string::npos) return;
        std::this_thread::sleep_for(200ms);
        kill(-group, signal_number);
        sent = true;
    };
}

TEST_F(FaultsTest, InterruptedRunsAndTheRunAfter) {
    auto first = run();
    expect_success(first, "first run");
    Bytes good_tape = test::read_bytes(dir / "demo.tap");
    fs::remove(dir / "demo.tap");

    for (int signal_number : {SIGHUP, SIGINT}) {
        env = {{"FAKE_PASMO_MODE", "hang"}, {"FAKE_TOOL_SECONDS", "30"}};
        bool sent = false;
        auto cut = run({}, signal_while_assembling(signal_number, sent));
        ASSERT_TRUE(sent) << signal_number;
        EXPECT_EQ(cut.exit_code, 128 + signal_number) << cut.err;
        EXPECT_FALSE(fs::exists(dir / "demo.tap"));
        if (signal_number == SIGHUP) {
            // The report written so far, including the text waiting in the buffer, reaches the
            // reader. Where exactly it stops depends on how far the main thread got while the
            // files were being closed.
            EXPECT_NE(cut.out.find("Assembling code\t\t: "), std::string::npos);
        }

        env = {};
        auto again = run();
        expect_success(again, "the run after an interrupted one");
        EXPECT_EQ(test::read_bytes(dir / "demo.tap"), good_tape);
        fs::remove(dir / "demo.tap");
    }
}

}  // namespace
