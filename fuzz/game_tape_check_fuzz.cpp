// The game tape's check over arbitrary bytes. Whatever the tape, the check reads only inside it,
// every finding names the tape, and a tape with no error gives what the output tape needs: whole
// blocks, a launch table the player can hold, and no more screen than the screen holds.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz_support.hpp"
#include "loader/game_tape_check.hpp"
#include "loader/tape_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto check =
        loader::check_game_tape(std::span<const std::uint8_t>(data, size), u"game.tap", size % 2 == 1);
    bool error = false;
    for (const loader::GameTapeFinding& finding : check.findings) {
        fuzz::require(finding.text.rfind(u"game.tap", 0) == 0, "a finding does not name the tape");
        error = error || finding.severity == loader::Severity::error;
    }
    if (error) return 0;
    host::Text broken;
    fuzz::require(
        !loader::read_tape_blocks(check.start.game_blocks, u"game.tap", broken).empty() && broken.empty(),
        "the game's blocks are not a run of whole blocks");
    const auto& table = check.start.launch_table;
    fuzz::require(table.size() >= 7 && table.size() <= loader::launch_table_most && table.back() == 0,
                  "the launch table is not one the player can hold");
    fuzz::require(check.start.screen.size() <= 6912, "a screen larger than the screen");
    return 0;
}
