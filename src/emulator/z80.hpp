// The Z80 of the built-in Spectrum that plays a finished tape before it is written. Every
// documented and undocumented instruction, the undocumented flag bits 3 and 5 (with MEMPTR, which
// BIT n,(HL) shows in them), R, IM 0/1/2, the EI delay and HALT. Timing is the uncontended one:
// the check asks what a game does over seconds, not where the ULA would stretch a cycle.
#pragma once

#include <array>
#include <cstdint>

namespace spectrum {

// What the Z80 reads, writes and talks to. Memory is four 16K pages the core reads and writes
// directly; only ports, writes into the watched range and marked addresses call out, so a byte of
// memory costs no virtual call.
class Bus {
public:
    std::array<std::uint8_t*, 4> read_pages{};      // 0x0000, 0x4000, 0x8000, 0xC000
    std::array<std::uint8_t*, 4> write_pages{};     // a ROM page points at scratch bytes
    std::uint32_t watch_first = 0, watch_size = 0;  // a write in here calls watched_write first
    std::array<std::uint8_t, 8192> marks{};         // a bit per address: marked() before running it

    virtual std::uint8_t in(std::uint16_t port) = 0;
    virtual void out(std::uint16_t port, std::uint8_t value) = 0;
    virtual void watched_write(std::uint16_t, std::uint8_t) {}
    virtual void marked(std::uint16_t) {}
    virtual void mode_changed() {}  // IM n, LD I,A or an interrupt state change just ran
    void mark(std::uint16_t address, bool on = true) {
        if (on) marks[address >> 3] |= 1 << (address & 7);
        if (!on) marks[address >> 3] &= ~(1 << (address & 7));
    }

protected:
    ~Bus() = default;
};

class Z80 {
public:
    // Indexes of the 8-bit registers in reg: the instruction encoding's r field for B to A
    // (6, which means (HL) there, holds F), then the index registers' halves.
    enum : int { B, C, D, E, H, L, F, A, IXH, IXL, IYH, IYL };
    std::array<std::uint8_t, 12> reg{};
    std::array<std::uint16_t, 4> alternate{};  // BC', DE', HL', AF'
    std::uint16_t sp = 0xFFFF, pc = 0, memptr = 0;
    std::uint8_t i = 0, r = 0;
    bool iff1 = false, iff2 = false, halted = false;
    bool interrupt_blocked = false;  // after EI or a lone index prefix: no interrupt before the next
    int im = 0;
    std::uint16_t instruction_pc = 0;  // where the instruction now running began (its prefixes)

    explicit Z80(Bus& bus) : bus_(bus) {}

    // A register pair by the index of its high half (B, D, H, A for AF, IXH, IYH).
    std::uint16_t pair(int high) const { return reg[high] << 8 | reg[high + 1 - 2 * (high == A)]; }
    void set_pair(int high, std::uint16_t value) {
        reg[high] = value >> 8, reg[high + 1 - 2 * (high == A)] = value & 0xFF;
    }

    // Runs one instruction with its prefixes (a lone HALT counts as one); returns its T-states.
    int step();
    // The maskable interrupt with `data` on the bus (IM 2's vector low byte; IM 0 runs RST 38h
    // for the 0xFF a Spectrum's bus floats to). Returns its T-states, 0 when it is not accepted.
    int interrupt(std::uint8_t data = 0xFF);

    std::uint8_t read(std::uint16_t address) const {
        return bus_.read_pages[address >> 14][address & 0x3FFF];
    }
    void write(std::uint16_t address, std::uint8_t value) {
        if (address - bus_.watch_first < bus_.watch_size) bus_.watched_write(address, value);
        bus_.write_pages[address >> 14][address & 0x3FFF] = value;
    }

private:
    Bus& bus_;
    int extra_ = 0;                  // T-states an index prefix adds to a (HL) operand
    bool loaded_a_from_ir_ = false;  // LD A,I or LD A,R just ran: an interrupt now clears P/V

    std::uint8_t fetch() { return read(pc++); }
    std::uint16_t fetch_word() {
        std::uint8_t low = fetch();
        return low | fetch() << 8;
    }
    void count_r() { r = (r & 0x80) | ((r + 1) & 0x7F); }
    std::uint16_t read_word(std::uint16_t address) const {
        return read(address) | read(static_cast<std::uint16_t>(address + 1)) << 8;
    }
    void write_word(std::uint16_t address, std::uint16_t value) {
        write(address, value & 0xFF), write(static_cast<std::uint16_t>(address + 1), value >> 8);
    }
    void write_word_high_first(std::uint16_t address, std::uint16_t value) {  // as PUSH and EX (SP) do
        write(static_cast<std::uint16_t>(address + 1), value >> 8), write(address, value & 0xFF);
    }
    void push(std::uint16_t value) { sp -= 2, write_word_high_first(sp, value); }
    std::uint16_t pop() {
        std::uint16_t value = read_word(sp);
        sp += 2;
        return value;
    }

    // The operand registers under an index prefix p (0 none, 1 DD, 2 FD): H and L become its halves.
    int high_of(int p) const { return p == 0 ? H : p == 1 ? IXH : IYH; }
    int reg8(int z, int p) const { return z == H || z == L ? high_of(p) + (z - H) : z; }
    std::uint16_t hl_address(int p);             // HL, or IX/IY plus a fetched displacement
    std::uint16_t pair_of(int rp, int p) const;  // BC, DE, HL/IX/IY, SP by the instruction's field
    void set_pair_of(int rp, int p, std::uint16_t value);
    bool condition(int cc) const;

    void alu(int operation, std::uint8_t value);
    std::uint8_t inc(std::uint8_t value);
    std::uint8_t dec(std::uint8_t value);
    std::uint8_t rotate(int operation, std::uint8_t value);
    void bit(int n, std::uint8_t value, std::uint8_t hidden);
    std::uint16_t add16(std::uint16_t a, std::uint16_t b);
    void adc16(std::uint16_t value, int subtract);
    void daa();

    int run_main(std::uint8_t op, int p);
    int run_cb();
    int run_index_cb(int p);
    int run_ed(std::uint8_t op);
    int run_block(std::uint8_t op);
};

}  // namespace spectrum
