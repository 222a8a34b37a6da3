// The ZX7 compressor and decompressor in-process: the exact bit format, round trips over real
// and generated data, the golden screens, and optimality against a slow exhaustive parse.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <random>

#include "test_support.hpp"
#include "zx7_compress.hpp"
#include "zx7_decompress.hpp"

namespace {

using test::Bytes;
namespace fs = std::filesystem;

Bytes decompress_or_fail(const Bytes& packed) {
    std::string problem;
    auto result = zx7::decompress(packed, problem);
    EXPECT_TRUE(result) << problem;
    return result ? result->data : Bytes{};
}

// The size of a stream of literals only: the most an optimal parse may ever need.
std::size_t literal_only_size(std::size_t size) {
    return 1 + ((size - 1) * 9 + 18 + 7) / 8;
}

TEST(Zx7Format, KnownStreams) {
    struct Case {
        const char* name;
        const char* data;
        const char* packed;
    };
    const Case cases[] = {
        {"five different bytes", "01 02 03 04 05", "01 08 02 03 04 05 00 04"},
        // One byte: the raw byte, then the end marker's flag, 16 zeros and a 1.
        {"one byte", "AA", "AA 80 00 40"},
        // A literal, then a match of length 4 at offset 2 (gamma 011, offset byte 01).
        {"repeated pair", "41 42 41 42 41 42", "41 5C 42 01 00 02"},
    };
    for (const Case& c : cases) {
        Bytes data = test::hex_bytes(c.data);
        Bytes packed = test::hex_bytes(c.packed);
        EXPECT_EQ(zx7::compress(data), packed) << c.name;
        EXPECT_EQ(decompress_or_fail(packed), data) << c.name;
    }
}

TEST(Zx7Format, BrokenStreamsAreRejected) {
    Bytes good = test::hex_bytes("41 5C 42 01 00 02");
    for (std::size_t size = 0; size < good.size(); ++size) {
        std::string problem;
        Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
        EXPECT_FALSE(zx7::decompress(cut, problem)) << "cut to " << size << " bytes";
        EXPECT_FALSE(problem.empty());
    }
    const char* broken[] = {
        "41 C0 01",           // a match of 2 at offset 2 after one byte
        "41 80 00 00 00",     // more than 16 zeros in a length
        "41 C0 80 00 00 00",  // a far offset with only one byte written
    };
    for (const char* hex : broken) {
        std::string problem;
        EXPECT_FALSE(zx7::decompress(test::hex_bytes(hex), problem)) << hex;
    }
}

TEST(Zx7Format, LongestMatchFillsOneItem) {
    // 65537 equal bytes: the raw first byte and one match of the longest length, 65536.
    Bytes data(65537, 0xE5);
    Bytes packed = zx7::compress(data);
    std::string problem;
    auto result = zx7::decompress(packed, problem);
    ASSERT_TRUE(result) << problem;
    EXPECT_EQ(result->data, data);
    EXPECT_EQ(result->matches, 1u);
    EXPECT_EQ(result->literals, 0u);
    // One more byte needs a second item.
    data.push_back(0xE5);
    result = zx7::decompress(zx7::compress(data), problem);
    ASSERT_TRUE(result) << problem;
    EXPECT_EQ(result->data, data);
    EXPECT_EQ(result->matches + result->literals, 2u);
}

Bytes random_bytes(std::size_t size, unsigned seed, int alphabet = 256) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random() % alphabet);
    return bytes;
}

Bytes text_bytes(std::size_t size) {
    const std::string verse =
        "The quick brown fox jumps over the lazy dog; the lazy dog sleeps on. 10 PRINT \"HELLO\"\n";
    Bytes bytes;
    for (std::size_t i = 0; bytes.size() < size; ++i)
        bytes.push_back(static_cast<std::uint8_t>(verse[i % verse.size()]));
    return bytes;
}

// Long runs of zeros with a little data between them, as in screens and music.
Bytes zero_runs(std::size_t size) {
    Bytes bytes(size, 0);
    std::mt19937 random(7);
    for (std::size_t at = 0; at < size; at += 300 + random() % 700)
        bytes[at] = static_cast<std::uint8_t>(random());
    return bytes;
}

TEST(Zx7RoundTrip, GeneratedData) {
    const std::size_t sizes[] = {1, 2, 127, 128, 129, 2176, 2177, 2178, 6912, 65537};
    const std::pair<const char*, std::function<Bytes(std::size_t)>> kinds[] = {
        {"zeros", [](std::size_t n) { return Bytes(n, 0); }},
        {"one byte", [](std::size_t n) { return Bytes(n, 0xAA); }},
        {"zero runs", zero_runs},
        {"random", [](std::size_t n) { return random_bytes(n, static_cast<unsigned>(n)); }},
        {"random, 4 values", [](std::size_t n) { return random_bytes(n, static_cast<unsigned>(n), 4); }},
        {"text", text_bytes},
    };
    for (const auto& [kind, make] : kinds) {
        for (std::size_t size : sizes) {
            Bytes data = make(size);
            Bytes packed = zx7::compress(data);
            std::string problem;
            auto result = zx7::decompress(packed, problem);
            ASSERT_TRUE(result) << kind << " " << size << ": " << problem;
            EXPECT_EQ(result->data, data) << kind << " " << size;
            EXPECT_EQ(result->bytes_read, packed.size()) << kind << " " << size;
            EXPECT_LE(packed.size(), literal_only_size(size)) << kind << " " << size;
        }
    }
}

std::vector<fs::path> corpus_files() {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(*test::corpus_dir())) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST(Zx7RoundTrip, EveryCorpusFile) {
    if (!test::corpus_dir()) GTEST_SKIP() << "no shared corpus at ../shared/corpus";
    for (const fs::path& file : corpus_files()) {
        Bytes data = test::read_bytes(file);
        if (data.empty()) continue;
        Bytes packed = zx7::compress(data);
        EXPECT_EQ(decompress_or_fail(packed), data) << file;
        EXPECT_LE(packed.size(), literal_only_size(data.size())) << file;
    }
}

TEST(Zx7Golden, ScreensMatchTheWidelyUsedCompressor) {
    if (!test::corpus_dir()) GTEST_SKIP() << "no shared corpus at ../shared/corpus";
    int pairs = 0;
    for (const fs::path& file : corpus_files()) {
        fs::path golden = file;
        golden += ".zx7";
        if (file.extension() != ".scr" || !fs::exists(golden)) continue;
        ++pairs;
        Bytes screen = test::read_bytes(file);
        Bytes expected = test::read_bytes(golden);
        EXPECT_EQ(decompress_or_fail(expected), screen) << golden;
        Bytes ours = zx7::compress(screen);
        EXPECT_LE(ours.size(), expected.size()) << file;
        std::cout << file.filename().string() << ": ours " << ours.size() << " bytes, golden "
                  << expected.size() << " bytes"
                  << (ours == expected ? ", identical\n" : ", different bytes\n");
    }
    EXPECT_GT(pairs, 0) << "the corpus has no .scr + .scr.zx7 pairs";
}

// The fewest bits any valid parse needs, found the slow way: every offset, every length.
std::size_t exhaustive_bits(const Bytes& data) {
    auto gamma = [](std::size_t value) {
        std::size_t width = 0;
        while (value >> width) ++width;
        return 2 * width - 1;
    };
    const std::size_t none = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> best(data.size() + 1, none);
    best[1] = 0;
    for (std::size_t at = 1; at < data.size(); ++at) {
        best[at + 1] = std::min(best[at + 1], best[at] + 9);
        for (std::size_t offset = 1; offset <= std::min<std::size_t>(at, 2176); ++offset) {
            std::size_t offset_bits = offset <= 128 ? 8 : 12;
            for (std::size_t length = 1; at + length <= data.size() && length <= 65536; ++length) {
                if (data[at + length - 1] != data[at + length - 1 - offset]) break;
                if (length == 1) continue;
                best[at + length] =
                    std::min(best[at + length], best[at] + 1 + gamma(length - 1) + offset_bits);
            }
        }
    }
    return best[data.size()] + 18;
}

void expect_optimal(const Bytes& data, const std::string& label) {
    std::string problem;
    auto result = zx7::decompress(zx7::compress(data), problem);
    ASSERT_TRUE(result) << label << ": " << problem;
    ASSERT_EQ(result->data, data) << label;
    EXPECT_EQ(result->item_bits, exhaustive_bits(data)) << label;
}

TEST(Zx7Optimal, SmallRandomInputsMatchExhaustiveParse) {
    std::mt19937 random(12345);
    const int alphabets[] = {1, 2, 3, 4, 16, 256};
    for (int round = 0; round < 150; ++round) {
        int alphabet = alphabets[round % 6];
        std::size_t size = 1 + random() % 260;
        expect_optimal(random_bytes(size, random(), alphabet), "round " + std::to_string(round));
    }
}

TEST(Zx7Optimal, FarOffsetsAndTheirLimit) {
    // A block of random bytes, then a copy of its start at exactly the largest offset, one
    // beyond it, and at the first far offset.
    for (std::size_t distance : {129u, 130u, 2176u, 2177u}) {
        Bytes data = random_bytes(distance, static_cast<unsigned>(distance));
        data.insert(data.end(), data.begin(), data.begin() + 40);
        expect_optimal(data, "copy at distance " + std::to_string(distance));
    }
    Bytes runs;
    for (int i = 0; i < 30; ++i) runs.insert(runs.end(), 1 + i * 7 % 23, static_cast<std::uint8_t>(i % 3));
    expect_optimal(runs, "short runs");
}

}  // namespace
