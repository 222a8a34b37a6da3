// The build's metadata stages over arbitrary files, through the file layer the program uses, in a
// scratch program directory: the PT3 header read and the credits (read_music_credits), the game
// tape's check (check_game_tape) and the loader with the game's name (create_loader). Whatever
// the files, nothing is read or written out of bounds, and what the stages make keeps its shape.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "driver/stages.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The stages report on standard output; the fuzzer's own messages go to standard error.
    if (!std::freopen("/dev/null", "w", stdout)) return 1;
    std::filesystem::create_directories(fuzz::scratch_directory() / "bin");
    std::filesystem::current_path(fuzz::scratch_directory());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    fuzz::write_file("game.tap", input.ConsumeRandomLengthString(64));
    const std::string file_name = input.ConsumeRandomLengthString(32);
    const int screen_flag = input.ConsumeBool() ? 1 : 0;
    fuzz::write_file("bin/music.pt3", input.ConsumeRemainingBytesAsString());

    driver::RunState run;
    run.program_directory = fuzz::scratch_directory().u16string() + u"/";
    run.music_file_name = host::from_utf8(file_name);
    run.screen_flag = screen_flag;
    driver::read_music_credits(run);
    driver::check_game_tape(run);
    const int loader_length = driver::create_loader(run);

    fuzz::require(run.title.size() <= 33 && run.author.size() <= 33,
                  "a credit is more than its header field");
    const std::string credits = fuzz::read_file("bin/author.bin");
    fuzz::require(credits.size() >= 2 && credits.ends_with("\r\n"), "the credits are not a line");
    fuzz::require(run.game_name.size() <= 10, "the game name is longer than its ten-byte field");
    const std::string tape = fuzz::read_file("KRZCode.tap");
    fuzz::require(tape.size() == static_cast<std::size_t>(loader_length) + 25,
                  "the loader tape's size is wrong");
    return 0;
}
