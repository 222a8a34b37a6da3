// Text reading through the numbered files over arbitrary file contents, in each encoding the
// program reads: the byte that leads the input picks the encoding and the limit, the rest is the
// file. Reading a whole file line by line must give back every character that is not a line
// end or a zero, in order, whatever the limit.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "host/files.hpp"

namespace {

using host::Text;

constexpr int file_number = 3;

// The encodings to read with, as the first input byte chooses them; encoding_of_file takes the
// encoding given when the file was opened.
constexpr int encodings[] = {host::encoding_utf8, host::encoding_single_byte, host::encoding_utf16le,
                             host::encoding_of_file};

bool is_stop(unsigned unit) {
    return unit == 0 || unit == 10 || unit == 13;
}

// What reading the whole file gives in a fixed-width encoding: every unit but the stops.
Text expected_characters(const std::string& bytes, int unit_size) {
    Text expected;
    for (std::size_t i = 0; i + unit_size <= bytes.size(); i += unit_size) {
        unsigned unit = static_cast<unsigned char>(bytes[i]);
        if (unit_size == 2) unit |= static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (!is_stop(unit)) expected.push_back(static_cast<char16_t>(unit));
    }
    return expected;
}

// Reads the file to its end (every read that is not at the end takes at least one byte).
Text read_everything(int encoding, int limit, std::size_t size) {
    Text all;
    for (std::size_t read = 0; read <= size; ++read) {
        Text text = host::read_text(file_number, encoding, limit);
        fuzz::require(text.size() <= static_cast<std::size_t>(limit) * 4, "a text longer than its limit");
        all += text;
    }
    return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const int encoding = encodings[data[0] & 3];
    const int file_encoding = (data[0] >> 2) & 0x1F;  // any code the open flags can carry
    const int limit = data[1] % 64 + 1;
    const std::string contents(reinterpret_cast<const char*>(data) + 2, size - 2);
    static const auto path = fuzz::scratch_directory() / "text.bin";
    fuzz::write_file(path, contents);

    const auto flags = static_cast<std::uint32_t>(file_encoding) | host::share_read;
    fuzz::require(host::open_file(file_number, path.u16string(), flags) != 0, "the file did not open");
    const Text all = read_everything(encoding, limit, contents.size());
    fuzz::require(host::read_text(file_number, encoding, limit).empty(), "text read past the end");
    host::close_file(file_number);

    int effective = encoding == host::encoding_of_file
                        ? (file_encoding == 0 ? host::encoding_utf8 : file_encoding)
                        : encoding;
    if (effective == host::encoding_utf16le)
        fuzz::require(all == expected_characters(contents, 2), "UTF-16 text lost or changed characters");
    else if (effective != host::encoding_utf8)
        fuzz::require(all == expected_characters(contents, 1), "single-byte text lost or changed characters");
    return 0;
}
