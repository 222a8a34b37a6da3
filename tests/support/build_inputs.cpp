#include "build_inputs.hpp"

#include <algorithm>
#include <fstream>

namespace test {

Bytes tape_block(std::uint8_t flag, const Bytes& contents) {
    Bytes block = {static_cast<std::uint8_t>((contents.size() + 2) & 0xFF),
                   static_cast<std::uint8_t>(((contents.size() + 2) >> 8) & 0xFF), flag};
    std::uint8_t check = flag;
    for (auto byte : contents) block.push_back(byte), check ^= byte;
    block.push_back(check);
    return block;
}

Bytes make_game_tape(const std::string& name10, std::size_t data_size, std::size_t block_size) {
    std::size_t first_block = std::min(data_size, block_size);
    Bytes header = {3};
    for (char c : name10) header.push_back(static_cast<std::uint8_t>(c));
    header.insert(header.end(),
                  {static_cast<std::uint8_t>(first_block & 0xFF),
                   static_cast<std::uint8_t>((first_block >> 8) & 0xFF), 0x00, 0x7D, 0x00, 0x80});
    Bytes tape = tape_block(0x00, header);
    for (std::size_t done = 0; done < data_size; done += block_size) {
        Bytes data = tape_block(0xFF, Bytes(std::min(block_size, data_size - done), 0xAA));
        tape.insert(tape.end(), data.begin(), data.end());
    }
    return tape;
}

Bytes make_module(const std::string& title, const std::string& author, std::size_t size) {
    std::string header = "ProTracker 3.5 compilation of ";
    header += (title + std::string(32, ' ')).substr(0, 32) + " by ";
    header += (author + std::string(32, ' ')).substr(0, 32) + " ";
    Bytes module = bytes_of(header);
    module.resize(size, 0x01);
    return module;
}

std::vector<std::vector<std::string>> recorded_calls(const fs::path& log) {
    std::vector<std::vector<std::string>> calls;
    std::ifstream in(log, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> args;
        std::size_t start = 0;
        for (std::size_t sep; (sep = line.find('\x1f', start)) != std::string::npos; start = sep + 1)
            args.push_back(line.substr(start, sep - start));
        if (!line.empty()) args.push_back(line.substr(start));
        calls.push_back(args);
    }
    return calls;
}

std::string from_utf16le(const std::string& bytes) {
    std::string text;
    if (bytes.size() % 2 != 0) return "odd byte count: " + bytes;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        if (bytes[i + 1] != '\0') return "not UTF-16LE ASCII: " + bytes;
        if (bytes[i] != '\r') text.push_back(bytes[i]);
    }
    return text;
}

const std::string banner_lines =
    "Tunefuse 1.6.1 Kestrin 2017\n"
    "https://tunefuse.zxkit.org/download\n"
    "https://groups.zxkit.org/tunefuse\n"
    "\n";

const std::string closing_lines =
    "Clean up\t\t: Done\n"
    "\n"
    "Trying to launch...\n"
    "\n"
    "KTHNXBAI!\n"
    "20/07/17 01:17am zorbel\n";

const std::string default_music_lines =
    "Music file selected \t: music.pt3\n"
    "Music file size     \t: 2048 bytes (~ 2kb)\n";

std::string build_report(const std::string& output, const std::string& music_lines,
                         const std::string& extra_lines) {
    return banner_lines + music_lines + "Compressing \t\t: music.pt3 - Done\n" +
           "Compressed Size     \t: 1500 bytes (~ 1kb)\n" + extra_lines + "Creating Loader\t\t: Done\n" +
           "Music Author \t\t: Me                               \n" +
           "Music Title\t\t: Tune                             \n" + "Assembling code\t\t: Done\n" +
           "Tunefuse+VTII+music    \t: 300 bytes (~ 0kb)\n" + "Building tapes\t\t: " + output + " Done\n" +
           closing_lines;
}

}  // namespace test
