// The console on Windows: wide writes to the console, UTF-16LE bytes when the output is
// redirected, console attributes for the colours, and the console event handler.
#include <windows.h>

#include <atomic>

#include "host/console.hpp"
#include "host/files.hpp"
#include "host/wide_text_win32.hpp"

namespace host {

namespace {

HANDLE standard_output = INVALID_HANDLE_VALUE;
std::atomic<bool> timer_raised{false};

HANDLE output_handle() {
    if (standard_output == INVALID_HANDLE_VALUE) standard_output = GetStdHandle(STD_OUTPUT_HANDLE);
    return standard_output;
}

// The system calls this on a thread of its own. Closing the window (event 2) ends the process
// once the handler returns, so the files are written out and closed first; close_all_files
// takes the file layer's lock, so it never runs while the main thread is half-way through a file
// operation. Every other event, Ctrl+C and Ctrl+Break among them, ends the process at once.
BOOL WINAPI console_event_handler(DWORD event) {
    if (event == CTRL_CLOSE_EVENT) close_all_files_for_good();
    return FALSE;
}

void write_bytes(HANDLE handle, const void* bytes, DWORD count) {
    const auto* from = static_cast<const char*>(bytes);
    while (count > 0) {
        DWORD put = 0;
        if (!WriteFile(handle, from, count, &put, nullptr) || put == 0) return;
        from += put;
        count -= put;
    }
}

// WriteConsoleW fails when the handle is not a console: the output then goes to the file or
// pipe as UTF-16LE, two bytes a unit, with no byte-order mark.
void write_out(HANDLE handle, const Text& text) {
    if (text.empty() || handle == INVALID_HANDLE_VALUE || handle == nullptr) return;
    const std::wstring wide = wide_text(text);
    const DWORD units = static_cast<DWORD>(wide.size());
    DWORD written = 0;
    if (WriteConsoleW(handle, wide.data(), units, &written, nullptr)) return;
    write_bytes(handle, wide.data(), units * 2);
}

}  // namespace

int open_console() {
    standard_output = GetStdHandle(STD_OUTPUT_HANDLE);
    SetConsoleCtrlHandler(console_event_handler, TRUE);
    return 1;
}

void set_colour(int foreground, int background) {
    if (foreground < 0 || foreground >= 16 || background < 0 || background >= 16) return;
    SetConsoleTextAttribute(output_handle(), static_cast<WORD>(foreground + 16 * background));
}

void print_line(const Text& text) {
    write_out(output_handle(), text + u"\r\n");
    FlushFileBuffers(output_handle());
}

void print_text(const Text& text) {
    write_out(output_handle(), text);
}

void print_error_line(const Text& text) {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    write_out(error, text + u"\r\n");
    FlushFileBuffers(error);
}

// A 1 ms timer resolution, asked for once and kept to the end of the process, makes the pause
// as long as asked for rather than rounded up to the system's tick.
void pause(int milliseconds) {
    if (!timer_raised.exchange(true)) timeBeginPeriod(1);
    if (milliseconds > 0) Sleep(static_cast<DWORD>(milliseconds));
}

bool output_is_console() {
    DWORD mode = 0;
    return GetConsoleMode(output_handle(), &mode) != 0;
}

void end_run() {
    close_all_files();
}

}  // namespace host
