#include "loader/loader_program.hpp"

#include <cstddef>
#include <cstdint>

#include "loader/memory_map.hpp"

namespace loader {

namespace {

// A text cannot carry a character of code 0, so lines hold this character wherever the program
// needs a zero byte; add_line stores it as 0x00.
constexpr char16_t zero_byte_escape = 0xD3;

constexpr char16_t end_of_line = 0x0D;
constexpr char16_t number_marker = 0x0E;
constexpr char16_t keyword_rem = 0xEA;
constexpr char16_t keyword_go_to = 0xEC;

constexpr std::uint8_t entry_end = 0xFF;

// The fixed tokenised lines, one entry after another, each ended by 0xFF. The five-byte forms
// of 23739 and 111 in the POKE line carry their zero bytes as 0xD3.
// clang-format off
constexpr std::uint8_t token_line_table[] = {
    // 1: BORDER VAL "0": PAPER VAL "0": INK VAL "0": CLEAR VAL "25499"
    0xE7, 0xB0, 0x22, 0x30, 0x22, 0x3A, 0xDA, 0xB0, 0x22, 0x30, 0x22, 0x3A, 0xD9, 0xB0, 0x22, 0x30, 0x22,
    0x3A, 0xFD, 0xB0, 0x22, 0x32, 0x35, 0x34, 0x39, 0x39, 0x22, 0xFF,
    // 2: POKE 23739,111 (keeps the tape loading messages off the screen)
    0xF4, 0x32, 0x33, 0x37, 0x33, 0x39, 0x0E, 0xD3, 0xD3, 0xBB, 0x5C, 0xD3, 0x2C, 0x31, 0x31, 0x31, 0x0E,
    0xD3, 0xD3, 0x6F, 0xD3, 0xD3, 0xFF,
    // 3: LOAD "" CODE
    0xEF, 0x22, 0x22, 0xAF, 0xFF,
    // 4: RANDOMIZE USR VAL "25500" (the player's first entry)
    0xF9, 0xC0, 0xB0, 0x22, 0x32, 0x35, 0x35, 0x30, 0x30, 0x22, 0xFF,
    // 5: RANDOMIZE USR VAL "25511" (the player's second entry)
    0xF9, 0xC0, 0xB0, 0x22, 0x32, 0x35, 0x35, 0x31, 0x31, 0x22, 0xFF,
};
// clang-format on

// RANDOMIZE USR VAL "32000": starts the game's code.
constexpr char16_t start_game_line[] = {0xF9, 0xC0, 0xB0, 0x22, 0x33, 0x32, 0x30, 0x30, 0x30, 0x22};

// The numbers the lines carry as text are the memory map's: after "0" three times comes CLEAR's,
// after the POKE's two the player's entries, and the last line starts the game.
static_assert(written_number<std::uint8_t>(token_line_table, 3) == player_first_address - 1);
static_assert(written_number<std::uint8_t>(token_line_table, 6) == player_init_entry);
static_assert(written_number<std::uint8_t>(token_line_table, 7) == player_start_entry);
static_assert(written_number<char16_t>(start_game_line, 0) == game_start_address);

// What each line of the loader holds.
enum class LineText {
    banner,
    music_credits,
    token_1,
    token_2,
    token_3,
    token_4,
    token_5,
    start_game,
    go_back
};

struct LoaderStep {
    LineText text;
    bool screen_only;  // the line is there only when a loading screen is on the tape
};

// The loader line list. The LOAD "" CODE lines take the next code block on the tape: the
// screen (when there is one), the player, then the game's code.
constexpr LoaderStep loader_steps[] = {
    {LineText::banner, false},         // REM banner
    {LineText::music_credits, false},  // REM Music : title author file
    {LineText::token_1, false},        // colours and CLEAR below the player
    {LineText::token_2, false},        // no tape messages
    {LineText::token_3, false},        // LOAD "" CODE: the screen or the player
    {LineText::token_3, true},         // LOAD "" CODE: the player, after the screen
    {LineText::token_4, false},        // start the player
    {LineText::token_3, false},        // LOAD "" CODE: the game's code
    {LineText::token_5, false},        // the player's second entry
    {LineText::start_game, false},     // start the game
    {LineText::go_back, false},        // GO TO the line before, should the game return
};

constexpr int first_line_number = 10;
constexpr int line_number_step = 10;

// The character that add_line turns into the given byte: the escape for 0x00, and for 0xD3 a
// code whose low 8 bits are 0xD3 but which is not the escape itself.
char16_t byte_character(int byte) {
    if (byte == 0) return zero_byte_escape;
    if (byte == zero_byte_escape) return 0x100 | zero_byte_escape;
    return static_cast<char16_t>(byte);
}

// The decimal digits, the number marker and the Spectrum's five-byte small-integer form of a
// whole number from 0 to 65,535.
Text number_literal(int number) {
    Text literal = host::decimal_text(number);
    literal += number_marker;
    literal += byte_character(0);
    literal += byte_character(0);  // positive sign
    literal += byte_character(number % 256);
    literal += byte_character(number / 256);
    literal += byte_character(0);
    return literal;
}

Text music_credits_text(const Text& title, const Text& author, const Text& music_file_name) {
    Text text(1, keyword_rem);
    text += u"Music : ";
    text += title;
    text += u' ';
    text += author;
    text += music_file_name;
    return text;
}

struct LoaderInputs {
    const Text& banner_text;
    const Text& title;
    const Text& author;
    const Text& music_file_name;
};

// A keyword's token followed by a text. Built by appending rather than with operator+, which
// GCC 12 wrongly warns about (-Wrestrict) once inlined in an optimised build.
Text keyword_then(char16_t keyword, const Text& rest) {
    Text text(1, keyword);
    text.append(rest);
    return text;
}

Text line_text(const LoaderProgram& program, LineText kind, const LoaderInputs& inputs) {
    switch (kind) {
        case LineText::banner: return keyword_then(keyword_rem, inputs.banner_text);
        case LineText::music_credits:
            return music_credits_text(inputs.title, inputs.author, inputs.music_file_name);
        case LineText::token_1: return program.token_texts[0];
        case LineText::token_2: return program.token_texts[1];
        case LineText::token_3: return program.token_texts[2];
        case LineText::token_4: return program.token_texts[3];
        case LineText::token_5: return program.token_texts[4];
        case LineText::start_game: return Text(std::begin(start_game_line), std::end(start_game_line));
        case LineText::go_back:
            return keyword_then(keyword_go_to, number_literal(program.line_counter - line_number_step));
    }
    return Text();
}

// The byte a character of a line becomes. The escape is recognised on the whole code, before
// it is cut to 8 bits, so a code such as 467 still gives 0xD3.
std::uint8_t program_byte(char16_t character) {
    if (character == zero_byte_escape) return 0;
    return static_cast<std::uint8_t>(character & 0xFF);
}

}  // namespace

void build_token_texts(LoaderProgram& program) {
    std::size_t entry = 0;
    Text text;
    for (std::uint8_t byte : token_line_table) {
        if (byte != entry_end) {
            text += static_cast<char16_t>(byte);
            continue;
        }
        if (entry < program.token_texts.size()) program.token_texts[entry] = text;
        ++entry;
        text.clear();
    }
}

int add_line(LoaderProgram& program, int number, const Text& text) {
    const std::int64_t start = program.write_position;
    const std::int64_t length = static_cast<std::int64_t>(text.size()) + 1;  // the closing 0x0D
    const std::int64_t last_slot = static_cast<std::int64_t>(program.buffer.size()) - 1;
    // The line must end within the buffer; that also keeps its length within 16 bits.
    if (start < 0 || start + 4 + length > last_slot) return program.write_position;

    std::uint8_t* line = program.buffer.data() + start + 1;
    line[0] = static_cast<std::uint8_t>((number >> 8) & 0xFF);
    line[1] = static_cast<std::uint8_t>(number & 0xFF);
    line[2] = static_cast<std::uint8_t>(length & 0xFF);
    line[3] = static_cast<std::uint8_t>(length >> 8);
    for (std::size_t i = 0; i < text.size(); ++i) line[4 + i] = program_byte(text[i]);
    line[4 + text.size()] = static_cast<std::uint8_t>(end_of_line);

    program.write_position = static_cast<int>(start + 4 + length);
    return program.write_position;
}

int compose_loader(LoaderProgram& program, const Text& banner_text, const Text& title, const Text& author,
                   const Text& music_file_name, int screen_flag) {
    const LoaderInputs inputs{banner_text, title, author, music_file_name};
    program.line_counter = first_line_number;
    for (const LoaderStep& step : loader_steps) {
        if (step.screen_only && screen_flag != 1) continue;
        program.loader_length =
            add_line(program, program.line_counter, line_text(program, step.text, inputs));
        program.line_counter += line_number_step;
    }
    return program.loader_length;
}

}  // namespace loader
