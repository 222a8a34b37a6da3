#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "host/console.hpp"
#include "host/files.hpp"

namespace host {

namespace {

bool colours_on = false;

// Colour numbers count blue as bit 0 and red as bit 2; terminal colours the other way round.
int terminal_colour(int colour) {
    return ((colour & 4) >> 2) | (colour & 2) | ((colour & 1) << 2);
}

std::string colour_sequence(int foreground, int background) {
    // 7/0 is the console's usual colouring: hand the terminal back its own.
    if (foreground == 7 && background == 0) return "\x1b[0m";
    int fg = (foreground & 8 ? 90 : 30) + terminal_colour(foreground);
    int bg = (background & 8 ? 100 : 40) + terminal_colour(background);
    return "\x1b[" + std::to_string(fg) + ";" + std::to_string(bg) + "m";
}

// The terminal went away: write out and close every file, then end the process the way the
// signal would have. The signal is blocked in every thread of the program and taken here, on a
// thread of its own, so the files are closed under the file layer's lock and never while the
// main thread is half-way through a file operation. Memory blocks are left to the process end:
// the main thread may still be using them until the signal ends it.
void wait_for_hangup(sigset_t hangup) {
    int signal_number = 0;
    if (sigwait(&hangup, &signal_number) != 0) return;
    std::fflush(stdout);
    close_all_files_for_good();
    signal(SIGHUP, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &hangup, nullptr);
    raise(SIGHUP);
    _exit(128 + SIGHUP);
}

void install_console_event_handler() {
    // Started to ignore hangups (nohup): the build runs on when the terminal goes.
    struct sigaction current {};
    if (sigaction(SIGHUP, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) return;
    sigset_t hangup;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hangup, nullptr);
    std::thread(wait_for_hangup, hangup).detach();
}

void write_out(const Text& text) {
    std::string bytes = to_utf8(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

}  // namespace

int open_console() {
    colours_on = isatty(STDOUT_FILENO) == 1;
    // A reader that goes away must not end the build half-way; the report is simply lost.
    signal(SIGPIPE, SIG_IGN);
    install_console_event_handler();
    return 1;
}

void set_colour(int foreground, int background) {
    if (foreground < 0 || foreground >= 16 || background < 0 || background >= 16) return;
    if (!colours_on) return;
    std::string sequence = colour_sequence(foreground, background);
    std::fwrite(sequence.data(), 1, sequence.size(), stdout);
}

void print_line(const Text& text) {
    write_out(text + u"\n");
    std::fflush(stdout);
}

void print_text(const Text& text) {
    write_out(text);
}

void print_error_line(const Text& text) {
    std::fflush(stdout);
    std::string bytes = to_utf8(text + u"\n");
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}

void pause(int milliseconds) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool output_is_console() {
    return isatty(STDOUT_FILENO) == 1;
}

void end_run() {
    close_all_files();
}

}  // namespace host
