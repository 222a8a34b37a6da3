// Stand-in tool that reports how it was started, one fact per line on standard output:
//   cwd=<its working directory>
//   blocked=<numbers of the signals blocked in it, or none>
//   ignored=<numbers of the signals it starts with ignored, or none>
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

namespace {

std::string signal_list(bool (*test)(int)) {
    std::string list;
    for (int sig = 1; sig < 32; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP || !test(sig)) continue;
        if (!list.empty()) list += ',';
        list += std::to_string(sig);
    }
    return list.empty() ? "none" : list;
}

bool is_blocked(int sig) {
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    return sigismember(&mask, sig) == 1;
}

bool is_ignored(int sig) {
    struct sigaction action {};
    sigaction(sig, nullptr, &action);
    return action.sa_handler == SIG_IGN;
}

}  // namespace

int main() {
    char cwd[PATH_MAX] = {};
    if (getcwd(cwd, sizeof cwd) == nullptr) return 2;
    std::printf("cwd=%s\nblocked=%s\nignored=%s\n", cwd, signal_list(is_blocked).c_str(),
                signal_list(is_ignored).c_str());
    return 0;
}
