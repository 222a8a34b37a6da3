// The build's metadata stages over arbitrary files: the PT3 header read and the credits line
// (read_music_credits), the game tape's check (check_game_tape), and the loader with the game
// name read from game.tap (create_loader), through the same file layer the program uses, in a
// scratch program directory. Whatever the files, nothing crashes or writes out of bounds, and
// what the stages make keeps its shape.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "driver/stages.hpp"
#include "fuzz_support.hpp"
#include "host/file_system.hpp"

namespace {

using host::Text;

bool has_problem(const driver::RunState& run, const Text& start) {
    for (const Text& problem : run.problems)
        if (problem.rfind(start, 0) == 0) return true;
    return false;
}

bool is_field(const Text& text) {
    return text.size() <= 33 && text.find_first_of(Text(u"\0\n\r", 3)) == Text::npos;
}

// The title and author are one header field each, the credits one line, and a module that names
// its tracker is a PT3 while one that starts otherwise is not.
void check_credits(const driver::RunState& run, const std::string& module) {
    fuzz::require(is_field(run.title) && is_field(run.author), "a credit is more than one header field");
    const std::string credits = fuzz::read_file("bin/author.bin");
    fuzz::require(credits.size() >= 2 && credits.ends_with("\r\n"), "the credits file is not one line");
    const bool complained = has_problem(run, u"the music file is not a PT3");
    if (module.starts_with("ProTracker 3.") || module.starts_with("Vortex Tracke"))
        fuzz::require(!complained, "a PT3 module is refused");
    else if (!module.empty() && module[0] != 'P' && module[0] != 'V')
        fuzz::require(complained, "a file that is no PT3 module is taken");
}

std::uint8_t xor_of(const std::string& bytes, std::size_t from, std::size_t count) {
    std::uint8_t sum = 0;
    for (std::size_t i = from; i < from + count; ++i) sum ^= static_cast<std::uint8_t>(bytes[i]);
    return sum;
}

// The loader tape is a 19-byte header block and a data block of the loader, each XORing to zero.
void check_loader_tape(const driver::RunState& run, const std::string& game) {
    fuzz::require(run.game_name.size() <= 10, "the game name is longer than its ten-byte field");
    fuzz::require(game.empty() == has_problem(run, u"game.tap is missing"), "empty game tape not noted");
    const std::string tape = fuzz::read_file("KRZCode.tap");
    fuzz::require(tape.size() == static_cast<std::size_t>(run.loader_length) + 25, "bad loader tape size");
    fuzz::require(xor_of(tape, 2, 19) == 0 && xor_of(tape, 23, tape.size() - 23) == 0, "bad block checksum");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The stages report on standard output; the fuzzer's own messages go to standard error.
    if (!std::freopen("/dev/null", "w", stdout)) return 1;
    std::filesystem::create_directories(fuzz::scratch_directory() / "bin");
    std::filesystem::current_path(fuzz::scratch_directory());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string game = input.ConsumeRandomLengthString(64);
    const std::string file_name = input.ConsumeRandomLengthString(32);
    const int screen_flag = input.ConsumeBool() ? 1 : 0;
    const std::string module = input.ConsumeRemainingBytesAsString();
    fuzz::write_file("bin/music.pt3", module);
    fuzz::write_file("game.tap", game);

    static loader::LoaderProgram program;
    static loader::TapeImage image;
    fuzz::reset(program);
    fuzz::reset(image);
    driver::RunState run;
    run.program = &program;
    run.tape_image = &image;
    run.program_directory = fuzz::scratch_directory().u16string() + u"/";
    run.banner_text = u"Tunefuse";
    run.music_file_name = host::from_utf8(file_name);
    run.screen_flag = screen_flag;
    loader::build_token_texts(program);

    driver::read_music_credits(run);
    check_credits(run, module);
    driver::check_game_tape(run);
    driver::create_loader(run);
    check_loader_tape(run, game);
    return 0;
}
