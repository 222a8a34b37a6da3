// The ZX7 codec: any input read as compressed data is refused or decoded safely, and any input
// compressed decompresses to itself, reading exactly the bytes the compressor wrote.
#include <algorithm>
#include <span>

#include "fuzz_support.hpp"
#include "zx7_compress.hpp"
#include "zx7_decompress.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> input(data, size);
    std::string problem;
    zx7::decompress(input, problem);
    if (size == 0) return 0;
    std::vector<std::uint8_t> packed = zx7::compress(input);
    auto unpacked = zx7::decompress(packed, problem);
    fuzz::require(unpacked && std::ranges::equal(unpacked->data, input), "the round trip changed the data");
    fuzz::require(unpacked->bytes_read == packed.size(), "the compressed data has bytes after its end");
    return 0;
}
