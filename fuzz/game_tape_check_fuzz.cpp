// The game tape's check over arbitrary bytes. Whatever the tape, the check reads only inside it
// and keeps the promises of its header: a warning comes alone, at most two errors come (a code
// block below 32000 that also runs past 65535), and every finding names the tape.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_support.hpp"
#include "loader/game_tape_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto findings = loader::check_game_tape(std::span<const std::uint8_t>(data, size), u"game.tap");
    fuzz::require(findings.size() <= 2, "more than two findings");
    for (const loader::GameTapeFinding& finding : findings) {
        fuzz::require(finding.text.rfind(u"game.tap", 0) == 0, "a finding does not name the tape");
        if (finding.severity == loader::Severity::warning)
            fuzz::require(findings.size() == 1, "a warning comes with another finding");
    }
    return 0;
}
