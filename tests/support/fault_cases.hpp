// The build under faults, one table for every host's end-to-end suite: misbehaving stand-in tools,
// damaged program directories, odd game tapes, names, screens and music, and what the build says.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <ostream>

#include "test_support.hpp"

namespace test {

struct FaultCase {
    std::string label;
    std::function<void(const fs::path& dir)> prepare = [](const fs::path&) {};
    std::map<std::string, std::string> env = {};  // the stand-in tools' modes
    // The error lines' start after "tunefuse: error: ", empty for success. "$kit/" starts a path in
    // the program directory, which runs to the line's end, "/" for the host's separator.
    std::string problem = "";
    std::string warning = "";         // the start of the one warning line, if any
    std::string output = "demo.tap";  // the tape a successful build makes
    std::string shows = "";           // text the report holds; without it, the report is the usual one
    std::string folder = "kit";       // the program directory's name
    std::optional<Bytes> game_part = std::nullopt;  // the tape after the player; else game.tap
    Bytes music_part = {};                          // the banked music's blocks, before the game
};

inline void PrintTo(const FaultCase& fault_case, std::ostream* out) {
    *out << fault_case.label;
}

// A PT3 module of the given size whose header holds the title and author, padded with spaces.
Bytes make_module(const std::string& title = "Tune", const std::string& author = "Me",
                  std::size_t size = 2048);

// One tape block: length, flag, contents and XOR checksum.
Bytes tape_block(std::uint8_t flag, const Bytes& contents);

// The cases that hold on the host the tests run on.
std::vector<FaultCase> fault_cases();

// One case's run in its own folder: the program directory, and a log folder for the tools' calls.
struct CaseRun {
    fs::path root, dir, log;
    std::map<std::string, Bytes> before;  // the files the build must keep, as they were
    std::vector<std::string> argv;
    ProcessOptions options;
    ProcessResult result;
};

// Lays out and prepares the case's program directory under root: stand-in tools, the user's files.
CaseRun lay_out_case(const FaultCase& fault_case, const fs::path& root);

// Starts the given number of builds together in one copy of the kit: all make the tape one build
// alone makes, each says at most once that it waits, and the work folder keeps only the lock file.
void check_builds_take_turns(int builds);

// Judges a run: exit code, report, errors, the user's files kept, the output tape and only it new,
// the tools' arguments, and the tape opened exactly when it is made.
void check_case(const FaultCase& fault_case, const CaseRun& run);

}  // namespace test
