// The limits the kit's player source states ("max_module_size equ N" and the like), so that
// the tests follow the player when it grows.
#pragma once

#include <cstdlib>
#include <string>

#include "test_support.hpp"

// The value of the named "equ" in asm/tunefuse.asm, or 0 when the source no longer states it:
// "max_module_size" is the largest module the player unpacks into main memory.
inline std::size_t stated_limit(const std::string& name) {
    std::string source = test::read_string(test::kit_dir() / "asm" / "tunefuse.asm");
    std::size_t at = source.find("\n" + name + " ");
    at = at == std::string::npos ? at : source.find("equ", at);
    return at == std::string::npos ? 0 : std::strtoul(source.c_str() + at + 3, nullptr, 10);
}

constexpr int music_bank_address = 0xC000;
constexpr int player_music_bank = 25519;  // the bank holding the music, 0 when none
