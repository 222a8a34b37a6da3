#include "emulator/machine.hpp"

#include <algorithm>

namespace spectrum {

Machine::Machine(Model model, std::span<const std::uint8_t> rom) : model_(model), rom_(32768, 0xFF) {
    std::copy_n(rom.begin(), std::min<std::size_t>(rom.size(), 16384), rom_.begin());
    if (rom.size() > 16384)
        std::copy_n(rom.begin() + 16384, std::min<std::size_t>(rom.size() - 16384, 16384),
                    rom_.begin() + 16384);
    if (rom.size() <= 16384) std::copy_n(rom_.begin(), 16384, rom_.begin() + 16384);
    page();
    begin_frame();
}

// A 48K's RAM is the 128's banks 5, 2 and 0, so both models share one layout.
void Machine::page() {
    int rom = model_ == Model::zx128 && (paging_ & 0x10) ? 1 : 0;
    read_pages[0] = &rom_[rom * 16384], write_pages[0] = scratch_.data();
    int banks[] = {5, 2, paging_ & 7};
    for (int page = 1; page < 4; ++page)
        read_pages[page] = write_pages[page] = &ram_[banks[page - 1] * 16384];
}

void Machine::load(std::uint16_t address, std::span<const std::uint8_t> bytes) {
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        auto at = static_cast<std::uint16_t>(address + n);
        write_pages[at >> 14][at & 0x3FFF] = bytes[n];
    }
}

void Machine::begin_frame() {
    frames.push_back({cpu.iff1, cpu.im, cpu.i, false});
}

void Machine::run_frames(int count) {
    stopped_ = false;
    const int length = frame_length(), interrupt_length = model_ == Model::zx48 ? 32 : 36;
    for (int end = frame_ + count; frame_ < end && !stopped_;) {
        while (tstate_ < length && !stopped_) {
            if (tstate_ < interrupt_length && cpu.iff1 && !cpu.interrupt_blocked) {
                tstate_ += cpu.interrupt();
                frames.back().accepted = true;
            } else if (cpu.halted) {  // nothing happens until the next frame's interrupt
                int steps = (length - tstate_ + 3) / 4;
                tstate_ += steps * 4;
                cpu.r = (cpu.r & 0x80) | ((cpu.r + steps) & 0x7F);
            } else {
                tstate_ += cpu.step();
            }
        }
        if (tstate_ >= length) tstate_ -= length, ++frame_, begin_frame();
    }
}

// The keys held in the half-rows the high byte selects pull bits 0 to 4 low (EAR, bit 6, reads
// low); the AY's selected register reads back; other ports float to 0xFF.
std::uint8_t Machine::in(std::uint16_t port) {
    if (!(port & 1)) {
        std::uint8_t value = 0xBF;
        for (int row = 0; row < 8; ++row)
            if (!(port >> (8 + row) & 1)) value = static_cast<std::uint8_t>(value & ~keys[row]);
        return value;
    }
    if ((port & 0xC002) == 0xC000) return ay_registers_[ay_selected_];
    return 0xFF;
}

// Decoded as the 128 does: A15 and A1 low for its paging, A15 high and A1 low for the AY, with
// A14 choosing the register port (0xFFFD) or the data port (0xBFFD).
void Machine::out(std::uint16_t port, std::uint8_t value) {
    if ((port & 0x8002) == 0x8000) {
        if (port & 0x4000) ay_selected_ = value & 15;
        if (!(port & 0x4000)) {
            ay_registers_[ay_selected_] = value;
            ay_writes.push_back({frame_, static_cast<std::uint8_t>(ay_selected_), value, cpu.instruction_pc});
        }
    }
    if (model_ == Model::zx128 && (port & 0x8002) == 0 && !(paging_ & 0x20)) paging_ = value, page();
}

void Machine::watched_write(std::uint16_t address, std::uint8_t value) {
    if (on_write) on_write({frame_, tstate_, address, cpu.instruction_pc, value});
}

void Machine::marked(std::uint16_t pc) {
    if (on_instruction) on_instruction(pc);
}

void Machine::mode_changed() {
    if (on_mode_change) on_mode_change();
}

}  // namespace spectrum
