// A Z80 with 64K of RAM and an AY on the 128's ports, for running player code in tests.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

struct _z80_cpu_context;  // z80ex's CPU, opaque here

namespace player_test {

// The symbols of a pasmo symbol file ("name EQU 01234H" a line), by name.
std::map<std::string, std::uint16_t> read_pasmo_symbols(const std::filesystem::path& file);

// What one call wrote to the AY: the last value per register and which registers were written.
struct AyFrame {
    std::array<std::uint8_t, 16> value{};
    std::array<bool, 16> written{};
};

class Z80Machine {
public:
    Z80Machine();
    ~Z80Machine();
    Z80Machine(const Z80Machine&) = delete;
    Z80Machine& operator=(const Z80Machine&) = delete;

    void load(std::uint16_t address, const std::vector<std::uint8_t>& bytes);
    std::uint8_t peek(std::uint16_t address) const { return memory_[address]; }

    // Memory writes outside [first, first + size) and outside the stack page are recorded.
    void allow_writes(std::uint16_t first, std::uint32_t size);

    // Calls a routine with HL set and runs until it returns. False when it did not return
    // within max_tstates.
    bool call(std::uint16_t routine, std::uint16_t hl, long max_tstates);

    // The AY writes of the last call, and the T-states it took.
    const AyFrame& frame() const { return frame_; }
    long tstates() const { return tstates_; }
    const std::vector<std::string>& faults() const { return faults_; }

    // T-states spent in instructions starting at each address, and how many times each ran,
    // summed over the calls since counting was last switched on; empty while it is off.
    void count_by_address(bool on) {
        by_address_.assign(on ? 65536 : 0, 0);
        visits_.assign(on ? 65536 : 0, 0);
    }
    const std::vector<long>& tstates_by_address() const { return by_address_; }
    const std::vector<long>& visits_by_address() const { return visits_; }

private:
    using Cpu = _z80_cpu_context;
    static std::uint8_t read_memory(Cpu*, std::uint16_t, int, void*);
    static void write_memory(Cpu*, std::uint16_t, std::uint8_t, void*);
    static std::uint8_t read_port(Cpu*, std::uint16_t, void*);
    static void write_port(Cpu*, std::uint16_t, std::uint8_t, void*);
    static std::uint8_t read_interrupt_vector(Cpu*, void*);

    Cpu* cpu_ = nullptr;
    std::array<std::uint8_t, 65536> memory_{};
    std::uint16_t allowed_first_ = 0;
    std::uint32_t allowed_size_ = 0;
    std::uint8_t selected_ = 0;
    AyFrame frame_;
    long tstates_ = 0;
    std::vector<std::string> faults_;
    std::vector<long> by_address_;
    std::vector<long> visits_;
};

}  // namespace player_test
