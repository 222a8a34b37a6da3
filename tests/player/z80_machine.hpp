// The player tests' and benchmark's harness: pasmo to assemble, and a Z80 with 64K of RAM and an
// AY on the 128's ports to run what it makes: z80ex's or the program's own built-in one.
#pragma once

#include <z80ex/z80ex.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "emulator/z80.hpp"

namespace player_test {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

inline Bytes read_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// pasmo's code and symbols for `source` in `dir`; no code when it fails.
struct Assembly {
    Bytes code;
    std::map<std::string, std::uint16_t> symbols;
};
inline Assembly assemble(const std::string& pasmo, const fs::path& dir, const std::string& source) {
    std::string command =
        "cd '" + dir.string() + "' && '" + pasmo + "' " + source + " o.bin o.sym >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return {};
    Assembly result{read_file(dir / "o.bin"), {}};
    std::ifstream symbols(dir / "o.sym");  // "name EQU 01234H" a line
    for (std::string name, equ, value; symbols >> name >> equ >> value;)
        result.symbols[name] = std::stoul(value, nullptr, 16);
    return result;
}

enum class Core { z80ex, own };

class Z80Machine : spectrum::Bus {
public:
    std::array<std::uint8_t, 65536> memory{};
    // Writing outside [allowed_first, allowed_first + allowed_size) and the stack page (0xFF00
    // up), or to a port other than the AY's, is a fault.
    std::uint32_t allowed_first = 0, allowed_size = 65536;
    std::vector<std::string> faults;
    std::array<int, 16> ay{};  // what the last call wrote last to each AY register, or -1
    long tstates = 0;          // and the T-states it took
    explicit Z80Machine(Core core = Core::z80ex)
        : cpu_(z80ex_create(read, this, write, this, in, this, out, this, vector, this)) {
        if (core == Core::z80ex) return;
        own_ = std::make_unique<spectrum::Z80>(static_cast<spectrum::Bus&>(*this));
        for (int page = 0; page < 4; ++page) read_pages[page] = write_pages[page] = &memory[page * 0x4000];
        watch_size = 0x10000;  // every write is judged
    }
    ~Z80Machine() { z80ex_destroy(cpu_); }
    Z80Machine(const Z80Machine&) = delete;
    void load(int address, const Bytes& bytes) { std::copy(bytes.begin(), bytes.end(), &memory.at(address)); }

    // Calls a routine with HL set and AF, BC, DE and IX at 0xFFFF (a routine may not rely on
    // what its caller leaves there); false when it did not return within max_tstates.
    bool call(std::uint16_t routine, std::uint16_t hl, long max_tstates) {
        ay.fill(-1), tstates = 0;
        load(0xFFF0, {0x10, 0x00});  // the return address
        for (auto reg : {regAF, regBC, regDE, regIX}) z80ex_set_reg(cpu_, reg, 0xFFFF);
        for (auto [reg, value] :
             {std::pair{regSP, 0xFFF0}, {regPC, routine}, {regHL, hl}, {regIFF1, 0}, {regIFF2, 0}})
            z80ex_set_reg(cpu_, reg, value);
        if (own_) {
            for (int high : {own_->A, own_->B, own_->D, own_->IXH}) own_->set_pair(high, 0xFFFF);
            own_->set_pair(own_->H, hl), own_->sp = 0xFFF0, own_->pc = routine,
                                         own_->iff1 = own_->iff2 = false;
        }
        while (own_ && tstates < max_tstates) {
            tstates += own_->step();
            if (own_->pc == 0x0010) return true;
        }
        while (!own_ && tstates < max_tstates) {
            tstates += z80ex_step(cpu_);
            if (z80ex_get_reg(cpu_, regPC) == 0x0010 && z80ex_last_op_type(cpu_) == 0) return true;
        }
        return false;
    }

private:
    Z80EX_CONTEXT* cpu_;
    std::unique_ptr<spectrum::Z80> own_;
    int selected_ = 0;
    static Z80Machine& self(void* data) { return *static_cast<Z80Machine*>(data); }
    static Z80EX_BYTE read(Z80EX_CONTEXT*, Z80EX_WORD at, int, void* data) { return self(data).memory[at]; }
    static Z80EX_BYTE in(Z80EX_CONTEXT*, Z80EX_WORD, void*) { return 0xFF; }
    static Z80EX_BYTE vector(Z80EX_CONTEXT*, void*) { return 0xFF; }
    static void write(Z80EX_CONTEXT*, Z80EX_WORD at, Z80EX_BYTE value, void* data) {
        self(data).watched_write(at, value);
        self(data).memory[at] = value;
    }
    static void out(Z80EX_CONTEXT*, Z80EX_WORD port, Z80EX_BYTE value, void* data) {
        self(data).out(port, value);
    }
    std::uint8_t in(std::uint16_t) override { return 0xFF; }
    void watched_write(std::uint16_t at, std::uint8_t) override {
        if (at < 0xFF00 && at - allowed_first >= allowed_size)
            faults.push_back("write to " + std::to_string(at));
    }
    // Decoded as the 128 does: A15 and A1 select the AY's register and data ports.
    void out(std::uint16_t port, std::uint8_t value) override {
        bool ay_port = (port & 0x8002) == 0x8000;
        if (ay_port && port & 0x4000) selected_ = value & 15;
        if (ay_port && !(port & 0x4000)) ay[selected_] = value;
        if (!ay_port) faults.push_back("write to port " + std::to_string(port));
    }
};

}  // namespace player_test
