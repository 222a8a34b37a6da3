// A stand-in for the build's external tools (zx7, pasmo, bin2tap) and for the tape opener.
// It acts by the name it was started under, records the argument vector it received, and
// misbehaves on request, so that tests can drive the whole build without the real tools.
//
// Environment:
//   FAKE_TOOL_LOG       folder where "<name>.args" gets one line per run: the arguments
//                       separated by the unit separator 0x1F
//   FAKE_<NAME>_MODE    (NAME = ZX7, PASMO, BIN2TAP, XDG_OPEN, OPEN) how to behave:
//                       "fail" exits 3 without output, "silent" exits 0 without output,
//                       "crash" dies of SIGSEGV, "killed" of SIGKILL (which no sanitizer
//                       runtime can catch), "slow" sleeps a second first; these
//                       misbehave first and then do the tool's work as usual:
//                       "hang" sleeps FAKE_TOOL_SECONDS seconds (default 3), "flood-out" and
//                       "flood-err" write 50 MB to standard output or error, "partial-line"
//                       writes text without a line end, "one-byte" writes a single byte
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// The name without its folder, and without ".exe" where the host gives programs that suffix.
std::string base_name(const std::string& path) {
    auto slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0) name.resize(name.size() - 4);
    return name;
}

std::string mode_for(const std::string& name) {
    std::string key = "FAKE_";
    for (char c : name)
        key.push_back(c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    key += "_MODE";
    const char* value = std::getenv(key.c_str());
    return value ? value : "";
}

void record(const std::string& name, const std::vector<std::string>& args) {
    const char* log = std::getenv("FAKE_TOOL_LOG");
    if (!log) return;
    std::ofstream out(std::string(log) + "/" + name + ".args", std::ios::app | std::ios::binary);
    for (std::size_t i = 0; i < args.size(); ++i) out << (i ? "\x1f" : "") << args[i];
    out << "\n";
}

void write_file(const std::string& path, const std::string& bytes, bool append = false) {
    std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    out << bytes;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// zx7 INPUT: leaves INPUT.zx7, 1,500 bytes made from the input.
int compress(const std::vector<std::string>& args) {
    if (args.size() != 1) return 1;
    std::string input = read_file(args[0]);
    if (input.empty()) return 1;
    std::string output;
    while (output.size() < 1500) output += input;
    write_file(args[0] + ".zx7", output.substr(0, 1500));
    return 0;
}

// pasmo --err SOURCE OUTPUT: leaves OUTPUT, 300 bytes. Keeps a copy of the credits file it
// finds in the work folder of its working directory, as the real player source includes it.
int assemble(const std::vector<std::string>& args) {
    if (args.size() != 3 || args[0] != "--err") return 1;
    if (read_file(args[1]).empty()) return 1;
    if (const char* log = std::getenv("FAKE_TOOL_LOG"))
        write_file(std::string(log) + "/author.bin", read_file("bin/author.bin"));
    write_file(args[2], std::string(300, '\xC9'));
    return 0;
}

// bin2tap -append -o TAPE INPUT -a ADDRESS: appends a marker line naming input and address.
int make_tape(const std::vector<std::string>& args) {
    if (args.size() != 6 || args[0] != "-append" || args[1] != "-o" || args[4] != "-a") return 1;
    if (read_file(args[3]).empty()) return 1;
    write_file(args[2], "BIN2TAP " + base_name(args[3]) + " " + args[5] + "\n", true);
    return 0;
}

int hang_seconds() {
    const char* value = std::getenv("FAKE_TOOL_SECONDS");
    return value ? std::atoi(value) : 3;
}

// 50 MB in 64 KB writes, lines of 63 characters and a line feed.
void flood(std::FILE* stream) {
    std::string chunk;
    while (chunk.size() < 65536) chunk += std::string(63, 'x') + "\n";
    for (int i = 0; i < 800; ++i) std::fwrite(chunk.data(), 1, chunk.size(), stream);
    std::fflush(stream);
}

// The misbehaviours that come before the tool's usual work.
void misbehave(const std::string& mode) {
    if (mode == "slow") sleep(1);
    if (mode == "hang") sleep(static_cast<unsigned>(hang_seconds()));
    if (mode == "flood-out") flood(stdout);
    if (mode == "flood-err") flood(stderr);
    if (mode == "partial-line") std::fputs("working without a line end", stdout);
    if (mode == "one-byte") std::fputc('.', stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::string name = base_name(argv[0]);
    std::vector<std::string> args(argv + 1, argv + argc);
    record(name, args);
    std::string mode = mode_for(name);
    if (mode == "fail") return 3;
    if (mode == "silent") return 0;
    if (mode == "crash") raise(SIGSEGV);
#ifdef SIGKILL
    if (mode == "killed") raise(SIGKILL);
#else
    if (mode == "killed") std::_Exit(137);  // Windows has no SIGKILL: end at once, without clean-up
#endif
    misbehave(mode);
    if (name == "zx7") return compress(args);
    if (name == "pasmo") return assemble(args);
    if (name == "bin2tap") return make_tape(args);
    return 0;
}
