// The ZX7 compressor: whatever the input, decompressing what it made gives the input back, and
// the decompressor reads exactly the bytes the compressor wrote. The input is also fed to the
// decompressor as it stands.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "zx7_compress.hpp"
#include "zx7_decompress.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::span<const std::uint8_t> input(data, size);
    std::string problem;
    // The input as compressed data: the checking decompressor must refuse or decode it safely.
    zx7::decompress(input, problem);
    std::vector<std::uint8_t> packed = zx7::compress(input);
    auto unpacked = zx7::decompress(packed, problem);
    fuzz::require(unpacked.has_value(), "the compressed data does not decompress");
    fuzz::require(unpacked->data.size() == size, "the round trip changed the length");
    fuzz::require(std::equal(unpacked->data.begin(), unpacked->data.end(), data),
                  "the round trip changed bytes");
    fuzz::require(unpacked->bytes_read == packed.size(), "the compressed data has bytes after its end");
    return 0;
}
