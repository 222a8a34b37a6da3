// The build under faults, one table for the end-to-end suites of every host: stand-in tools that
// misbehave, a damaged program directory, game tapes, game names, screens and music files, and
// what the build must say about each. Each host's suite lays out every case in a folder of its
// own, runs the program there and judges the run with check_case.
#pragma once

#include <functional>
#include <map>
#include <ostream>

#include "test_support.hpp"

namespace test {

struct FaultCase {
    std::string label;
    std::function<void(const fs::path& dir)> prepare = [](const fs::path&) {};
    std::map<std::string, std::string> env = {};  // the stand-in tools' modes
    // The start of the error lines, after "tunefuse: error: "; empty when the build succeeds. A
    // "$kit/" stands for the program directory, and what follows it to the line's end for a path
    // in it, "/" for the host's separator.
    std::string problem = "";
    std::string warning = "";         // the start of the one warning line, if any
    std::string output = "demo.tap";  // the tape a successful build makes
    std::string shows = "";           // text the report holds; without it, the report is the usual one
    std::string folder = "kit";       // the program directory's name
};

inline void PrintTo(const FaultCase& fault_case, std::ostream* out) {
    *out << fault_case.label;
}

// A PT3 module of the given size whose header holds the title and author, padded with spaces.
Bytes make_module(const std::string& title = "Tune", const std::string& author = "Me",
                  std::size_t size = 2048);

// The cases that hold on the host the tests run on.
std::vector<FaultCase> fault_cases();

// One case's run, in its own folder: the program directory and a log folder, where the stand-in
// tools record their calls (and, on POSIX, the stand-in for the desktop's opener lies).
struct CaseRun {
    fs::path root, dir, log;
    std::map<std::string, Bytes> before;  // the files the build must keep, as they were
    std::vector<std::string> argv;
    ProcessOptions options;
    ProcessResult result;
};

// Lays out and prepares the case's program directory under root: the program, the stand-in tools
// and opener, a player source, and the user's music, game tape, loading screen and another tape
// (and, when the case fails, a tape of an earlier run).
CaseRun lay_out_case(const FaultCase& fault_case, const fs::path& root);

// Judges a run: the exit code, the report and standard error, that the user's files are kept,
// that only the output tape is new and that it holds the loader, the tools' blocks and the game,
// what the tools were called with, and that the tape is opened exactly when it is made.
void check_case(const FaultCase& fault_case, const CaseRun& run);

}  // namespace test
