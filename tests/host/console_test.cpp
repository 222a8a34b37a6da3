#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;

TEST(Console, RedirectedOutputHasNoEscapesAndLfLineEnds) {
    auto result = test::run_process({test::helper("console_probe").string(), "colours"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "white\nstill white green\n\n");
}

TEST(Console, TerminalOutputIsColoured) {
    if (system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "no 'script' to make a terminal";
    test::TempDir dir;
    std::string command = test::helper("console_probe").string() + " colours";
    auto result = test::run_process({"script", "-qec", command, (dir / "typescript").string()});
    EXPECT_EQ(result.exit_code, 0);
    // 15/0 is bright white on black; 16/0 changes nothing; 10/0 bright green; 7/0 resets.
    EXPECT_NE(result.out.find("\x1b[97;40mwhite\r\nstill white\x1b[92;40m green\r\n\x1b[0m\r\n"),
              std::string::npos)
        << result.out;
}

struct Child {
    pid_t pid;
    fs::path data;  // the file the probe writes through the file layer
};

bool says_ready(const fs::path& output) {
    return fs::exists(output) && test::read_string(output).find("ready") != std::string::npos;
}

Child start_probe_and_wait_until_ready(const fs::path& dir, bool ignore_hangups = false) {
    fs::path data = dir / "data";
    fs::path output = dir / "out";
    pid_t pid = fork();
    if (pid == 0) {
        // nohup starts a program this way: hangups ignored from the start.
        if (ignore_hangups) signal(SIGHUP, SIG_IGN);
        FILE* out = freopen(output.c_str(), "w", stdout);
        (void)out;
        execl(test::helper("console_probe").c_str(), "console_probe", "hangup", data.c_str(), nullptr);
        _exit(127);
    }
    for (int i = 0; i < 200 && !says_ready(output); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return {pid, data};
}

int wait_for_signal(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
}

TEST(Console, HangupWritesOutBufferedFilesBeforeTheEnd) {
    test::TempDir dir;
    Child child = start_probe_and_wait_until_ready(dir.path());
    EXPECT_EQ(fs::file_size(child.data), 0u) << "the bytes should still wait in the buffer";
    kill(child.pid, SIGHUP);
    EXPECT_EQ(wait_for_signal(child.pid), SIGHUP);
    EXPECT_EQ(test::read_string(child.data), std::string(100, 'x'));
}

TEST(Console, HangupIgnoredFromTheStartIsIgnored) {
    test::TempDir dir;
    Child child = start_probe_and_wait_until_ready(dir.path(), true);
    kill(child.pid, SIGHUP);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int status = 0;
    EXPECT_EQ(waitpid(child.pid, &status, WNOHANG), 0) << "the probe should still run";
    kill(child.pid, SIGKILL);
    EXPECT_EQ(wait_for_signal(child.pid), SIGKILL);
}

TEST(Console, InterruptEndsAtOnceWithoutWritingBuffers) {
    test::TempDir dir;
    Child child = start_probe_and_wait_until_ready(dir.path());
    kill(child.pid, SIGINT);
    EXPECT_EQ(wait_for_signal(child.pid), SIGINT);
    EXPECT_EQ(fs::file_size(child.data), 0u);
}

}  // namespace
