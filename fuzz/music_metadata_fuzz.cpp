// The build's metadata stages over arbitrary files: the PT3 header read and the credits line
// (read_music_credits), the game tape's check (check_game_tape), and the loader with the game
// name read from game.tap (create_loader), through the same file layer the program uses, in a
// scratch program directory.
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

// A header field as the program reads it: up to count bytes from offset, stopping at a zero,
// a line feed or a carriage return.
std::string header_field(const std::string& module, std::size_t offset, std::size_t count) {
    std::string field;
    for (std::size_t i = offset; i < module.size() && field.size() < count; ++i) {
        char c = module[i];
        if (c == 0 || c == '\n' || c == '\r') break;
        field.push_back(c);
    }
    return field;
}

bool has_problem(const driver::RunState& run, const Text& start) {
    for (const Text& problem : run.problems)
        if (problem.rfind(start, 0) == 0) return true;
    return false;
}

void check_credits(const driver::RunState& run, const std::string& module) {
    const std::string title = header_field(module, 30, 33);
    const std::string author = header_field(module, 66, 33);
    fuzz::require(run.title == host::from_single_byte(title), "the title is not the header's");
    fuzz::require(run.author == host::from_single_byte(author), "the author is not the header's");
    const std::string expected =
        host::to_single_byte(run.banner_text + u"-" + host::trim_spaces(run.title) + u"/" +
                             host::trim_spaces(run.author) + u"/" + run.music_file_name) +
        "\r\n";
    fuzz::require(fuzz::read_file("bin/author.bin") == expected, "the credits file is not the credits line");
    const std::string identification = header_field(module, 0, 13);
    const bool is_pt3 = identification == "ProTracker 3." || identification == "Vortex Tracke";
    // An empty module is reported as an empty music file, not as something other than a PT3.
    const bool complaint_due = !module.empty() && !is_pt3;
    fuzz::require(complaint_due == has_problem(run, u"the music file is not a PT3"), "PT3 check is wrong");
}

void check_loader_tape(const driver::RunState& run, const std::string& game) {
    fuzz::require(run.game_name.size() <= 10, "the game name is longer than its ten-byte field");
    fuzz::require(run.game_name == host::trim_spaces(run.game_name), "the game name is not trimmed");
    fuzz::require(game.empty() == has_problem(run, u"game.tap is missing"), "empty game tape not noted");
    const std::string tape = fuzz::read_file("KRZCode.tap");
    fuzz::require(tape.size() == static_cast<std::size_t>(run.loader_length) + 25, "bad loader tape size");
    for (std::size_t i = 0; i < 10; ++i) {
        char16_t expected = i < run.game_name.size() ? run.game_name[i] : u' ';
        fuzz::require(static_cast<unsigned char>(tape[4 + i]) == (expected & 0xFF), "tape name is wrong");
    }
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
