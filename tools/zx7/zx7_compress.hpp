// An optimal ZX7 compressor: the output is as short as the format allows for the input.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace zx7 {

// Compresses `input`, which must not be empty.
std::vector<std::uint8_t> compress(std::span<const std::uint8_t> input);

}  // namespace zx7
