// The music checked under the game: the finished tape played in the built-in Spectrum, 48K and
// 128K, before it is written. What stops the music, or may, becomes one warning line each; the
// tape is written all the same, since the built-in ROM is a stand-in for the machine's own.
#include <algorithm>
#include <optional>

#include "driver/fixed_names.hpp"
#include "driver/stages.hpp"
#include "emulator/tape_check.hpp"

namespace driver {

namespace {

using spectrum::Cause;
using spectrum::Event;

Text number(std::int64_t value) {
    return host::decimal_text(value);
}

// "12 frames (0.24 s) after the game starts"
Text when(int frame) {
    const int hundredths = std::max(frame, 0) * 2;
    Text fraction = number(hundredths % 100);
    if (fraction.size() < 2) fraction = u"0" + fraction;
    return number(std::max(frame, 0)) + (frame == 1 ? u" frame (" : u" frames (") + number(hundredths / 100) +
           u"." + fraction + u" s) after the game starts";
}

// A BASIC error report's letter or digit, from the code after RST 8.
Text report(int code) {
    return host::character_text(code < 9 ? u'1' + code : u'A' + code - 9);
}

// What the game did and what its author can change.
Text event_text(const Event& event, bool stops) {
    const Text at = number(event.pc);
    switch (event.cause) {
        case Cause::interrupts_off:
            return (event.pc ? u"the game's DI at " + at + u" leaves" : Text(u"the game leaves")) +
                   u" interrupts off for more than a second, so the player's interrupt never comes. Turn "
                   u"them on in the game (z88dk: #pragma output CRT_ENABLE_EIDI = 0x02)";
        case Cause::interrupt_mode:
            return u"the game's IM " + number(event.value) + u" at " + at + u" sets interrupt mode " +
                   number(event.value) +
                   u", which does not call the player. Keep interrupt mode 2 with I = 100";
        case Cause::own_vector_table:
            return u"the game's LD I,A at " + at + u" sets I = " + number(event.value) +
                   u", its own interrupt handler's table, which does not call the player. Call 25503 from "
                   u"that handler once a frame";
        case Cause::player_overwritten:
            return u"the instruction at " + at + u" writes to " + number(event.value) +
                   u", inside the music player (25500 to 31999). Keep the game's code and data out of it";
        case Cause::stack_over_player:
            return u"the game's stack runs into the music player (25500 to 31999) at " + number(event.value) +
                   u" (the instruction at " + at + u"). Put the stack outside it";
        case Cause::music_bank_overwritten:
            return u"the instruction at " + at + u" writes to " + number(event.value) + u" in RAM bank " +
                   number(event.bank) + u", where music lies. Leave bank " + number(event.bank) +
                   u" to the music";
        case Cause::reset: return u"the game reaches address 0 and the Spectrum starts again";
        case Cause::halt_interrupts_off:
            return u"the game waits in HALT at " + at + u" with interrupts off" +
                   (event.value ? u" (DI at " + number(event.value) + u")" : Text()) + u" and hangs";
        case Cause::empty_memory:
            return u"the game runs into memory at " + at + u" that nothing was loaded into, a crash";
        case Cause::basic_error:
            return u"the game stops with BASIC error report " + report(event.value) + u" (RST 8 at " + at +
                   u")";
        case Cause::tape_ended:
            return u"the game loads more blocks than the tape carries (LD-BYTES called from " + at + u")";
    }
    return stops ? Text(u"no cause found") : Text();
}

// The lines for one machine, without the machine's name.
std::vector<Text> verdict_lines(const spectrum::Verdict& verdict) {
    std::vector<Text> lines;
    if (verdict.needs_128k)
        lines.push_back(
            u"the music does not play: it needs a 128K's RAM bank, as it is too long for main memory");
    if (!verdict.checked) return lines;
    const Text stops = u"the music stops " + when(verdict.last_music_frame + 1) + u": ";
    if (!verdict.plays_to_end && !verdict.stopped_by_game && verdict.causes.empty())
        lines.push_back(stops +
                        u"the player's interrupt is no longer called, for no reason the check can name");
    for (const Event& cause : verdict.causes) lines.push_back(stops + event_text(cause, true));
    for (const Event& event : verdict.events)
        if (std::none_of(verdict.causes.begin(), verdict.causes.end(),
                         [&](const Event& cause) { return cause.cause == event.cause; }))
            lines.push_back(when(event.frame) + u", " + event_text(event, false));
    if (verdict.game_ay_frame >= 0)
        lines.push_back(when(verdict.game_ay_frame) +
                        u", the game writes the AY itself (the instruction at " + number(verdict.game_ay_pc) +
                        u"): its own sound and the music share the chip");
    return lines;
}

// The music plays on the machine to the end and the game did nothing else: no mend is kept otherwise.
bool plays_clean(const spectrum::Verdict& verdict) {
    return verdict.plays_to_end && verdict.causes.empty() && verdict.events.empty() &&
           verdict.game_ay_frame < 0;
}

// The tape's copy of the game with IM 2 for the one IM 1 that stopped the music on every machine
// that plays it, and the verdicts that tape gets; nothing when the change does not keep the music
// on, or changes anything the game writes or shows in the first 500 frames. The player's handler
// goes on to the ROM's routine at 0x0038 each frame, as IM 1 would.
struct Mended {
    std::vector<std::uint8_t> game_blocks;
    spectrum::Verdict zx48, zx128;
    std::uint16_t pc = 0;
};

std::optional<Mended> mend_im1(const spectrum::TapeParts& tape, const spectrum::Verdict& zx48,
                               const spectrum::Verdict& zx128) {
    const long long at = zx128.mend_at;
    if (at < 0 || (!zx48.needs_128k && zx48.mend_at != at)) return std::nullopt;
    Mended mended;
    mended.game_blocks = spectrum::with_im2(tape.game_blocks, at);
    spectrum::TapeParts parts = tape;
    parts.game_blocks = mended.game_blocks;
    mended.zx48 = spectrum::check_tape(spectrum::Model::zx48, parts);
    mended.zx128 = spectrum::check_tape(spectrum::Model::zx128, parts);
    mended.pc = zx128.causes[0].pc;
    auto same = [](const spectrum::Verdict& before, const spectrum::Verdict& after) {
        return plays_clean(after) && after.writes_hash == before.writes_hash &&
               after.screen_hash == before.screen_hash;
    };
    if (!same(zx128, mended.zx128) || (!zx48.needs_128k && !same(zx48, mended.zx48))) return std::nullopt;
    return mended;
}

void warn_verdicts(RunState& run, const spectrum::Verdict& zx48, const spectrum::Verdict& zx128) {
    const std::vector<Text> lines_48 = verdict_lines(zx48), lines_128 = verdict_lines(zx128);
    for (const Text& line : lines_48) {
        bool both = std::find(lines_128.begin(), lines_128.end(), line) != lines_128.end();
        note_warning(run, (both ? u"on the 48K and the 128K, " : u"on the 48K, ") + line);
    }
    for (const Text& line : lines_128)
        if (std::find(lines_48.begin(), lines_48.end(), line) == lines_48.end())
            note_warning(run, u"on the 128K, " + line);
}

}  // namespace

std::vector<std::uint8_t> check_music_under_game(RunState& run, const loader::GameStart& game,
                                                 const std::vector<std::uint8_t>& music,
                                                 const std::vector<Tune>& tunes, const Tune& effects) {
    if (!run.problems.empty() || game.game_blocks.empty()) return game.game_blocks;
    const std::vector<std::uint8_t> player =
        read_whole_file(in_program_directory(run, fixed_names().player_code), 65536);
    if (player.empty()) return game.game_blocks;
    unsigned banks = 0;
    for (const Tune& tune : tunes) banks |= tune.place.bank ? 1u << tune.place.bank : 0;
    banks |= effects.place.bank ? 1u << effects.place.bank : 0;
    const spectrum::TapeParts parts{player, game.game_blocks, music, banks, tunes[0].place.bank != 0};
    const spectrum::Verdict zx48 = spectrum::check_tape(spectrum::Model::zx48, parts),
                            zx128 = spectrum::check_tape(spectrum::Model::zx128, parts);
    std::optional<Mended> mended = mend_im1(parts, zx48, zx128);
    if (!mended) {
        warn_verdicts(run, zx48, zx128);
        return game.game_blocks;
    }
    note_warning(run, u"the game's IM 1 at " + number(mended->pc) +
                          u" changed to IM 2 in the tape's copy of the game, so that the music plays on; the "
                          u"game still gets the ROM's interrupt routine after every frame (game.tap is "
                          u"unchanged)");
    warn_verdicts(run, mended->zx48, mended->zx128);
    return std::move(mended->game_blocks);
}

}  // namespace driver
