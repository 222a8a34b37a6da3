// A stand-in for the build's tools (zx7, pasmo, bin2tap), acting by the name it was started
// under. FAKE_TOOL_LOG: a folder where "<name>.args" gets a line a run, the arguments separated by
// 0x1F. FAKE_<NAME>_MODE: "fail" exits 3, "silent" 0, "killed" dies of SIGKILL; "flood-out" and
// "flood-err" (50 MB) and "partial-line" misbehave, then do the tool's work. As fake_tool it does each
// argument in order: out:TEXT, err:TEXT (\r, \n, \\ escaped), bytes:N, sleep:MS, touch:PATH, signal:N,
// exit:N; "colours" prints through the console layer; hold:PATH buffers 100 bytes for PATH, says "ready" and
// waits to be signalled.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "host/console.hpp"
#include "host/files.hpp"

namespace {

using Args = std::vector<std::string>;

// The name without its folder, and without ".exe" where the host gives programs that suffix.
std::string base_name(const std::string& path) {
    std::string name = path.substr(path.find_last_of("/\\") + 1);
    if (name.size() > 4 && name.ends_with(".exe")) name.resize(name.size() - 4);
    return name;
}

std::string environment(const std::string& name) {
    return std::getenv(name.c_str()) ? std::getenv(name.c_str()) : "";
}

void write_file(const std::string& path, const std::string& bytes, bool append = false) {
    std::ofstream(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc)) << bytes;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// zx7 INPUT: leaves INPUT.zx7, 1,500 bytes made from the input.
int compress(const Args& args) {
    std::string input = args.size() == 1 ? read_file(args[0]) : "", output;
    if (input.empty()) return 1;
    while (output.size() < 1500) output += input;
    write_file(args[0] + ".zx7", output.substr(0, 1500));
    return 0;
}

// pasmo --err SOURCE OUTPUT: leaves OUTPUT, 300 bytes. Keeps a copy of the credits file it finds
// in the work folder of its working directory, as the real player source includes it.
int assemble(const Args& args) {
    if (args.size() != 3 || args[0] != "--err" || read_file(args[1]).empty()) return 1;
    if (!environment("FAKE_TOOL_LOG").empty())
        write_file(environment("FAKE_TOOL_LOG") + "/author.bin", read_file("bin/author.bin"));
    write_file(args[2], std::string(300, '\xC9'));
    return 0;
}

// bin2tap -append -o TAPE INPUT -a ADDRESS: appends a marker line naming input and address.
int make_tape(const Args& args) {
    if (args.size() != 6 || args[0] != "-append" || args[1] != "-o" || args[4] != "-a") return 1;
    if (read_file(args[3]).empty()) return 1;
    write_file(args[2], "BIN2TAP " + base_name(args[3]) + " " + args[5] + "\n", true);
    return 0;
}

// count bytes in 64 KB writes, in lines of 63 characters and a line feed.
void flood(std::FILE* stream, long count) {
    std::string chunk;
    while (chunk.size() < 65536) chunk += std::string(63, 'x') + "\n";
    for (; count > 0; count -= static_cast<long>(chunk.size()))
        std::fwrite(chunk.data(), 1, std::min(chunk.size(), static_cast<std::size_t>(count)), stream);
    std::fflush(stream);
}

int tool(const std::string& name, const Args& args) {
    std::string mode;
    for (char c : "FAKE_" + name + "_MODE")
        mode.push_back(c == '-' ? '_' : static_cast<char>(std::toupper(c)));
    mode = environment(mode);
    if (mode == "fail") return 3;
    if (mode == "silent") return 0;
#ifdef SIGKILL
    if (mode == "killed") raise(SIGKILL);
#else
    if (mode == "killed") std::_Exit(137);  // Windows has no SIGKILL: end at once, without clean-up
#endif
    if (mode == "flood-out" || mode == "flood-err") flood(mode == "flood-out" ? stdout : stderr, 800 * 65536);
    if (mode == "partial-line") std::fputs("working without a line end", stdout);
    std::fflush(stdout);
    if (name == "zx7") return compress(args);
    if (name == "pasmo") return assemble(args);
    if (name == "bin2tap") return make_tape(args);
    return 0;
}

void print(std::FILE* stream, const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) c = text[++i] == 'r' ? '\r' : text[i] == 'n' ? '\n' : text[i];
        std::fputc(c, stream);
    }
    std::fflush(stream);
}

void act(const std::string& action) {
    std::string verb = action.substr(0, action.find(':'));
    std::string value = action.substr(std::min(action.size(), verb.size() + 1));
    if (verb == "out" || verb == "err") print(verb == "out" ? stdout : stderr, value);
    if (verb == "bytes") flood(stdout, std::atol(value.c_str()));
    if (verb == "sleep") std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(value.c_str())));
    if (verb == "touch") write_file(value, "");
    if (verb == "signal") raise(std::atoi(value.c_str()));
    if (verb == "exit") std::exit(std::atoi(value.c_str()));
    if (verb == "colours" || verb == "hold") host::open_console();
    if (verb == "colours") {
        host::set_colour(15, 0), host::print_line(u"white");
        host::set_colour(16, 0), host::print_text(u"still white");
        host::set_colour(10, 0), host::print_line(u" green");
        host::set_colour(7, 0), host::print_line(u"");
    }
    if (verb != "hold") return;
    host::create_file(3, host::from_utf8(value));
    for (int i = 0; i < 100; ++i) host::write_byte(3, 'x');
    host::print_line(u"ready");
    sleep(30);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string name = base_name(argv[0]);
    const Args args(argv + 1, argv + argc);
    if (!environment("FAKE_TOOL_LOG").empty()) {
        std::string line;
        for (std::size_t i = 0; i < args.size(); ++i) line += (i ? "\x1f" : "") + args[i];
        write_file(environment("FAKE_TOOL_LOG") + "/" + name + ".args", line + "\n", true);
    }
    if (name != "fake_tool") return tool(name, args);
    for (const std::string& action : args) act(action);
    return 0;
}
