// The build on Windows under the shared table of faults, a few cases at a time, and builds that
// take turns in one folder.
#include <gtest/gtest.h>

#include <future>

#include "fault_cases.hpp"

namespace {

constexpr std::size_t runs_at_once = 5;

TEST(WindowsFaults, SharedTable) {
    test::TempDir temp;
    const std::vector<test::FaultCase> cases = test::fault_cases();
    std::vector<test::CaseRun> runs;
    for (std::size_t i = 0; i < cases.size(); ++i)
        runs.push_back(test::lay_out_case(cases[i], temp / ("case" + std::to_string(i))));
    for (std::size_t first = 0; first < runs.size(); first += runs_at_once) {
        std::vector<std::future<void>> running;
        for (std::size_t i = first; i < std::min(runs.size(), first + runs_at_once); ++i)
            running.push_back(std::async(std::launch::async, [&run = runs[i]] {
                run.result = test::run_process(run.argv, run.options);
            }));
        for (auto& done : running) done.get();
    }
    for (std::size_t i = 0; i < cases.size(); ++i) test::check_case(cases[i], runs[i]);
}

TEST(WindowsFaults, BuildsInOneFolderTakeTurns) {
    test::check_builds_take_turns(6);
}

}  // namespace
