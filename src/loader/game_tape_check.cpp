#include "loader/game_tape_check.hpp"

#include <cstddef>

namespace loader {

namespace {

// A block is a two-byte length, then that many bytes: the flag, the contents and a checksum
// that makes the XOR of them all zero.
constexpr std::uint8_t header_flag = 0x00;
constexpr std::uint8_t data_flag = 0xFF;
constexpr std::size_t header_block_length = 19;  // flag, 17 header bytes, checksum

// Places in a header block, counted from its flag.
constexpr std::size_t type_place = 1;
constexpr std::size_t name_place = 2;
constexpr std::size_t name_length = 10;
constexpr std::size_t length_place = 12;
constexpr std::size_t address_place = 14;  // the first parameter: where code loads
constexpr std::uint8_t code_type = 3;

constexpr std::int64_t screen_address = 16384;
constexpr std::int64_t screen_bytes = 6912;
constexpr std::int64_t memory_end = 65536;

struct Block {
    std::int64_t number;                  // counted from 1, in the order the blocks lie on the tape
    std::span<const std::uint8_t> bytes;  // flag, contents, checksum
};

// The header of the first code block, as the texts show it.
struct CodeHeader {
    std::int64_t number;
    Text name;
    std::int64_t length;
    std::int64_t address;
};

Text number_text(std::int64_t value) {
    return host::decimal_text(value);
}

std::int64_t word_at(std::span<const std::uint8_t> bytes, std::size_t place) {
    return bytes[place] | (bytes[place + 1] << 8);
}

// The bytes a block carries between its flag and its checksum.
std::int64_t carried_bytes(const Block& block) {
    return block.bytes.size() < 2 ? 0 : static_cast<std::int64_t>(block.bytes.size()) - 2;
}

bool checksum_holds(std::span<const std::uint8_t> bytes) {
    std::uint8_t sum = 0;
    for (std::uint8_t byte : bytes) sum ^= byte;
    return sum == 0;
}

// The Spectrum shows the name's bytes as its own characters; those outside printable ASCII
// (graphics, tokens, control codes) show here as "?".
Text block_name(std::span<const std::uint8_t> header) {
    Text name;
    for (std::size_t i = 0; i < name_length; ++i) {
        std::uint8_t byte = header[name_place + i];
        name.push_back(byte >= 0x20 && byte < 0x7F ? static_cast<char16_t>(byte) : u'?');
    }
    return name.substr(0, name.find_last_not_of(u' ') + 1);
}

CodeHeader code_header(const Block& block) {
    return {block.number, block_name(block.bytes), word_at(block.bytes, length_place),
            word_at(block.bytes, address_place)};
}

Text code_text(const CodeHeader& code) {
    return u"code \"" + code.name + u"\", " + number_text(code.length) + u" bytes at " +
           number_text(code.address);
}

// "game.tap, block 3 (code "name", 6912 bytes at 16384)": the block a finding is about.
Text block_text(const Text& tape_name, std::int64_t number, const Text& what) {
    return tape_name + u", block " + number_text(number) + u" (" + what + u")";
}

GameTapeFinding error(const Text& text) {
    return {Severity::error, text};
}

// A tape that is not a run of whole blocks would make an output tape that stops loading where
// the game's part begins. Returns the blocks, or nothing with the problem in `broken`.
std::vector<Block> whole_blocks(std::span<const std::uint8_t> tape, const Text& tape_name, Text& broken) {
    std::vector<Block> blocks;
    const Text not_a_tape = tape_name + u" is not a tape file: ";
    std::size_t position = 0;
    for (std::int64_t number = 1; position < tape.size(); ++number) {
        const std::size_t left = tape.size() - position;
        if (left < 2) {
            broken = not_a_tape + u"the file ends inside the length of block " + number_text(number);
            return {};
        }
        const std::size_t length = static_cast<std::size_t>(word_at(tape, position));
        if (length == 0) {
            broken = not_a_tape + u"block " + number_text(number) + u" has a length of 0";
            return {};
        }
        if (length > left - 2) {
            broken = not_a_tape + u"block " + number_text(number) + u" should have " +
                     number_text(static_cast<std::int64_t>(length)) + u" bytes, but the file ends after " +
                     number_text(static_cast<std::int64_t>(left - 2)) + u" of them";
            return {};
        }
        blocks.push_back({number, tape.subspan(position + 2, length)});
        position += 2 + length;
    }
    return blocks;
}

// The loader starts the game at 32000 with the player running below it. The first code block
// must reach neither below 32000 nor past the end of memory, and should start right at 32000.
std::vector<GameTapeFinding> check_placing(const CodeHeader& code, const Text& tape_name) {
    const Text block = block_text(tape_name, code.number, code_text(code));
    const Text first = u": the first code block on the tape ";
    if (code.address == screen_address && code.length <= screen_bytes && code.length > 0)
        return {error(block + first +
                      u"is a loading screen, and the loader's LOAD \"\" CODE would load it in place of the "
                      u"game. Save the screen as screen.scr in the program directory, where the loader "
                      u"shows it while the rest loads, and remove it from " +
                      tape_name)};
    if (code.length == 0)
        return {error(block + first +
                      u"holds no bytes, so nothing of the game lies at 32000. Save the game's code in it")};

    std::vector<GameTapeFinding> findings;
    const std::int64_t last = code.address + code.length - 1;
    if (code.address < game_start_address) {
        // Below 25500 lie the loader's own BASIC program and its stack, which are still running.
        Text over;
        if (code.address < player_first_address)
            over = u"the loader's own BASIC program and stack (below 25500)";
        if (last >= player_first_address) {
            if (!over.empty()) over += u" and ";
            over += u"the music player (25500 to 31999)";
        }
        findings.push_back(error(block + first + u"loads below 32000, over " + over +
                                 u". Assemble the game to load at 32000 or above and to start at 32000"));
    }
    if (last >= memory_end)
        findings.push_back(error(block + first + u"runs past the end of memory at 65535 (to " +
                                 number_text(last) + u"). Loading at " + number_text(code.address) +
                                 u", it may hold at most " + number_text(memory_end - code.address) +
                                 u" bytes"));
    if (findings.empty() && code.address > game_start_address) {
        // Empty memory holds zeros, which run as NOPs up to the code: the game starts by luck.
        const Text gap = code.address - 1 == game_start_address
                             ? Text(u"at 32000")
                             : u"from 32000 to " + number_text(code.address - 1);
        findings.push_back(
            {Severity::warning,
             block + first + u"loads at " + number_text(code.address) +
                 u", but the loader starts the game at 32000; the game starts only if the memory " + gap +
                 u" happens to be empty. Assemble the game at 32000, or begin the block at "
                 u"32000 with a jump to the game's start there (JP " +
                 number_text(code.address) + u")"});
    }
    return findings;
}

// The first code block's header and the data block after it, as the ROM loads them: it passes
// over a header with a bad checksum, so the game's code never loads, and it stops with
// "R Tape loading error" at a data block that is missing, of another length than its header
// gives, or with a bad checksum.
std::vector<GameTapeFinding> check_code_block(const std::vector<Block>& blocks, std::size_t at,
                                              const Text& tape_name) {
    const CodeHeader code = code_header(blocks[at]);
    const Text header = block_text(tape_name, code.number, code_text(code));
    const Text again = u" Save the game's tape again";
    if (!checksum_holds(blocks[at].bytes))
        return {error(header + u": the header's checksum is wrong, so the tape is damaged." + again)};
    if (at + 1 == blocks.size() || blocks[at + 1].bytes[0] != data_flag)
        return {error(header + u": no data block follows this header, so the tape is damaged." + again)};

    const Block& data = blocks[at + 1];
    const Text data_block = block_text(tape_name, data.number, u"the data of " + code_text(code));
    const std::int64_t held = carried_bytes(data);
    if (held != code.length)
        return {error(data_block + u": it holds " + number_text(held) + u" bytes where its header gives " +
                      number_text(code.length) + u", so the loader would stop with a tape loading error." +
                      again)};
    if (!checksum_holds(data.bytes))
        return {error(data_block +
                      u": its checksum is wrong, so the loader would stop with a tape loading error." +
                      again)};
    return check_placing(code, tape_name);
}

}  // namespace

std::vector<GameTapeFinding> check_game_tape(std::span<const std::uint8_t> tape, const Text& tape_name) {
    Text broken;
    const std::vector<Block> blocks = whole_blocks(tape, tape_name, broken);
    if (!broken.empty()) return {error(broken)};

    // LOAD "" CODE passes over headers of other kinds (a BASIC program, an array) and the data
    // block that follows each; a data block with no header before it is passed over as well, so
    // code saved without a header never loads.
    bool data_of_other_header_due = false;
    for (std::size_t at = 0; at < blocks.size(); ++at) {
        const Block& block = blocks[at];
        if (block.bytes[0] != header_flag) {
            if (data_of_other_header_due) {
                data_of_other_header_due = false;
                continue;
            }
            return {error(block_text(tape_name, block.number,
                                     number_text(carried_bytes(block)) + u" bytes of data without a header") +
                          u": the loader's LOAD \"\" CODE loads only code saved with a header, so it passes "
                          u"over this block and does not load the game. Save the game's code with a CODE "
                          u"header, to load and start at 32000")};
        }
        if (block.bytes.size() != header_block_length)
            return {error(block_text(tape_name, block.number,
                                     u"a header block of " +
                                         number_text(static_cast<std::int64_t>(block.bytes.size())) +
                                         u" bytes, where a header block has 19") +
                          u": the tape is damaged. Save the game's tape again")};
        data_of_other_header_due = block.bytes[type_place] != code_type;
        if (!data_of_other_header_due) return check_code_block(blocks, at, tape_name);
    }
    return {error(tape_name +
                  u" holds no code block (a CODE header and its data) for the loader's LOAD \"\" CODE. Save "
                  u"the game's code on " +
                  tape_name + u" with a header, to load and start at 32000")};
}

}  // namespace loader
