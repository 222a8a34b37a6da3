#include "rzx_snapshot.hpp"

#include <zlib.h>

#include <fstream>
#include <iterator>

namespace kit_test {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t rzx_header_size = 10;
constexpr std::uint8_t rzx_snapshot_block = 0x30;
constexpr std::uint32_t rzx_snapshot_compressed = 2;
constexpr std::size_t rzx_snapshot_fields = 17;  // id, length, flags, extension, size
constexpr std::size_t szx_header_size = 8;
constexpr std::size_t page_size = 16384;

std::uint32_t read32(const Bytes& bytes, std::size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
           static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

std::optional<Bytes> inflate_all(const std::uint8_t* data, std::size_t size, std::size_t expected) {
    Bytes out(expected);
    uLongf out_size = static_cast<uLongf>(expected);
    if (uncompress(out.data(), &out_size, data, static_cast<uLong>(size)) != Z_OK) return std::nullopt;
    out.resize(out_size);
    return out;
}

// The SZX bytes of the last snapshot block of an RZX file.
std::optional<Bytes> last_szx(const Bytes& rzx, std::string& error) {
    if (rzx.size() < rzx_header_size || std::string(rzx.begin(), rzx.begin() + 4) != "RZX!") {
        error = "not an RZX file";
        return std::nullopt;
    }
    std::optional<Bytes> szx;
    for (std::size_t at = rzx_header_size; at + 5 <= rzx.size();) {
        std::uint32_t length = read32(rzx, at + 1);
        if (length < 5 || at + length > rzx.size()) {
            error = "truncated RZX block";
            return std::nullopt;
        }
        if (rzx[at] == rzx_snapshot_block && length > rzx_snapshot_fields) {
            std::uint32_t flags = read32(rzx, at + 5);
            std::uint32_t size = read32(rzx, at + 13);
            const std::uint8_t* data = rzx.data() + at + rzx_snapshot_fields;
            std::size_t stored = length - rzx_snapshot_fields;
            if (flags & rzx_snapshot_compressed)
                szx = inflate_all(data, stored, size);
            else
                szx = Bytes(data, data + stored);
        }
        at += length;
    }
    if (!szx) error = "no snapshot in the recording";
    return szx;
}

// The bank seen at 0x4000, 0x8000 and 0xC000: 5 and 2 always, and at the top the bank the
// paging port's last write chose (bank 0 on a 48K, which has no paging port).
std::array<int, 3> banks_seen(int last_paging_write) {
    return {5, 2, last_paging_write & 7};
}

}  // namespace

std::optional<SpectrumRam> last_snapshot_ram(const std::filesystem::path& rzx_file, std::string& error) {
    std::ifstream in(rzx_file, std::ios::binary);
    if (!in) {
        error = "no recording at " + rzx_file.string();
        return std::nullopt;
    }
    Bytes rzx((std::istreambuf_iterator<char>(in)), {});
    std::optional<Bytes> szx = last_szx(rzx, error);
    if (!szx) return std::nullopt;
    if (szx->size() < szx_header_size || std::string(szx->begin(), szx->begin() + 4) != "ZXST") {
        error = "the snapshot is not SZX";
        return std::nullopt;
    }
    SpectrumRam ram;
    int last_paging_write = 0;
    for (std::size_t at = szx_header_size; at + 8 <= szx->size();) {
        std::string id(szx->begin() + static_cast<long>(at), szx->begin() + static_cast<long>(at) + 4);
        std::uint32_t size = read32(*szx, at + 4);
        std::size_t body = at + 8;
        if (body + size > szx->size()) break;
        if (id == "SPCR" && size >= 2) last_paging_write = (*szx)[body + 1];
        if (id == "RAMP" && size >= 3) {
            int flags = (*szx)[body] | (*szx)[body + 1] << 8;
            int bank = (*szx)[body + 2];
            std::optional<Bytes> page;
            if (flags & 1)
                page = inflate_all(szx->data() + body + 3, size - 3, page_size);
            else
                page = Bytes(szx->data() + body + 3, szx->data() + body + size);
            if (bank < 8 && page && page->size() == page_size)
                ram.banks[static_cast<std::size_t>(bank)] = *page;
        }
        at = body + size;
    }
    for (int bank : banks_seen(last_paging_write)) {
        const Bytes& page = ram.banks[static_cast<std::size_t>(bank)];
        if (page.empty()) {
            error = "the snapshot lacks RAM bank " + std::to_string(bank);
            return std::nullopt;
        }
        ram.bytes.insert(ram.bytes.end(), page.begin(), page.end());
    }
    return ram;
}

}  // namespace kit_test
