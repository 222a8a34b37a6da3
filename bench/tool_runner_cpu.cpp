// Measures what the tool runner costs the program itself: the CPU time the program spends while
// a tool sleeps (the runner blocks, so this should be close to zero), and the time to drain a
// tool that floods its standard output. Prints figures; judges nothing.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>

#include "host/process.hpp"

namespace {

struct Figures {
    double wall_ms;
    double user_ms;
    double system_ms;
    int exit_code;
};

double milliseconds(const timeval& time) {
    return time.tv_sec * 1000.0 + time.tv_usec / 1000.0;
}

Figures measure(const host::Text& tool, const host::Text& arguments) {
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    auto start = std::chrono::steady_clock::now();
    int code = host::run_tool(tool, arguments);
    auto end = std::chrono::steady_clock::now();
    getrusage(RUSAGE_SELF, &after);
    return {std::chrono::duration<double, std::milli>(end - start).count(),
            milliseconds(after.ru_utime) - milliseconds(before.ru_utime),
            milliseconds(after.ru_stime) - milliseconds(before.ru_stime), code};
}

void report(const char* what, const Figures& f) {
    std::printf("%-34s wall %8.1f ms   program CPU: user %6.2f ms, system %6.2f ms   exit code %d\n", what,
                f.wall_ms, f.user_ms, f.system_ms, f.exit_code);
}

}  // namespace

int main() {
    host::init_process_layer();
    for (int round = 1; round <= 3; ++round) report("tool sleeping 1 s (sleep 1)", measure(u"sleep", u"1"));
    for (int round = 1; round <= 3; ++round) {
        report("tool writing 10 MB (head -c)", measure(u"head", u"-c 10485760 /dev/zero"));
    }
    return 0;
}
