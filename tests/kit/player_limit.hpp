// The largest module the kit's player source takes, as the source itself states it
// ("max_module_size equ N"), so that the tests follow the player when it grows.
#pragma once

#include <cstdlib>
#include <string>

#include "test_support.hpp"

inline std::size_t stated_module_limit() {
    std::string source = test::read_string(test::kit_dir() / "asm" / "tunefuse.asm");
    std::size_t at = source.find("max_module_size");
    if (at == std::string::npos) return 0;
    at = source.find("equ", at);
    if (at == std::string::npos) return 0;
    return std::strtoul(source.c_str() + at + 3, nullptr, 10);
}
