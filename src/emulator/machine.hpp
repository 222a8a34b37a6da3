// The built-in Spectrum: a 48K with an AY interface or a 128K, run frame by frame, telling its
// owner what the running program does to the AY, to watched memory and to the interrupt set-up.
// It has no screen, sound, tape or contention: only what decides whether a game keeps the music
// player's interrupt running, and a keyboard its owner presses.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "emulator/z80.hpp"

namespace spectrum {

enum class Model {
    zx48,   // 48K with an AY on the 128's ports (0xFFFD, 0xBFFD); 69,888 T-states a frame
    zx128,  // 128K: port 0x7FFD pages bank n at 0xC000 and the ROM; 70,908 T-states a frame
};

// The interrupt set-up as a frame began, when its interrupt came or did not.
struct FrameStart {
    bool interrupts_enabled;  // IFF1
    int im;
    std::uint8_t i;
    bool accepted;  // the frame's interrupt was taken (false: disabled, or the frame is still running)
};

struct AyWrite {
    int frame;
    std::uint8_t reg, value;
    std::uint16_t pc;  // where the OUT instruction is
};

struct MemoryWrite {
    int frame, tstate;
    std::uint16_t address, pc;  // pc: the writing instruction's
    std::uint8_t value;
};

class Machine final : Bus {
public:
    // rom: 16K; a 128K takes 32K (its ROM 0, then ROM 1, the 48K BASIC) or one 16K for both.
    // Starts at frame 0 with the Z80 as after a reset: PC 0, interrupts disabled, IM 0.
    Machine(Model model, std::span<const std::uint8_t> rom);
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    Z80 cpu{*this};

    Model model() const { return model_; }
    int frame_length() const { return model_ == Model::zx48 ? 69888 : 70908; }
    int frame() const { return frame_; }    // frames completed
    int tstate() const { return tstate_; }  // T-states into the current frame
    int paging() const { return paging_; }  // the last value written to 0x7FFD (0 on a 48K)

    // Memory as the Z80 sees it now, with the paging of the moment; load() puts bytes there as
    // the ROM's loader would (no hooks), and what falls on ROM is lost, as on the machine.
    std::uint8_t peek(std::uint16_t address) const { return cpu.read(address); }
    void load(std::uint16_t address, std::span<const std::uint8_t> bytes);
    // RAM bank n (0 to 7) whatever is paged; a 48K's 0x4000, 0x8000 and 0xC000 are banks 5, 2 and 0.
    std::span<std::uint8_t, 16384> bank(int n) {
        return std::span<std::uint8_t, 16384>(&ram_.at(n * 16384), 16384);
    }

    // Runs until `count` more frames are complete, or until a hook calls stop(). The interrupt
    // is requested for the first 32 (48K) or 36 (128K) T-states of each frame.
    void run_frames(int count);
    void stop() { stopped_ = true; }  // from a hook: ends run_frames after this instruction

    // Keys held down: keys[n] is the half-row read with address line 8 + n low (0: CAPS SHIFT to
    // V, 3: 1 to 5, 4: 0 to 6, ...), bit k its key k from the outer end, as port 0xFE reads it.
    std::uint8_t keys[8] = {};

    std::vector<FrameStart> frames;  // one per frame begun, frames[0] the first
    std::vector<AyWrite> ay_writes;  // every write to an AY register, in order

    // Hooks. on_write sees writes to [first, first + size) before they land; on_instruction runs
    // before an instruction at a marked address; on_mode_change after IM n, LD I,A, DI and EI
    // (cpu.instruction_pc is where it was).
    void watch(std::uint16_t first, std::uint32_t size) { watch_first = first, watch_size = size; }
    using Bus::mark;
    std::function<void(const MemoryWrite&)> on_write;
    std::function<void(std::uint16_t pc)> on_instruction;
    std::function<void()> on_mode_change;

private:
    Model model_;
    std::vector<std::uint8_t> rom_;  // ROM 0, then ROM 1
    std::vector<std::uint8_t> ram_ = std::vector<std::uint8_t>(8 * 16384),
                              scratch_ = std::vector<std::uint8_t>(16384);
    int frame_ = 0, tstate_ = 0, paging_ = 0, ay_selected_ = 0;
    std::uint8_t ay_registers_[16] = {};
    bool stopped_ = false;

    void page();
    void begin_frame();
    std::uint8_t in(std::uint16_t port) override;
    void out(std::uint16_t port, std::uint8_t value) override;
    void watched_write(std::uint16_t address, std::uint8_t value) override;
    void marked(std::uint16_t pc) override;
    void mode_changed() override;
};

}  // namespace spectrum
