// The loader builder and the tape writer with arbitrary title, author, music file name and game
// name. Whatever the texts, nothing is written out of bounds, and the tape is either absent (a
// loader too long for one tape block; no stale tape stays either) or a header block and a data
// block, each whole with its checksum right, that agree on the program's length, and the program
// is a run of whole BASIC lines.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "loader/loader_program.hpp"
#include "loader/tape_blocks.hpp"

namespace {

// Repeats reach the loader's size limits without needing huge inputs.
host::Text fuzzed_text(FuzzedDataProvider& input) {
    const host::Text piece = fuzz::text_from_bytes(input.ConsumeRandomLengthString(512));
    host::Text text;
    for (int repeats = input.ConsumeIntegralInRange(1, 40); repeats > 0; --repeats) text += piece;
    return text;
}

std::size_t word_at(const std::string& tape, std::size_t at) {
    return static_cast<unsigned char>(tape[at]) | (static_cast<unsigned char>(tape[at + 1]) << 8);
}

// Checks the block that starts at `at` and returns where the next one starts.
std::size_t check_block(const std::string& tape, std::size_t at, char flag) {
    fuzz::require(at + 3 <= tape.size() && at + 2 + word_at(tape, at) <= tape.size(),
                  "a block runs past the tape");
    char sum = 0;
    for (std::size_t i = at + 2; i < at + 2 + word_at(tape, at); ++i) sum ^= tape[i];
    fuzz::require(tape[at + 2] == flag && sum == 0, "a block's flag or checksum is wrong");
    return at + 2 + word_at(tape, at);
}

void check_tape(const std::string& tape) {
    fuzz::require(check_block(tape, 0, 0x00) == 21, "the header block is not 19 bytes");
    fuzz::require(check_block(tape, 21, '\xFF') == tape.size(), "the tape is not two blocks");
    const std::size_t end = 24 + word_at(tape, 14);
    fuzz::require(word_at(tape, 18) + 24 == end && word_at(tape, 21) + 22 == end, "the lengths disagree");
    // Each line: its number, its length, and that many bytes, the last 0x0D.
    for (std::size_t at = 24; at < end; at += 4 + word_at(tape, at + 2)) {
        fuzz::require(at + 4 <= end && word_at(tape, at + 2) > 0 && at + 4 + word_at(tape, at + 2) <= end &&
                          tape[at + 3 + word_at(tape, at + 2)] == 0x0D,
                      "a line is not whole");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const host::Text banner = fuzzed_text(input), title = fuzzed_text(input), author = fuzzed_text(input);
    const host::Text music_file_name = fuzzed_text(input);
    const host::Text game_name = fuzz::text_from_bytes(input.ConsumeRandomLengthString(64));
    loader::LoaderProgram program;
    loader::TapeImage image;
    loader::build_token_texts(program);
    const int length = loader::compose_loader(program, banner, title, author, music_file_name,
                                              input.ConsumeIntegralInRange(0, 2));
    fuzz::require(length >= 0 && length < loader::program_buffer_slots, "loader length out of range");
    static const auto path = fuzz::scratch_directory() / "KRZCode.tap";
    fuzz::write_file(path, "a tape of an earlier run");
    loader::write_tape(image, program, path.u16string(), loader::build_header(image, game_name, length));
    const std::string tape = fuzz::read_file(path);
    if (length + 25 > loader::tape_image_slots)
        fuzz::require(tape.empty(), "a loader too long for the tape was written");
    else
        check_tape(tape);
    return 0;
}
