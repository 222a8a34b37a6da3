#include "loader/game_tape_check.hpp"

#include <cstddef>

#include "loader/game_loader.hpp"
#include "loader/tape_file.hpp"

namespace loader {

namespace {

constexpr int rom_end = 16384;
constexpr int screen_address = 16384;
constexpr int screen_bytes = 6912;
constexpr int system_area = 23296;  // the printer buffer, the system variables, then BASIC
constexpr int program_address = 23755;
constexpr int memory_end = 65536;
constexpr int jump_bytes = 3;  // JP entry, which the player puts at 32000

// The launch table: what the player's start entry does once, before the game starts.
// Border, BORDCR, ATTR_P, flags, the entry's two bytes, then steps ended by a 0 byte:
// 1, address, length (load the next headerless data block) or 2, address, value (POKE).
constexpr std::uint8_t clear_screen_flag = 1;
constexpr std::uint8_t jump_flag = 2;
constexpr std::uint8_t load_step = 1;
constexpr std::uint8_t poke_step = 2;

struct Colours {
    int border = 7, paper = 7, ink = 0, bright = 0, flash = 0;
};

Text number_text(std::int64_t value) {
    return host::decimal_text(value);
}

void put_word(std::vector<std::uint8_t>& bytes, int value) {
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

// The table's fixed part. BORDCR takes the ink the ROM's BORDER sets for the lower screen:
// white on the four dark borders.
std::vector<std::uint8_t> launch_head(const Colours& colours, std::uint8_t flags, int entry) {
    int bordcr = colours.border << 3 ^ (colours.border < 4 ? 7 : 0);
    int attr = colours.flash << 7 | colours.bright << 6 | colours.paper << 3 | colours.ink;
    std::vector<std::uint8_t> table = {static_cast<std::uint8_t>(colours.border),
                                       static_cast<std::uint8_t>(bordcr), static_cast<std::uint8_t>(attr),
                                       flags};
    put_word(table, entry);
    return table;
}

GameTapeFinding error(const Text& text) {
    return {Severity::error, text};
}

Text code_text(const TapeBlock& header) {
    return u"code \"" + header_name(header) + u"\", " + number_text(header_length(header)) + u" bytes at " +
           number_text(header_parameter_1(header));
}

// "game.tap, block 3 (code "name", 6912 bytes at 16384)": the block a finding is about.
Text block_text(const Text& tape_name, std::int64_t number, const Text& what) {
    return tape_name + u", block " + number_text(number) + u" (" + what + u")";
}

Text line_text(const Text& tape_name, const GameLoader& loader, int line) {
    return tape_name + u", line " + number_text(line) + u" of its BASIC loader \"" + loader.name + u"\"";
}

// A code header's data block, as the ROM loads it: it passes over a header with a bad checksum,
// and stops with "R Tape loading error" at a data block that is missing, of another length than
// its header gives, or with a bad checksum. Empty when the block loads.
Text damage(const std::vector<TapeBlock>& blocks, std::size_t at, const Text& tape_name) {
    const Text header = block_text(tape_name, blocks[at].number, code_text(blocks[at]));
    const Text again = u" Save the game's tape again";
    if (!checksum_holds(blocks[at]))
        return header + u": the header's checksum is wrong, so the tape is damaged." + again;
    if (at + 1 == blocks.size() || blocks[at + 1].bytes[0] != data_flag)
        return header + u": no data block follows this header, so the tape is damaged." + again;
    const TapeBlock& data = blocks[at + 1];
    const Text data_block = block_text(tape_name, data.number, u"the data of " + code_text(blocks[at]));
    const std::int64_t held = static_cast<std::int64_t>(block_contents(data).size());
    if (held != header_length(blocks[at]))
        return data_block + u": it holds " + number_text(held) + u" bytes where its header gives " +
               number_text(header_length(blocks[at])) +
               u", so the loader would stop with a tape loading error." + again;
    if (!checksum_holds(data))
        return data_block + u": its checksum is wrong, so the loader would stop with a tape loading error." +
               again;
    return {};
}

// What a block loaded at `address` would overwrite that the loader still needs, or nothing.
Text covered_by(int address, int length) {
    const int last = address + length - 1;
    Text over;
    if (address < rom_end) over = u"the ROM (below 16384)";
    if (address < player_first_address && last >= system_area) {
        if (!over.empty()) over += u" and ";
        over += u"the loader's own BASIC program and stack (below 25500)";
    }
    if (address <= player_last_address && last >= player_first_address) {
        if (!over.empty()) over += u" and ";
        over += u"the music player (25500 to 31999)";
    }
    return over;
}

// Where a code block may load: whole within memory, clear of the ROM, the loader and the player.
// `block` names it and ends with the subject of the sentences, "the first code block" or "it".
std::vector<GameTapeFinding> check_placing(const Text& block, int address, int length) {
    std::vector<GameTapeFinding> findings;
    if (length == 0) findings.push_back(error(block + u" holds no bytes. Save the game's code in it"));
    const Text over = covered_by(address, length);
    if (!over.empty())
        findings.push_back(error(block + u" loads below 32000, over " + over +
                                 u". Assemble the game to load at 32000 or above"));
    if (address + length > memory_end)
        findings.push_back(error(block + u" runs past the end of memory at 65535 (to " +
                                 number_text(address + length - 1) + u"). Loading at " +
                                 number_text(address) + u", it may hold at most " +
                                 number_text(memory_end - address) + u" bytes"));
    return findings;
}

bool has_error(const std::vector<GameTapeFinding>& findings) {
    for (const GameTapeFinding& finding : findings)
        if (finding.severity == Severity::error) return true;
    return false;
}

bool covers(const LoaderStep& load, int address) {
    return address >= load.address && address < load.address + load.length;
}

// Where the game starts: inside a block it loads, and with 32000 to 32002 free for the jump to it
// unless it starts at 32000 itself.
void check_entry(const std::vector<TapeBlock>& blocks, const std::vector<LoaderStep>& loads, int entry,
                 const Text& tape_name, const Text& its_loader, std::vector<GameTapeFinding>& findings) {
    const Text starts = u" starts the game at " + number_text(entry);
    const LoaderStep* entered = nullptr;
    const LoaderStep* over_jump = nullptr;
    for (const LoaderStep& load : loads) {
        if (covers(load, entry)) entered = &load;
        if (!over_jump && load.address < game_start_address + jump_bytes &&
            load.address + load.length > game_start_address)
            over_jump = &load;
    }
    if (!entered) {
        findings.push_back(error(its_loader + starts + u", where none of the code blocks it loads lies"));
    } else if (entry != game_start_address && over_jump) {
        const TapeBlock& header = blocks[over_jump->header];
        findings.push_back(error(block_text(tape_name, header.number, code_text(header)) +
                                 u": the game's BASIC loader" + starts +
                                 u", but this block covers 32000, where the loader puts the jump to it. "
                                 u"Assemble the game to start at 32000, or to leave 32000 to 32002 free"));
    }
}

// The steps after the game's first code block, in the loader's order, as the launch table gives
// them to the player; what the table cannot or need not repeat is left out, with a finding
// where the user should know.
std::vector<std::uint8_t> launch_table_of(const GameLoader& loader, const LoaderStep& first,
                                          const Text& tape_name, std::vector<GameTapeFinding>& findings) {
    Colours colours{loader.border, loader.paper, loader.ink, loader.bright, loader.flash};
    std::uint8_t flags = (loader.screen_cleared ? clear_screen_flag : 0) |
                         (loader.entry != game_start_address ? jump_flag : 0);
    std::vector<std::uint8_t> table = launch_head(colours, flags, loader.entry);
    bool first_loaded = false;  // before the first code block comes only the screen shown first
    for (const LoaderStep& step : loader.steps) {
        if (step.kind == LoaderStep::Kind::load) {
            if (first_loaded) {
                table.push_back(load_step);
                put_word(table, step.address);
                put_word(table, step.length);
            }
            first_loaded = first_loaded || step.header == first.header;
            continue;
        }
        const Text poke = line_text(tape_name, loader, step.line) + u": POKE " + number_text(step.address);
        if (step.address >= player_first_address && step.address <= player_last_address) {
            findings.push_back(error(poke +
                                     u" changes the music player (25500 to 31999), which the game's "
                                     u"loader leaves to the game. Move what it sets to 32000 or above"));
        } else if (step.address >= program_address && step.address < player_first_address) {
            findings.push_back({Severity::warning, poke + u" changes the game's own BASIC loader, which this "
                                                          u"tape does not carry, so it is left out"});
        } else if (first_loaded || !covers(first, step.address)) {
            // A POKE into the first code block before it loads is overwritten, as on the game's own tape.
            table.push_back(poke_step);
            put_word(table, step.address);
            table.push_back(static_cast<std::uint8_t>(step.value));
        }
    }
    table.push_back(0);
    return table;
}

// The game's part of the output tape. The first code block loads with the loader's own
// LOAD "" CODE, at its header's address, so it gets a header for the address the game's loader
// asked for. The rest go headerless, for the player to load, and then every block after the
// last one the loader used, for the game to load itself.
std::vector<std::uint8_t> game_blocks_of(const std::vector<TapeBlock>& blocks,
                                         const std::vector<LoaderStep>& loads, std::size_t blocks_used) {
    std::vector<std::uint8_t> tape;
    const LoaderStep& first = loads.front();
    const TapeBlock& header = blocks[first.header];
    if (first.address == header_parameter_1(header))
        append_block(tape, header.bytes);
    else
        tape = code_header_block(header, first.address, first.length);
    for (const LoaderStep& load : loads) append_block(tape, blocks[load.header + 1].bytes);
    for (std::size_t at = blocks_used; at < blocks.size(); ++at) append_block(tape, blocks[at].bytes);
    return tape;
}

// The tape when its own loader was followed to the game's start.
GameTapeCheck check_followed(const std::vector<TapeBlock>& blocks, const GameLoader& loader,
                             const Text& tape_name, bool screen_file) {
    GameTapeCheck check;
    std::vector<LoaderStep> loads;
    for (const LoaderStep& step : loader.steps)
        if (step.kind == LoaderStep::Kind::load) loads.push_back(step);
    for (const LoaderStep& load : loads) {
        Text broken = damage(blocks, load.header, tape_name);
        if (!broken.empty()) check.findings.push_back(error(broken));
    }
    if (!check.findings.empty()) return check;

    // A screen the loader shows first becomes the loading screen: the loader shows it the same way.
    if (!loads.empty() && loads.front().screen) {
        const TapeBlock& header = blocks[loads.front().header];
        std::span<const std::uint8_t> picture = block_contents(blocks[loads.front().header + 1]);
        if (screen_file)
            check.findings.push_back(
                {Severity::warning, block_text(tape_name, header.number, code_text(header)) +
                                        u": the game's loading screen is left off the tape, "
                                        u"since screen.scr is shown instead. Remove "
                                        u"screen.scr to show the game's own"});
        else
            check.start.screen.assign(picture.begin(), picture.end());
        loads.erase(loads.begin());
    }
    const Text its_loader = tape_name + u": its BASIC loader \"" + loader.name + u"\"";
    if (loads.empty()) {
        check.findings.push_back(error(its_loader + u" loads no code block of the game. Save the game's code "
                                                    u"with a CODE header after the loader"));
        return check;
    }
    for (const LoaderStep& load : loads) {
        const TapeBlock& header = blocks[load.header];
        Text block = block_text(tape_name, header.number, code_text(header));
        if (load.address != header_parameter_1(header))
            block += u", loaded at " + number_text(load.address) + u" by line " + number_text(load.line);
        for (GameTapeFinding& finding : check_placing(block + u": it", load.address, load.length))
            check.findings.push_back(finding);
    }
    // A block in the wrong place is the one problem to mend first.
    if (has_error(check.findings)) return check;
    check_entry(blocks, loads, loader.entry, tape_name, its_loader, check.findings);
    check.start.launch_table = launch_table_of(loader, loads.front(), tape_name, check.findings);
    if (check.start.launch_table.size() > launch_table_most)
        check.findings.push_back(error(
            its_loader + u" loads more blocks and makes more POKEs than the player can repeat (" +
            number_text(static_cast<std::int64_t>(check.start.launch_table.size())) +
            u" bytes of steps, at most " + number_text(static_cast<std::int64_t>(launch_table_most)) + u")"));
    check.start.game_blocks = game_blocks_of(blocks, loads, loader.blocks_used);
    return check;
}

// A tape with no loader of its own, or one that could not be followed: LOAD "" CODE takes the
// first code block (a BASIC program and its data before it are skipped), which then starts at
// its own address. A data block with no header before it is passed over as well, so code
// saved without a header never loads.
GameTapeCheck check_first_code_block(const std::vector<TapeBlock>& blocks, std::span<const std::uint8_t> tape,
                                     const Text& tape_name) {
    GameTapeCheck check;
    bool data_of_other_header_due = false;
    std::size_t at = 0;
    for (; at < blocks.size(); ++at) {
        const TapeBlock& block = blocks[at];
        if (block.bytes[0] != header_flag) {
            if (data_of_other_header_due) {
                data_of_other_header_due = false;
                continue;
            }
            check.findings.push_back(error(
                block_text(tape_name, block.number,
                           number_text(static_cast<std::int64_t>(block_contents(block).size())) +
                               u" bytes of data without a header") +
                u": the loader's LOAD \"\" CODE loads only code saved with a header, so it passes over this "
                u"block "
                u"and does not load the game. Save the game's code with a CODE header, to load at 32000"));
            return check;
        }
        if (block.bytes.size() != header_block_length) {
            check.findings.push_back(
                error(block_text(tape_name, block.number,
                                 u"a header block of " +
                                     number_text(static_cast<std::int64_t>(block.bytes.size())) +
                                     u" bytes, where a header block has 19") +
                      u": the tape is damaged. Save the game's tape again"));
            return check;
        }
        data_of_other_header_due = header_type(block) != code_type;
        if (!data_of_other_header_due) break;
    }
    if (at == blocks.size()) {
        check.findings.push_back(
            error(tape_name +
                  u" holds no code block (a CODE header and its data) for the loader's LOAD "
                  u"\"\" CODE. Save the game's code on " +
                  tape_name + u" with a header, to load at 32000"));
        return check;
    }
    Text broken = damage(blocks, at, tape_name);
    if (!broken.empty()) {
        check.findings.push_back(error(broken));
        return check;
    }
    const TapeBlock& header = blocks[at];
    const int address = header_parameter_1(header), length = header_length(header);
    const Text block =
        block_text(tape_name, header.number, code_text(header)) + u": the first code block on the tape";
    if (address == screen_address && length <= screen_bytes && length > 0) {
        check.findings.push_back(error(block +
                                       u" is a loading screen, and the loader's LOAD \"\" CODE would load "
                                       u"it in place of the game. Save the screen as screen.scr in the "
                                       u"program directory, where the loader shows it while the rest "
                                       u"loads, and remove it from " +
                                       tape_name));
        return check;
    }
    for (GameTapeFinding& finding : check_placing(block, address, length)) check.findings.push_back(finding);
    if (!check.findings.empty()) return check;
    std::uint8_t flags = 0;
    if (address > game_start_address && address < game_start_address + jump_bytes)
        // No room for the jump: empty memory holds zeros, which run as NOPs up to the code.
        check.findings.push_back(
            {Severity::warning,
             block + u" loads at " + number_text(address) +
                 u", but the loader starts the game at 32000; the game starts only if the "
                 u"memory from 32000 to " +
                 number_text(address - 1) +
                 u" happens to be empty. Assemble the game at 32000, or at 32003 or above"});
    else if (address != game_start_address)
        flags = jump_flag;
    check.start.launch_table = launch_head(Colours{}, flags, flags ? address : game_start_address);
    check.start.launch_table.push_back(0);
    check.start.game_blocks.assign(tape.begin(), tape.end());
    return check;
}

}  // namespace

std::vector<std::uint8_t> plain_launch_table() {
    std::vector<std::uint8_t> table = launch_head(Colours{}, 0, game_start_address);
    table.push_back(0);
    return table;
}

GameTapeCheck check_game_tape(std::span<const std::uint8_t> tape, const Text& tape_name, bool screen_file) {
    Text broken;
    const std::vector<TapeBlock> blocks = read_tape_blocks(tape, tape_name, broken);
    if (!broken.empty()) return {{error(broken)}, {}};

    GameLoader loader = read_game_loader(blocks);
    // Machine code run from inside the BASIC program loads the rest in its own way.
    if (loader.followed() && loader.entry >= program_address &&
        loader.entry < program_address + loader.program_length) {
        loader.stopped_because = u"it starts machine code inside its own BASIC program (at " +
                                 number_text(loader.entry) + u"), which this program does not follow";
    }
    if (loader.followed()) return check_followed(blocks, loader, tape_name, screen_file);

    GameTapeCheck check = check_first_code_block(blocks, tape, tape_name);
    if (loader.present) {
        const Text why = loader.stopped_line > 0 ? line_text(tape_name, loader, loader.stopped_line)
                                                 : tape_name + u", its BASIC loader \"" + loader.name + u"\"";
        check.findings.insert(
            check.findings.begin(),
            {Severity::warning,
             why + u": " + loader.stopped_because +
                 u". So the loader loads only the first code block, at its own address, and "
                 u"starts the game there"});
    }
    return check;
}

}  // namespace loader
