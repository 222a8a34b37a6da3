// Inputs and expectations shared by the end-to-end tests of the build: game tapes, music
// modules, the stand-in tools' call logs and the report of a complete build.
#pragma once

#include <string>
#include <vector>

#include "test_support.hpp"

namespace test {

// One tape block: length, flag, contents and XOR checksum.
Bytes tape_block(std::uint8_t flag, const Bytes& contents);

// A game tape: a CODE header with the 10 name bytes given, for code at 32000, then data blocks of
// at most block_size bytes until data_size bytes are on the tape. Blocks after the first are the
// game's own to load; the first may have up to 33536 bytes, the most that fits from 32000 on.
Bytes make_game_tape(const std::string& name10, std::size_t data_size = 100, std::size_t block_size = 33536);

// A PT3 module of the given size whose header holds the title and author, padded with spaces.
Bytes make_module(const std::string& title = "Tune", const std::string& author = "Me",
                  std::size_t size = 2048);

// What the stand-in tools (tests/helpers/fake_tool.cpp) recorded in a log: one argument vector
// per run.
std::vector<std::vector<std::string>> recorded_calls(const fs::path& log);

// The report as the Windows program writes it when redirected (UTF-16LE, CR LF), turned into
// ASCII text with LF line ends; a text saying what is wrong when it is not ASCII UTF-16LE.
std::string from_utf16le(const std::string& bytes);

// The report lines before the music choice, and from clean-up to the end.
extern const std::string banner_lines;
extern const std::string closing_lines;
// The music choice lines for the default 2048-byte music.pt3.
extern const std::string default_music_lines;

// The whole report of a build with the stand-in tools and the module above: output is what the
// tape-building line shows (the output tape's name, or nothing), extra_lines what comes between
// the compressed size and the loader line (the screen line).
std::string build_report(const std::string& output, const std::string& music_lines = default_music_lines,
                         const std::string& extra_lines = "");

}  // namespace test
