// A ZX7 decompressor that checks everything it reads, for tests and fuzzing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace zx7 {

struct Decompressed {
    std::vector<std::uint8_t> data;
    std::size_t bytes_read = 0;  // where the end marker's last bit byte or data byte ends
    std::size_t item_bits = 0;   // bits of all items, data bytes counted as 8, end marker included
    std::size_t literals = 0;
    std::size_t matches = 0;
};

// Decompresses `packed`. Returns nothing and sets `problem` when the data ends early, a match
// reaches back before the start, or a length is malformed.
std::optional<Decompressed> decompress(std::span<const std::uint8_t> packed, std::string& problem);

}  // namespace zx7
