// Times complete builds with a real program directory and splits the figures: the program's own
// wall and CPU time, the time of each external tool, the opener, and the fixed closing pause.
// Prints figures; judges nothing.
//
// usage: whole-build-bench KIT_DIR [GAME_TAP] [ROUNDS]
//   KIT_DIR   a ready program directory (tunefuse, tools/, asm/, music.pt3, game.tap); it is
//             copied, never written
//   GAME_TAP  a game tape to use instead of the kit's own
//
// The same executable stands in for each tool: copied into the copy's tools/ folder under the
// tool's name, it runs the real tool (kept in tools/real/), and records the tool's times.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double closing_pause_ms = 2000.0;
const std::vector<std::string> timed_tools = {"zx7", "pasmo", "bin2tap"};

double milliseconds(const timeval& time) {
    return time.tv_sec * 1000.0 + time.tv_usec / 1000.0;
}

struct Times {
    double wall_ms = 0;
    double cpu_ms = 0;
    long peak_kb = 0;
    int status = 0;
};

// Runs the program to its end and measures it with everything it waited for.
Times run_measured(const std::vector<std::string>& argv, bool quiet) {
    Times times;
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        if (quiet) {
            int none = open("/dev/null", O_WRONLY);
            dup2(none, 1);
        }
        std::vector<char*> args;
        for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    rusage usage{};
    wait4(pid, &times.status, 0, &usage);
    times.wall_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    times.cpu_ms = milliseconds(usage.ru_utime) + milliseconds(usage.ru_stime);
    times.peak_kb = usage.ru_maxrss;
    return times;
}

// The stand-in role: run the real tool, then add "name wall_ms cpu_ms" to the log.
int run_as_tool(const fs::path& self, int argc, char** argv) {
    fs::path real = self.parent_path() / "real" / self.filename();
    std::vector<std::string> args = {real.string()};
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    Times times = run_measured(args, false);
    rusage own{};
    getrusage(RUSAGE_SELF, &own);
    double cpu = times.cpu_ms + milliseconds(own.ru_utime) + milliseconds(own.ru_stime);
    if (const char* log = std::getenv("BENCH_TOOL_LOG")) {
        std::ofstream(log, std::ios::app)
            << self.filename().string() << " " << times.wall_ms << " " << cpu << "\n";
    }
    return WIFEXITED(times.status) ? WEXITSTATUS(times.status) : 128 + WTERMSIG(times.status);
}

// A copy of the kit whose tools (and the opener on PATH) are the stand-ins.
void prepare(const fs::path& self, const fs::path& kit, const fs::path& work, const char* game) {
    fs::path dir = work / "kit";
    fs::copy(kit, dir, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::create_directories(dir / "tools" / "real");
    for (const std::string& tool : timed_tools) {
        fs::rename(dir / "tools" / tool, dir / "tools" / "real" / tool);
        fs::copy_file(self, dir / "tools" / tool);
    }
    fs::create_directories(work / "path" / "real");
    fs::copy_file(self, work / "path" / "xdg-open");
    fs::create_symlink("/bin/true", work / "path" / "real" / "xdg-open");
    if (game) fs::copy_file(game, dir / "game.tap", fs::copy_options::overwrite_existing);
}

std::map<std::string, Times> read_tool_log(const fs::path& log) {
    std::map<std::string, Times> tools;
    std::ifstream in(log);
    std::string name;
    double wall, cpu;
    while (in >> name >> wall >> cpu) {
        tools[name].wall_ms += wall;
        tools[name].cpu_ms += cpu;
        tools[name].status += 1;  // number of runs
    }
    return tools;
}

void report_round(int round, const Times& total, const std::map<std::string, Times>& tools) {
    double tools_wall = 0, tools_cpu = 0;
    std::printf("round %d (exit status %d)\n", round, WEXITSTATUS(total.status));
    for (const auto& [name, times] : tools) {
        std::printf("  %-10s runs %d   wall %8.1f ms   CPU %8.1f ms\n", name.c_str(), times.status,
                    times.wall_ms, times.cpu_ms);
        tools_wall += times.wall_ms;
        tools_cpu += times.cpu_ms;
    }
    std::printf("  %-10s         wall %8.1f ms   CPU %8.1f ms   peak memory %ld KB\n", "whole run",
                total.wall_ms, total.cpu_ms, total.peak_kb);
    std::printf("  %-10s         wall %8.1f ms   (fixed, reported apart)\n", "pause", closing_pause_ms);
    std::printf("  %-10s         wall %8.1f ms   CPU %8.1f ms\n", "tunefuse",
                total.wall_ms - tools_wall - closing_pause_ms, total.cpu_ms - tools_cpu);
}

}  // namespace

int main(int argc, char** argv) {
    fs::path self = fs::read_symlink("/proc/self/exe");
    if (self.filename() != "whole-build-bench") return run_as_tool(self, argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: whole-build-bench KIT_DIR [GAME_TAP] [ROUNDS]\n");
        return 2;
    }
    const char* game = argc > 2 && argv[2][0] ? argv[2] : nullptr;
    int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    char pattern[] = "/tmp/tunefuse-bench-XXXXXX";
    fs::path work = mkdtemp(pattern);
    prepare(self, argv[1], work, game);
    setenv("PATH", ((work / "path").string() + ":/usr/bin:/bin").c_str(), 1);
    fs::path log = work / "tools.log";
    setenv("BENCH_TOOL_LOG", log.c_str(), 1);
    for (int round = 1; round <= rounds; ++round) {
        fs::remove(log);
        Times total = run_measured({(work / "kit" / "tunefuse").string()}, true);
        report_round(round, total, read_tool_log(log));
    }
    fs::remove_all(work);
    return 0;
}
