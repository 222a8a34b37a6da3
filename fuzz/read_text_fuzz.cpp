// Text reading through the numbered files over arbitrary file contents: the first byte picks the
// encoding and the limit, the rest is the file, read to its end line by line. Then a round trip:
// a line written in UTF-16 reads back unchanged.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "host/files.hpp"

using host::Text;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    constexpr int encodings[] = {host::encoding_utf8, host::encoding_single_byte, host::encoding_utf16le,
                                 host::encoding_of_file};
    const int encoding = encodings[data[0] & 3];
    const int limit = data[1] % 64 + 1;
    const std::string contents(reinterpret_cast<const char*>(data) + 2, size - 2);
    static const auto path = fuzz::scratch_directory() / "text.bin";
    fuzz::write_file(path, contents);
    fuzz::require(host::open_file(3, path.u16string(), (data[0] >> 2) & 0x1F) != 0, "the file did not open");
    for (std::size_t read = 0; read <= contents.size(); ++read)
        fuzz::require(host::read_text(3, encoding, limit).size() <= 4u * limit,
                      "a text longer than its limit");
    fuzz::require(host::read_text(3, encoding, limit).empty(), "text read past the end");
    host::close_file(3);

    Text line;
    for (char16_t unit : fuzz::text_from_bytes(contents))
        if (unit != 0 && unit != u'\n' && unit != u'\r') line.push_back(unit);
    fuzz::require(host::create_file(3, path.u16string(), host::encoding_utf16le) != 0, "no file to write");
    host::write_text_line(3, line);
    host::seek_file(3, 0);
    fuzz::require(host::read_text(3, host::encoding_of_file, 1 << 20) == line, "a line came back changed");
    host::close_file(3);
    return 0;
}
