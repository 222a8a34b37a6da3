// The loader builder and the tape writer with arbitrary title, author, music file name and
// game name. Whatever the texts, the tape written is either absent (a loader too long for one
// tape block) or two well-formed blocks whose program is a list of well-formed BASIC lines.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "host/file_system.hpp"
#include "loader/loader_program.hpp"
#include "loader/tape_blocks.hpp"

namespace {

using host::Text;

Text fuzzed_text(FuzzedDataProvider& input) {
    Text piece = fuzz::text_from_bytes(input.ConsumeRandomLengthString(512));
    // Repeats reach the loader's size limits without needing huge inputs.
    int repeats = input.ConsumeIntegralInRange(1, 40);
    Text text;
    for (int i = 0; i < repeats; ++i) text += piece;
    return text;
}

unsigned byte_at(const std::string& tape, std::size_t i) {
    return static_cast<unsigned char>(tape[i]);
}

unsigned word_at(const std::string& tape, std::size_t i) {
    return byte_at(tape, i) | (byte_at(tape, i + 1) << 8);
}

// A block's flag, contents and checksum XOR to zero.
bool checksum_holds(const std::string& tape, std::size_t start, std::size_t length) {
    unsigned sum = 0;
    for (std::size_t i = start; i < start + length; ++i) sum ^= byte_at(tape, i);
    return sum == 0;
}

void check_header(const std::string& tape, const Text& game_name, unsigned length) {
    fuzz::require(word_at(tape, 0) == 19 && byte_at(tape, 2) == 0 && byte_at(tape, 3) == 0,
                  "the header block does not start as a program header");
    for (std::size_t i = 0; i < 10; ++i) {
        unsigned expected = i < game_name.size() ? (game_name[i] & 0xFF) : ' ';
        fuzz::require(byte_at(tape, 4 + i) == expected, "the tape name is not the game name");
    }
    fuzz::require(word_at(tape, 14) == length && word_at(tape, 18) == length, "header lengths disagree");
    fuzz::require(checksum_holds(tape, 2, 19), "bad header checksum");
}

// The program is a run of lines: number (high byte first), length, contents ending in 0x0D.
void check_program_lines(const std::string& tape, std::size_t start, std::size_t length) {
    std::size_t at = start;
    while (at < start + length) {
        fuzz::require(at + 4 <= start + length, "a line header runs past the program");
        std::size_t line_length = word_at(tape, at + 2);
        at += 4 + line_length;
        fuzz::require(line_length > 0 && at <= start + length, "a line runs past the program");
        fuzz::require(byte_at(tape, at - 1) == 0x0D, "a line does not end with 0x0D");
    }
}

void check_tape(const std::string& tape, const loader::LoaderProgram& program, const Text& game_name) {
    const auto length = static_cast<unsigned>(program.loader_length);
    fuzz::require(tape.size() == length + 25, "the tape has the wrong size");
    check_header(tape, game_name, length);
    fuzz::require(word_at(tape, 21) == length + 2 && byte_at(tape, 23) == 0xFF, "bad data block start");
    fuzz::require(checksum_holds(tape, 23, length + 2), "bad data block checksum");
    for (std::size_t i = 0; i < length; ++i)
        fuzz::require(byte_at(tape, 24 + i) == program.buffer[i + 1], "the data block is not the program");
    check_program_lines(tape, 24, length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const Text banner = fuzzed_text(input);
    const Text title = fuzzed_text(input);
    const Text author = fuzzed_text(input);
    const Text music_file_name = fuzzed_text(input);
    const Text game_name = fuzz::text_from_bytes(input.ConsumeRandomLengthString(64));
    const int screen_flag = input.ConsumeIntegralInRange(0, 2);

    static loader::LoaderProgram program;
    static loader::TapeImage image;
    fuzz::reset(program);
    fuzz::reset(image);
    loader::build_token_texts(program);
    const int length = loader::compose_loader(program, banner, title, author, music_file_name, screen_flag);
    fuzz::require(length >= 0 && length < loader::program_buffer_slots, "loader length out of range");
    const int end = loader::build_header(image, game_name, length);

    static const auto path = fuzz::scratch_directory() / "KRZCode.tap";
    loader::write_tape(image, program, path.u16string(), end);
    const std::int64_t written = host::file_size(path.u16string());
    if (length + 25 > loader::tape_image_slots) {
        fuzz::require(written == host::no_such_file, "a loader too long for the tape was written");
        return 0;
    }
    check_tape(fuzz::read_file(path), program, game_name);
    return 0;
}
