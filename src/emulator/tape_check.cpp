#include "emulator/tape_check.hpp"

#include <algorithm>

#include "loader/memory_map.hpp"

namespace spectrum {

namespace {

using Bytes = std::vector<std::uint8_t>;

// The player's side of the contract, as the loader and the player source state it.
constexpr int player_first = loader::player_first_address, player_end = loader::game_start_address,
              game_start = loader::game_start_address;
constexpr int init_entry = loader::player_init_entry, stop_entry = loader::player_stop_entry,
              start_entry = loader::player_start_entry, music_bank_byte = loader::player_bank_byte;
constexpr int builder_bank_byte = loader::player_builder_bank_byte;
constexpr int player_table_page = 100;  // I while the player's IM 2 runs

// The loader's BASIC lines become three calls in the program area: init, then (after LOAD "" CODE
// has put the game's first code block in place) start, then the game, again should it return.
// On a 128K it first pages the 48 BASIC ROM in, as BASIC runs with it.
constexpr int stub = 23755, stub_start = stub + 10, stub_game = stub + 13;
constexpr int rom_error = 0x0008, rom_calculator = 0x0028, rom_load_bytes = 0x0556;
constexpr int setup_frames = 1000;  // init and start take a few frames; more is a hang

// System variables the loader leaves set: BORDER 0: PAPER 0: INK 0: CLEAR 25499.
constexpr int frames_sysvar = 23672, chars_sysvar = 23606, bordcr_sysvar = 23624, attr_p_sysvar = 23693,
              ramtop_sysvar = 23730, bankm_sysvar = 23388, iy_value = 23610;

bool in_player(int pc) {
    return pc >= player_first && pc < player_end;
}

struct Block {
    std::uint8_t flag;
    std::span<const std::uint8_t> data;  // without the flag and the checksum
};

std::vector<Block> read_blocks(std::span<const std::uint8_t> tap) {
    std::vector<Block> blocks;
    for (std::size_t at = 0; at + 2 <= tap.size();) {
        std::size_t length = tap[at] | tap[at + 1] << 8;
        if (length < 2 || at + 2 + length > tap.size()) break;
        blocks.push_back({tap[at + 2], tap.subspan(at + 3, length - 2)});
        at += 2 + length;
    }
    return blocks;
}

// One change of IFF1, IM or I: the frame it ran in (of the machine's count) and where.
struct Change {
    int frame;
    std::uint16_t pc;
    int value;
};

class Run {
public:
    Run(Model model, const TapeParts& parts, std::span<const std::uint8_t> rom)
        : machine_(model, rom),
          tap_(parts.game_blocks),
          blocks_(read_blocks(parts.game_blocks)),
          music_(read_blocks(parts.music_blocks)),
          music_banks_(parts.music_banks) {
        banked_ = parts.first_tune_banked;
        for (int address = 0x4000; address < 0x10000; ++address) machine_.mark(address);
        for (int address : {0, rom_error, rom_calculator, rom_load_bytes}) machine_.mark(address);
        put(player_first, parts.player);
        // clang-format off
        const std::uint8_t calls[] = {
            0x01, 0xFD, 0x7F, 0x3E, 0x10, 0xED, 0x79,    // LD BC,7FFDh; LD A,10h; OUT (C),A
            0xCD, init_entry & 0xFF, init_entry >> 8,    // CALL 25500
            0xCD, start_entry & 0xFF, start_entry >> 8,  // CALL 25511
            0xCD, game_start & 0xFF, game_start >> 8,    // CALL 32000
            0x18, 0xFB};                                 // JR back: GO TO the line before
        // clang-format on
        put(stub, calls);
        machine_.mark(stub_start), machine_.mark(stub_game), machine_.mark(stop_entry);
        set_system_variables();
        machine_.watch(0x4000, 0xC000);
        machine_.on_instruction = [this](std::uint16_t pc) { trap(pc); };
        machine_.on_write = [this](const MemoryWrite& write) { written(write); };
        machine_.on_mode_change = [this] { mode_changed(); };
    }

    Verdict play();

private:
    Machine machine_;
    std::span<const std::uint8_t> tap_;
    std::vector<Block> blocks_;
    struct Load {
        int address;
        std::span<const std::uint8_t> bytes;  // within tap_
    };
    std::vector<Load> loads_;                                      // the game's blocks, as they were loaded
    std::vector<int> last_write_ = std::vector<int>(0x10000, -1);  // by the game, see writes_hash
    int interrupt_sp_ = -1;  // the game's SP as the frame's interrupt came (-1: interrupts off)
    std::size_t next_block_ = 0;
    std::vector<Block> music_;  // served before the game's blocks, to init
    std::size_t next_music_ = 0;
    unsigned music_banks_ = 0;
    bool banked_ = false, ended_ = false, needs_128k_ = false;
    int start_frame_ = -1;  // the machine's frame when the loader first called the game
    int stop_frame_ = -1;   // when the game first called the player's stop entry
    bool iff1_ = true;
    int im_ = 1, i_ = 0x3F;
    std::vector<Change> di_, im_changes_, i_changes_;
    std::vector<Event> events_;  // the first of each kind

    int now() const { return machine_.frame() - start_frame_; }
    void put(int address, std::span<const std::uint8_t> bytes) {
        machine_.load(static_cast<std::uint16_t>(address), bytes);
        for (std::size_t n = 0; n < bytes.size(); ++n)
            machine_.mark(static_cast<std::uint16_t>(address + n), false);
    }
    void poke_word(int address, int value) {
        const std::uint8_t word[] = {static_cast<std::uint8_t>(value & 0xFF),
                                     static_cast<std::uint8_t>(value >> 8)};
        machine_.load(static_cast<std::uint16_t>(address), word);
    }
    // The player's code: its block, and with several tunes its table builder at the top of a bank,
    // which a switch pages in and runs.
    bool players_code(int pc) const {
        const int builder = machine_.peek(builder_bank_byte);
        return in_player(pc) || (pc >= 0xC000 && machine_.model() == Model::zx128 && builder > 0 &&
                                 builder < 8 && (machine_.paging() & 7) == builder);
    }
    void note(Cause cause, std::uint16_t pc, int value = 0, int bank = 0) {
        for (const Event& event : events_)
            if (event.cause == cause) return;
        events_.push_back({cause, now(), pc, value, bank});
    }

    void set_system_variables();
    void trap(std::uint16_t pc);
    void load_bytes();
    void pass_calculator();
    void written(const MemoryWrite& write);
    void mode_changed();
    std::vector<Event> causes(int last_music_frame) const;
    void take_snapshot(Verdict& verdict) const;
    long long im1_in_tape(const Verdict& verdict) const;
};

// As BASIC leaves them for the loader's USR calls: interrupts on in IM 1, IY on the system
// variables, the stack under CLEAR 25499, and on a 128K the 48 BASIC ROM with bank 0 paged.
void Run::set_system_variables() {
    poke_word(chars_sysvar, 0x3C00);
    poke_word(ramtop_sysvar, player_first - 1);
    const std::uint8_t colours[] = {7}, attr[] = {0};
    machine_.load(bordcr_sysvar, colours), machine_.load(attr_p_sysvar, attr);
    Z80& cpu = machine_.cpu;
    if (machine_.model() == Model::zx128) {
        const std::uint8_t bankm[] = {0x10};
        machine_.load(bankm_sysvar, bankm);
    }
    cpu.set_pair(Z80::IYH, iy_value);
    cpu.sp = player_first - 4;
    cpu.pc = stub, cpu.im = 1, cpu.i = 0x3F, cpu.iff1 = cpu.iff2 = true;
}

void Run::trap(std::uint16_t pc) {
    Z80& cpu = machine_.cpu;
    if (pc == 0) {
        note(Cause::reset, 0), ended_ = true, machine_.stop();
    } else if (pc == rom_error) {
        const std::uint16_t after = cpu.read(cpu.sp) | cpu.read(static_cast<std::uint16_t>(cpu.sp + 1)) << 8;
        note(Cause::basic_error, static_cast<std::uint16_t>(after - 1), cpu.read(after));
    } else if (pc == rom_calculator) {
        pass_calculator();
    } else if (pc == rom_load_bytes) {
        load_bytes();
    } else if (pc == stub_start) {
        // init is done: a banked module on a machine without paging never plays.
        needs_128k_ = banked_ && machine_.peek(music_bank_byte) == 0;
        if (needs_128k_) ended_ = true, machine_.stop();
        next_music_ = music_.size();  // what init did not load, LOAD "" CODE passes over
        // LOAD "" CODE: the first code block, at its header's address; what comes before it (a
        // BASIC program and its data, on a tape carried whole) is passed over.
        for (std::size_t at = 0; at + 1 < blocks_.size(); ++at) {
            const auto header = blocks_[at].data;
            if (blocks_[at].flag != 0 || header.size() < 17 || header[0] != 3) continue;
            put(header[13] | header[14] << 8, blocks_[at + 1].data);
            loads_.push_back({header[13] | header[14] << 8, blocks_[at + 1].data});
            next_block_ = at + 2;
            break;
        }
    } else if (pc == stop_entry) {
        if (start_frame_ >= 0 && stop_frame_ < 0) stop_frame_ = now();
    } else if (pc == stub_game) {
        // A block that did not start the background playback (IM 2 on the player's table) is no
        // player of ours: there is nothing under the game to check.
        if (start_frame_ < 0 && (cpu.im != 2 || cpu.i != player_table_page)) ended_ = true, machine_.stop();
        if (!ended_ && start_frame_ < 0) start_frame_ = machine_.frame();
    } else {
        // Empty memory runs as NOPs up to what lies after it: code, which is no crash (a game
        // reached through 32000's zeros), or the end of memory, then address 0. Code the game
        // made itself is no crash either. Either way the trap has done its work there.
        int end = pc;
        while (end < 0x10000 && cpu.read(static_cast<std::uint16_t>(end)) == 0) ++end;
        if (end == 0x10000) note(Cause::empty_memory, pc);
        for (int address = pc; address <= std::min(end, 0xFFFF); ++address)
            machine_.mark(static_cast<std::uint16_t>(address), false);
    }
}

// LD-BYTES with the tape's next block: A the flag, IX the address, DE the length, carry set to
// load (clear to verify). Returns, as the ROM does, with interrupts enabled and carry set when the
// block was the one asked for.
void Run::load_bytes() {
    Z80& cpu = machine_.cpu;
    bool ok = false;
    const bool music = next_music_ < music_.size();
    if (music || next_block_ < blocks_.size()) {
        const Block& block = music ? music_[next_music_++] : blocks_[next_block_++];
        const std::size_t length = cpu.pair(Z80::D);
        ok = block.flag == cpu.reg[Z80::A] && block.data.size() == length;
        if (block.flag == cpu.reg[Z80::A]) {
            auto bytes = block.data.first(std::min(length, block.data.size()));
            if (cpu.reg[Z80::F] & 1) {
                put(cpu.pair(Z80::IXH), bytes);
                if (!music) loads_.push_back({cpu.pair(Z80::IXH), bytes});
            }
            cpu.set_pair(Z80::IXH, static_cast<std::uint16_t>(cpu.pair(Z80::IXH) + bytes.size()));
            cpu.set_pair(Z80::D, static_cast<std::uint16_t>(length - bytes.size()));
        }
    } else {
        note(Cause::tape_ended, cpu.read(cpu.sp) | cpu.read(static_cast<std::uint16_t>(cpu.sp + 1)) << 8);
    }
    cpu.reg[Z80::F] = static_cast<std::uint8_t>((cpu.reg[Z80::F] & ~1) | (ok ? 1 : 0));
    cpu.iff1 = cpu.iff2 = true;
}

// RST 28h runs the ROM's calculator on the literals after it, up to end-calc (38h); the stand-in
// computes nothing but returns past them, so the game goes on with its own code.
void Run::pass_calculator() {
    Z80& cpu = machine_.cpu;
    std::uint16_t at = cpu.read(cpu.sp) | cpu.read(static_cast<std::uint16_t>(cpu.sp + 1)) << 8;
    for (int count = 0; count < 256; ++count) {
        std::uint8_t literal = cpu.read(at++);
        if (literal == 0x38) break;
        if (literal == 0x00 || literal == 0x33) ++at;  // jump-true, jump: an offset follows
        if (literal == 0x34) {                         // stk-data: a number of 1 to 4 bytes follows
            std::uint8_t first = cpu.read(at++);
            at += (first >> 6) + 1 + ((first & 0x3F) == 0 ? 1 : 0);
        }
    }
    cpu.write(cpu.sp, at & 0xFF), cpu.write(static_cast<std::uint16_t>(cpu.sp + 1), at >> 8);
}

// A write by the game (or the ROM for it) into the player, or into the music's bank while paged.
void Run::written(const MemoryWrite& write) {
    if (start_frame_ < 0 || players_code(write.pc)) return;
    const Z80& cpu = machine_.cpu;
    // The interrupt's pushes below the game's stack differ with the handler, so they are not the
    // game's: the return address, and what the ROM's routine or the player push after it.
    const int below = interrupt_sp_ - write.address;
    if (!in_player(write.address) && !(below > 0 && below <= 64 && (write.pc < 0x4000 || below <= 2)))
        last_write_[write.address] = write.value;
    const int bank = machine_.paging() & 7;
    const bool in_bank =
        machine_.model() == Model::zx128 && write.address >= 0xC000 && (music_banks_ >> bank & 1);
    if (in_player(write.address)) {
        bool stack = write.address == cpu.sp || write.address == static_cast<std::uint16_t>(cpu.sp + 1);
        note(stack ? Cause::stack_over_player : Cause::player_overwritten, write.pc, write.address);
    } else if (in_bank) {
        note(Cause::music_bank_overwritten, write.pc, write.address, bank);
    }
}

void Run::mode_changed() {
    const Z80& cpu = machine_.cpu;
    const int frame = machine_.frame();
    if (cpu.iff1 != iff1_ && !cpu.iff1) di_.push_back({frame, cpu.instruction_pc, 0});
    if (cpu.im != im_) im_changes_.push_back({frame, cpu.instruction_pc, cpu.im});
    if (cpu.i != i_) i_changes_.push_back({frame, cpu.instruction_pc, cpu.i});
    iff1_ = cpu.iff1, im_ = cpu.im, i_ = cpu.i;
}

// Where the last change before `frame` (the machine's) came from.
std::uint16_t source_of(const std::vector<Change>& changes, int frame) {
    std::uint16_t pc = 0;
    for (const Change& change : changes)
        if (change.frame < frame) pc = change.pc;
    return pc;
}

// What kept the player from running after its last frame: interrupts left off for a second or to
// the end, another interrupt mode, another vector table; then a crash or a write that explains it.
std::vector<Event> Run::causes(int last_music_frame) const {
    std::vector<Event> found;
    const auto& frames = machine_.frames;
    // The frame the game starts in began before the loader's call of start set the player's mode.
    const int from = start_frame_ + std::max(last_music_frame + 1, 1),
              end = static_cast<int>(frames.size()) - 1;
    bool off = false, mode = false, table = false;
    for (int frame = from; frame < end; ++frame) {
        const FrameStart& state = frames[frame];
        if (!state.interrupts_enabled && !off) {
            int stretch = frame;
            while (stretch < end && !frames[stretch].interrupts_enabled) ++stretch;
            if (stretch - frame > frames_left_off || stretch == end)
                off = true,
                found.push_back({Cause::interrupts_off, frame - start_frame_, source_of(di_, frame)});
        }
        if (state.im != 2 && !mode)
            mode = true, found.push_back({Cause::interrupt_mode, frame - start_frame_,
                                          source_of(im_changes_, frame), state.im});
        if (state.im == 2 && state.i != player_table_page && !table)
            table = true, found.push_back({Cause::own_vector_table, frame - start_frame_,
                                           source_of(i_changes_, frame), state.i});
    }
    for (const Event& event : events_) {
        bool crash = event.cause == Cause::reset || event.cause == Cause::halt_interrupts_off ||
                     event.cause == Cause::empty_memory;
        if ((crash && event.frame >= last_music_frame - 1) ||
            (found.empty() && event.frame <= last_music_frame + 1))
            found.insert(crash ? found.begin() : found.end(), event);
    }
    return found;
}

Verdict Run::play() {
    Verdict verdict;
    Z80& cpu = machine_.cpu;
    // Silent at the end of the run, the game gets a second more: a short pause is not a stop.
    auto last_music = [&] {
        for (auto write = machine_.ay_writes.rbegin(); write != machine_.ay_writes.rend(); ++write)
            if (in_player(write->pc)) return write->frame - start_frame_;
        return -1;
    };
    while (!ended_) {
        if (start_frame_ < 0 && machine_.frame() >= setup_frames) break;
        if (start_frame_ >= 0 && now() >= checked_frames &&
            (last_music() >= checked_frames - 2 || now() >= checked_frames + frames_left_off))
            break;
        interrupt_sp_ = cpu.iff1 ? cpu.sp : -1;
        machine_.run_frames(1);
        if (start_frame_ >= 0 && now() == checked_frames) take_snapshot(verdict);
        if (cpu.halted && !cpu.iff1 && start_frame_ >= 0)
            note(Cause::halt_interrupts_off, cpu.pc, source_of(di_, machine_.frame() + 1)), ended_ = true;
    }
    verdict.tstates = static_cast<long long>(machine_.frame()) * machine_.frame_length() + machine_.tstate();
    verdict.needs_128k = needs_128k_;
    if (start_frame_ < 0) return verdict;
    verdict.checked = true;
    for (const AyWrite& write : machine_.ay_writes) {
        const int frame = write.frame - start_frame_;
        if (frame < 0 || frame >= checked_frames + frames_left_off) continue;
        if (in_player(write.pc)) verdict.last_music_frame = std::max(verdict.last_music_frame, frame);
        if (!in_player(write.pc) && verdict.game_ay_frame < 0)
            verdict.game_ay_frame = frame, verdict.game_ay_pc = write.pc;
    }
    verdict.plays_to_end = verdict.last_music_frame >= checked_frames - 2;
    verdict.stopped_by_game = stop_frame_ >= 0 && stop_frame_ <= verdict.last_music_frame + 1;
    if (!verdict.plays_to_end && !verdict.stopped_by_game) verdict.causes = causes(verdict.last_music_frame);
    verdict.events = events_;
    if (now() < checked_frames) take_snapshot(verdict);
    verdict.mend_at = im1_in_tape(verdict);
    return verdict;
}

std::uint64_t hash_in(std::uint64_t hash, int value) {
    return (hash ^ static_cast<std::uint64_t>(value)) * 0x100000001B3ull;
}

void Run::take_snapshot(Verdict& verdict) const {
    std::uint64_t writes = 0xCBF29CE484222325ull, screen = writes;
    for (int address = 0; address < 0x10000; ++address)
        if (last_write_[address] >= 0) writes = hash_in(hash_in(writes, address), last_write_[address]);
    for (int address = 0x4000; address < 0x5B00; ++address)
        screen = hash_in(screen, machine_.peek(static_cast<std::uint16_t>(address)));
    verdict.writes_hash = writes, verdict.screen_hash = screen;
}

// The IM 1 that alone stopped the music, run with interrupts on and I = 100, found in the block
// loaded last over its address; -1 when there is none, or it is not the tape's own bytes.
long long Run::im1_in_tape(const Verdict& verdict) const {
    if (verdict.causes.size() != 1 || !verdict.events.empty() || verdict.game_ay_frame >= 0) return -1;
    const Event& cause = verdict.causes[0];
    if (cause.cause != Cause::interrupt_mode || cause.value != 1) return -1;
    const FrameStart& state = machine_.frames[start_frame_ + cause.frame];
    if (!state.interrupts_enabled || state.i != player_table_page) return -1;
    for (auto load = loads_.rbegin(); load != loads_.rend(); ++load) {
        const long long offset = cause.pc - load->address;
        if (offset < 0 || offset + 2 > static_cast<long long>(load->bytes.size())) continue;
        const long long at = (load->bytes.data() - tap_.data()) + offset;
        return tap_[at] == 0xED && tap_[at + 1] == 0x56 ? at : -1;
    }
    return -1;
}

}  // namespace

// Every routine a plain RET; address 0 disables interrupts and halts (the check stops there), the
// error restart waits with interrupts on, as BASIC's editor would, and the frame interrupt counts
// FRAMES in longer than the interrupt is requested for, as the ROM's own routine does, before EI.
std::vector<std::uint8_t> stand_in_rom() {
    Bytes rom(16384, 0xC9);
    const Bytes reset = {0xF3, 0x76}, error = {0xFB, 0x76, 0x18, 0xFD},
                frame = {0xF5, 0xE5, 0x2A, 0x78, 0x5C, 0x23, 0x22, 0x78, 0x5C, 0xE1, 0xF1, 0xFB, 0xC9},
                nmi = {0xED, 0x45};
    std::copy(reset.begin(), reset.end(), rom.begin());
    std::copy(error.begin(), error.end(), rom.begin() + rom_error);
    std::copy(frame.begin(), frame.end(), rom.begin() + 0x38);
    std::copy(nmi.begin(), nmi.end(), rom.begin() + 0x66);
    return rom;
}

Verdict check_tape(Model model, const TapeParts& parts) {
    static const Bytes rom = stand_in_rom();
    return Run(model, parts, rom).play();
}

std::vector<std::uint8_t> with_im2(std::span<const std::uint8_t> game_blocks, long long at) {
    Bytes tap(game_blocks.begin(), game_blocks.end());
    for (std::size_t block = 0; block + 2 <= tap.size();) {
        const std::size_t end = block + 2 + (tap[block] | tap[block + 1] << 8);
        if (static_cast<std::size_t>(at) < end) {
            tap[at + 1] = 0x5E, tap[end - 1] ^= 0x56 ^ 0x5E;
            break;
        }
        block = end;
    }
    return tap;
}

}  // namespace spectrum
