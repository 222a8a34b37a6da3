// A Z80 with 64K of RAM and an AY on the 128's ports, and pasmo to assemble what it runs: the
// harness of the player tests and of the player benchmark.
#pragma once

#include <z80ex/z80ex.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace player_test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes read_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Runs pasmo on `source` in `dir`: the code and the symbols, or no code when pasmo fails.
struct Assembly {
    Bytes code;
    std::map<std::string, std::uint16_t> symbols;
};
inline Assembly assemble(const std::string& pasmo, const std::filesystem::path& dir,
                         const std::string& source) {
    std::string command =
        "cd '" + dir.string() + "' && '" + pasmo + "' " + source + " out.bin out.sym >/dev/null 2>&1";
    Assembly result;
    if (std::system(command.c_str()) != 0) return result;
    result.code = read_file(dir / "out.bin");
    std::ifstream symbols(dir / "out.sym");  // "name EQU 01234H" a line
    std::string name, equ, value;
    while (symbols >> name >> equ >> value) result.symbols[name] = std::stoul(value, nullptr, 16);
    return result;
}

class Z80Machine {
public:
    std::array<std::uint8_t, 65536> memory{};
    // Writes outside [allowed_first, allowed_first + allowed_size) and the stack page (0xFF00
    // up), and to ports other than the AY's, are recorded in faults.
    std::uint32_t allowed_first = 0, allowed_size = 65536;
    std::vector<std::string> faults;
    std::array<int, 16> ay{};      // the last value each AY register got in the last call, or -1
    long tstates = 0;              // the T-states of the last call
    std::vector<long> by_address;  // when not empty: T-states spent at each address, summed

    Z80Machine() : cpu_(z80ex_create(read, this, write, this, in, this, out, this, vector, this)) {
        if (!cpu_) throw std::runtime_error("z80ex_create failed");
    }
    ~Z80Machine() { z80ex_destroy(cpu_); }
    Z80Machine(const Z80Machine&) = delete;

    void load(std::uint16_t address, const Bytes& bytes) {
        if (address + bytes.size() > memory.size()) throw std::runtime_error("image does not fit in 64K");
        std::copy(bytes.begin(), bytes.end(), memory.begin() + address);
    }

    // Calls a routine with HL set and AF, BC, DE and IX at 0xFFFF (a routine may not rely on
    // what its caller leaves there); false when it did not return within max_tstates.
    bool call(std::uint16_t routine, std::uint16_t hl, long max_tstates) {
        ay.fill(-1);
        tstates = 0;
        load(kStackTop, {kReturnAddress, 0});
        for (auto reg : {regAF, regBC, regDE, regIX}) z80ex_set_reg(cpu_, reg, 0xFFFF);
        for (auto reg : {regIFF1, regIFF2}) z80ex_set_reg(cpu_, reg, 0);
        z80ex_set_reg(cpu_, regSP, kStackTop);
        z80ex_set_reg(cpu_, regPC, routine);
        z80ex_set_reg(cpu_, regHL, hl);
        while (tstates < max_tstates) {
            std::uint16_t pc = z80ex_get_reg(cpu_, regPC);
            int spent = z80ex_step(cpu_);
            tstates += spent;
            if (!by_address.empty()) by_address[pc] += spent;
            if (z80ex_get_reg(cpu_, regPC) == kReturnAddress && z80ex_last_op_type(cpu_) == 0) return true;
        }
        return false;
    }

private:
    static constexpr std::uint8_t kReturnAddress = 0x10;  // a RET lands here when the call is over
    static constexpr std::uint16_t kStackTop = 0xFFF0;
    Z80EX_CONTEXT* cpu_;
    int selected_ = 0;

    static Z80Machine& self(void* data) { return *static_cast<Z80Machine*>(data); }
    static Z80EX_BYTE read(Z80EX_CONTEXT*, Z80EX_WORD at, int, void* data) { return self(data).memory[at]; }
    static void write(Z80EX_CONTEXT*, Z80EX_WORD at, Z80EX_BYTE value, void* data) {
        auto& machine = self(data);
        if (at < 0xFF00 && at - machine.allowed_first >= machine.allowed_size)
            machine.faults.push_back("write to " + std::to_string(at));
        machine.memory[at] = value;
    }
    static Z80EX_BYTE in(Z80EX_CONTEXT*, Z80EX_WORD, void*) { return 0xFF; }
    static Z80EX_BYTE vector(Z80EX_CONTEXT*, void*) { return 0xFF; }
    // Decoded as the 128 does: A15 and A1 select the AY's register and data ports.
    static void out(Z80EX_CONTEXT*, Z80EX_WORD port, Z80EX_BYTE value, void* data) {
        auto& machine = self(data);
        if ((port & 0xC002) == 0xC000)
            machine.selected_ = value & 15;
        else if ((port & 0xC002) == 0x8000)
            machine.ay[machine.selected_] = value;
        else
            machine.faults.push_back("write to port " + std::to_string(port));
    }
};

}  // namespace player_test
