// The build under faults, one table for the end-to-end suites of every host: stand-in tools that
// misbehave, a damaged program directory, game tapes, game names and music files, and what the
// build must say about each. Each host's suite lays out a program directory per case with the
// stand-in tools, the music, a game tape named "demo" and another tape, then runs the program.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace test {

struct FaultCase {
    std::string label;
    std::function<void(const fs::path& dir)> prepare = [](const fs::path&) {};
    std::map<std::string, std::string> env = {};  // the stand-in tools' modes
    // The error after "tunefuse: error: ", where "$kit/" stands for the program directory and
    // what follows it for a path in it, "/" for the host's separator; empty when the build
    // succeeds.
    std::string problem = "";
    std::string output = "demo.tap";  // the tape a successful build makes
    // All of standard error, LF line ends, when the case says it; a successful build otherwise
    // writes nothing there.
    std::optional<std::string> messages = std::nullopt;
};

inline void PrintTo(const FaultCase& fault_case, std::ostream* out) {
    *out << fault_case.label;
}

// The cases that hold on the host the tests run on.
std::vector<FaultCase> fault_cases();

// The case's problem with the program directory and the host's separators put in.
std::string problem_in(const FaultCase& fault_case, const fs::path& dir);

}  // namespace test
