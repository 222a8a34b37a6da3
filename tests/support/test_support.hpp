// What the test suites share: temporary folders, whole files, where the build put things, and
// programs run as real child processes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace test {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A fresh temporary folder, removed with all it holds (write-protected too) when the object goes.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "tunefuse-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

Bytes read_bytes(const fs::path& file);
std::string read_string(const fs::path& file);
void write_bytes(const fs::path& file, const Bytes& bytes);
void write_string(const fs::path& file, const std::string& text);
Bytes bytes_of(const std::string& text);
Bytes hex_bytes(const std::string& hex);  // "13 00 FF" -> {0x13, 0x00, 0xFF}

fs::path kit_dir();                        // the ready program directory
fs::path helper(const std::string& name);  // a stand-in program built from tests/helpers
// The shared folder, or a folder in it such as "corpus" (real modules, tapes and screens); empty
// when absent.
std::optional<fs::path> shared_dir(const std::string& inside = "");

struct ProcessResult {
    int exit_code = -1;  // the exit code; 128 + the signal's number when killed by one
    std::string out;     // everything written to standard output
    std::string err;     // everything written to standard error
};

struct ProcessOptions {
    fs::path working_directory = {};              // empty: the test's own
    std::map<std::string, std::string> env = {};  // set (or, with an empty value, unset) in the child
    int timeout_seconds = 120;                    // the child is killed after this long
};

// Runs a program with an argument vector (argv[0] is the program), its standard input empty,
// and collects its output. A program that cannot be started gives exit code 127.
ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options = {});

}  // namespace test
