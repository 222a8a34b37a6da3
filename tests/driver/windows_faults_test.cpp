// The build on Windows under faults: the shared table of tests/support/fault_cases.hpp. Every
// case runs tunefuse.exe in a program directory of its own and checks the exit code, the error line on
// standard error (UTF-16LE), that every file that was there before is byte-identical afterwards, and that
// nothing was left or written besides the output tape of a good build. The program closes every run with a
// two-second pause, so the runs of a table go a few at a time.
#include <gtest/gtest.h>

#include <future>
#include <set>

#include "build_inputs.hpp"
#include "fault_cases.hpp"
#include "test_support.hpp"

namespace {

using test::Bytes;
using test::make_game_tape;
namespace fs = std::filesystem;

constexpr std::size_t runs_at_once = 5;

using Case = test::FaultCase;

// Every file and folder under root: files with their contents, folders as a marker.
std::map<std::string, Bytes> snapshot(const fs::path& root) {
    std::map<std::string, Bytes> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::string name = fs::relative(entry.path(), root).string();
        entries[name] = entry.is_regular_file() ? test::read_bytes(entry.path()) : test::bytes_of("<folder>");
    }
    return entries;
}

// What one run found before and after.
struct Outcome {
    fs::path dir;
    fs::path log;
    std::map<std::string, Bytes> before;
    test::ProcessResult result;
};

class WindowsFaultsTest : public ::testing::Test {
protected:
    // A program directory with the stand-in tools and opener, the player source, and the user's
    // music, game, loading screen and another tape.
    void lay_out(const fs::path& dir, const fs::path& log) {
        test::lay_out_program_directory(dir);
        for (const char* tool : {"zx7.exe", "pasmo.exe", "bin2tap.exe"})
            fs::copy_file(test::helper("fake_tool"), dir / "tools" / tool);
        // The program's own folder comes first in the search for "cmd.exe".
        fs::copy_file(test::helper("fake_tool"), dir / "cmd.exe");
        fs::create_directories(log);
        test::write_string(dir / "asm" / "tunefuse.asm", " org 25500\n ret\n");
        test::write_bytes(dir / "music.pt3", test::make_module());
        test::write_bytes(dir / "game.tap", make_game_tape("demo      "));
        test::write_bytes(dir / "screen.scr", Bytes(6912, 0x38));
        test::write_bytes(dir / "other.tap", make_game_tape("other     "));
    }

    test::ProcessResult run(const Outcome& outcome, const Case& c) {
        test::ProcessOptions options;
        options.working_directory = temp.path();
        options.env = c.env;
        options.env["FAKE_TOOL_LOG"] = outcome.log.string();
        options.timeout_seconds = 60;
        return test::run_process({(outcome.dir / "tunefuse.exe").string()}, options);
    }

    // Lays out and prepares a program directory per case, runs them a few at a time, then checks
    // each, and that nothing was written outside the program directories.
    void run_table(const std::vector<Case>& cases) {
        std::vector<Outcome> outcomes(cases.size());
        for (std::size_t i = 0; i < cases.size(); ++i) {
            outcomes[i].dir = temp / ("kit" + std::to_string(i));
            outcomes[i].log = temp / ("log" + std::to_string(i));
            lay_out(outcomes[i].dir, outcomes[i].log);
            cases[i].prepare(outcomes[i].dir);
            outcomes[i].before = snapshot(outcomes[i].dir);
        }
        auto outside = top_level_names();
        for (std::size_t first = 0; first < cases.size(); first += runs_at_once) {
            std::vector<std::future<test::ProcessResult>> running;
            std::size_t end = std::min(cases.size(), first + runs_at_once);
            for (std::size_t i = first; i < end; ++i)
                running.push_back(std::async(
                    std::launch::async, [this, &outcomes, &cases, i] { return run(outcomes[i], cases[i]); }));
            for (std::size_t i = first; i < end; ++i) outcomes[i].result = running[i - first].get();
        }
        for (std::size_t i = 0; i < cases.size(); ++i) check(cases[i], outcomes[i]);
        EXPECT_EQ(top_level_names(), outside) << "something was written outside";
    }

    std::set<std::string> top_level_names() {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(temp.path()))
            names.insert(entry.path().filename().string());
        return names;
    }

    void check(const Case& c, const Outcome& outcome) {
        const auto& [dir, log, before, result] = outcome;
        std::string err = test::from_utf16le(result.err);
        auto after = snapshot(dir);
        if (c.messages) {
            EXPECT_EQ(err, *c.messages) << c.label;
        }
        // Every file there before the run is still there, byte for byte.
        for (const auto& [name, bytes] : before) {
            auto found = after.find(name);
            ASSERT_NE(found, after.end()) << c.label << ": " << name << " is gone";
            EXPECT_EQ(found->second, bytes) << c.label << ": " << name << " changed";
        }
        if (!c.problem.empty()) {
            EXPECT_EQ(result.exit_code, 1) << c.label << "\n" << err;
            EXPECT_NE(err.find("tunefuse: error: " + test::problem_in(c, dir) + "\n"), std::string::npos)
                << c.label << "\n"
                << err;
            EXPECT_NE(test::from_utf16le(result.out).find("KTHNXBAI!\n"), std::string::npos) << c.label;
            // No tape and no intermediate is left, and no tape of an earlier run is opened.
            EXPECT_EQ(after.size(), before.size()) << c.label;
            EXPECT_FALSE(fs::exists(log / "cmd.args")) << c.label;
            return;
        }
        EXPECT_EQ(result.exit_code, 0) << c.label << "\n" << err;
        if (!c.messages) {
            EXPECT_EQ(result.err, "") << c.label;
        }
        EXPECT_EQ(after.size(), before.size() + 1) << c.label << ": only the output tape is new";
        expect_complete_tape(c, after, dir);
        // The opener was started once, for this tape. The path is wrapped in a second pair of quotes
        // for cmd.exe, so the stand-in, which reads its command line as a C runtime does, gets it
        // split at its spaces; how the real cmd.exe reads it is the process tests' matter.
        auto calls = test::recorded_calls(log / "cmd.args");
        ASSERT_EQ(calls.size(), 1u) << c.label;
        ASSERT_GE(calls[0].size(), 2u) << c.label;
        EXPECT_EQ(calls[0][0], "/c") << c.label;
        std::string path = calls[0][1];
        for (std::size_t i = 2; i < calls[0].size(); ++i) path += " " + calls[0][i];
        EXPECT_EQ(path, (dir / c.output).string()) << c.label;
    }

    // The output tape holds the loader, the screen, the player and the game tape, in that order.
    void expect_complete_tape(const Case& c, const std::map<std::string, Bytes>& after, const fs::path& dir) {
        auto found = after.find(c.output);
        ASSERT_NE(found, after.end()) << c.label << ": no " << c.output;
        const Bytes& tape = found->second;
        Bytes end = test::bytes_of("BIN2TAP screen.bin 16384\nBIN2TAP tunefuse.bin 25500\n");
        Bytes game = test::read_bytes(dir / "game.tap");
        end.insert(end.end(), game.begin(), game.end());
        ASSERT_GT(tape.size(), end.size()) << c.label;
        EXPECT_EQ(Bytes(tape.end() - static_cast<std::ptrdiff_t>(end.size()), tape.end()), end) << c.label;
    }

    test::TempDir temp;
};

TEST_F(WindowsFaultsTest, SharedTable) {
    run_table(test::fault_cases());
}

}  // namespace
