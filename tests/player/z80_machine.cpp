#include "z80_machine.hpp"

#include <z80ex/z80ex.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace player_test {

std::map<std::string, std::uint16_t> read_pasmo_symbols(const std::filesystem::path& file) {
    std::map<std::string, std::uint16_t> symbols;
    std::ifstream in(file);
    std::string name, equ, value;
    while (in >> name >> equ >> value) {
        if (!value.empty() && (value.back() == 'H' || value.back() == 'h')) value.pop_back();
        symbols[name] = static_cast<std::uint16_t>(std::stoul(value, nullptr, 16));
    }
    return symbols;
}

namespace {

constexpr std::uint16_t kReturnAddress = 0x0010;  // a RET lands here when the call is over
constexpr std::uint16_t kStackTop = 0xFFF0;
constexpr std::uint16_t kStackPage = 0xFF00;

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}

}  // namespace

Z80Machine::Z80Machine() {
    cpu_ =
        z80ex_create(&Z80Machine::read_memory, this, &Z80Machine::write_memory, this, &Z80Machine::read_port,
                     this, &Z80Machine::write_port, this, &Z80Machine::read_interrupt_vector, this);
    if (!cpu_) throw std::runtime_error("z80ex_create failed");
}

Z80Machine::~Z80Machine() {
    z80ex_destroy(cpu_);
}

void Z80Machine::load(std::uint16_t address, const std::vector<std::uint8_t>& bytes) {
    if (address + bytes.size() > memory_.size()) throw std::runtime_error("image does not fit in 64K");
    std::copy(bytes.begin(), bytes.end(), memory_.begin() + address);
}

void Z80Machine::allow_writes(std::uint16_t first, std::uint32_t size) {
    allowed_first_ = first;
    allowed_size_ = size;
}

bool Z80Machine::call(std::uint16_t routine, std::uint16_t hl, long max_tstates) {
    Z80EX_CONTEXT* cpu = cpu_;
    frame_ = AyFrame{};
    tstates_ = 0;
    memory_[kStackTop] = kReturnAddress & 0xFF;
    memory_[kStackTop + 1] = kReturnAddress >> 8;
    z80ex_set_reg(cpu, regSP, kStackTop);
    z80ex_set_reg(cpu, regPC, routine);
    z80ex_set_reg(cpu, regHL, hl);
    // Whatever the caller leaves in the other registers and flags: a routine may not rely on it.
    for (auto reg : {regAF, regBC, regDE, regIX}) z80ex_set_reg(cpu, reg, 0xFFFF);
    z80ex_set_reg(cpu, regIFF1, 0);
    z80ex_set_reg(cpu, regIFF2, 0);
    while (tstates_ < max_tstates) {
        std::uint16_t pc = z80ex_get_reg(cpu, regPC);
        int spent = z80ex_step(cpu);
        tstates_ += spent;
        if (!by_address_.empty()) {
            by_address_[pc] += spent;
            ++visits_[pc];
        }
        if (z80ex_get_reg(cpu, regPC) == kReturnAddress && z80ex_last_op_type(cpu) == 0) return true;
    }
    return false;
}

std::uint8_t Z80Machine::read_memory(Cpu*, std::uint16_t address, int, void* self) {
    return static_cast<Z80Machine*>(self)->memory_[address];
}

void Z80Machine::write_memory(Cpu*, std::uint16_t address, std::uint8_t value, void* self) {
    auto& machine = *static_cast<Z80Machine*>(self);
    bool allowed = address >= kStackPage ||
                   (address >= machine.allowed_first_ &&
                    static_cast<std::uint32_t>(address - machine.allowed_first_) < machine.allowed_size_);
    if (!allowed) machine.faults_.push_back("write to " + hex4(address));
    machine.memory_[address] = value;
}

std::uint8_t Z80Machine::read_port(Cpu*, std::uint16_t, void*) {
    return 0xFF;
}

// Decoded as the 128 does: A15 and A1 select the AY's register and data ports.
void Z80Machine::write_port(Cpu*, std::uint16_t port, std::uint8_t value, void* self) {
    auto& machine = *static_cast<Z80Machine*>(self);
    if ((port & 0xC002) == 0xC000) {
        machine.selected_ = value & 15;
    } else if ((port & 0xC002) == 0x8000) {
        machine.frame_.value[machine.selected_] = value;
        machine.frame_.written[machine.selected_] = true;
    } else {
        machine.faults_.push_back("write to port " + hex4(port));
    }
}

std::uint8_t Z80Machine::read_interrupt_vector(Cpu*, void*) {
    return 0xFF;
}

}  // namespace player_test
