// Measures the join of the output tape on its own: the loader tape and a game tape of the given
// size, read into one block and written as the output tape. Prints the time, the memory the
// join added to the process's peak, and the write calls it took. Judges nothing.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/stages.hpp"
#include "host/files.hpp"

namespace {

namespace fs = std::filesystem;

// A line of /proc/self/status in KB ("VmRSS", "VmHWM"); -1 when it cannot be read.
long status_kb(const std::string& field) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field + ":", 0) == 0) return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    return -1;
}

// Starts the peak anew from the present resident size, so that the join's own peak shows.
void reset_peak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

// A game tape of about size bytes: a CODE header and data blocks of 60,000 bytes.
std::string game_tape(std::size_t size) {
    std::string header =
        std::string("\x13\x00\x00\x03", 4) + "demo      " + std::string("\x00\x00\x00\x80\x00\x80", 6);
    std::string tape = header + '\x00';
    while (tape.size() < size) {
        std::size_t data = std::min<std::size_t>(60000, size - tape.size() + 4);
        tape += static_cast<char>((data + 2) & 0xFF);
        tape += static_cast<char>((data + 2) >> 8);
        tape += '\xFF' + std::string(data, '\xAA') + '\x55';
    }
    return tape;
}

void write_file(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t size = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024 * 1024;
    char pattern[] = "/tmp/tunefuse-join-XXXXXX";
    fs::path dir = mkdtemp(pattern);
    write_file(dir / "KRZCode.tap", std::string(600, '\x01'));  // loader and player blocks' size
    write_file(dir / "game.tap", game_tape(size));
    driver::RunState run;
    run.program_directory = dir.u16string() + u"/";
    run.game_name = u"demo";

    reset_peak();
    long before = status_kb("VmRSS");
    std::int64_t writes = host::operating_system_writes();
    auto start = std::chrono::steady_clock::now();
    driver::write_output_tape(run);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    writes = host::operating_system_writes() - writes;
    long after = status_kb("VmHWM");

    std::printf(
        "join of a %zu-byte game tape: %.2f ms, %lld write call(s), peak resident %ld KB (+%ld KB), "
        "output %ju bytes\n",
        fs::file_size(dir / "game.tap"), ms, static_cast<long long>(writes), after, after - before,
        static_cast<std::uintmax_t>(fs::file_size(dir / "demo.tap")));
    fs::remove_all(dir);
    return 0;
}
