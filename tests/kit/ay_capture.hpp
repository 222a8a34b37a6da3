// What a Spectrum program wrote to the AY, read back from the numbers a Fuse debugger script
// prints: at every OUT to a port whose low byte is 0xFD the script prints the frame, the two
// opcode bytes before PC and the registers the value can come from, and the decoding to
// ports, values and AY registers happens here.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace kit_test {

// Numbers that open each record the debugger script prints.
constexpr int trace_start_marker = 9999991;  // then the frame and the I register at the start entry
constexpr int trace_write_marker = 9999992;  // then the fields of OutRegisters, in order
constexpr int trace_exit_marker = 9999993;   // then the interrupt mode and the I register
constexpr int trace_entry_marker = 9999994;  // then the address of the player entry called

// The debugger's view of an OUT instruction that has just run: PC points past it, OUTI and
// OUTD have already lowered B but not yet moved HL.
struct OutRegisters {
    int frame = 0;
    int pc = 0;
    int opcode_before_last = 0;  // the byte at PC - 2
    int opcode_last = 0;         // the byte at PC - 1
    int a = 0, bc = 0, de = 0, hl = 0;
    int at_hl = 0;  // the byte at HL
};

// The debugger command lines that print one OutRegisters record.
std::string out_registers_commands();

struct PortWrite {
    int frame = 0;
    int port = 0;
    int value = 0;
};

// The port and value of the OUT that ran: OUT (C),r, OUT (C),0, OUTI, OUTD and OUT (n),A.
// Nothing for another instruction (the record cannot be trusted then).
std::optional<PortWrite> decode_out(const OutRegisters& out);

struct FuseTrace {
    std::optional<int> start_frame;                 // the frame in which the start entry ran
    std::optional<int> i_before_start;              // the I register when it ran
    std::vector<PortWrite> writes;                  // every write, in order
    std::optional<int> interrupt_mode, i_register;  // at the end of the run
    std::vector<int> entries;                       // the player entries called, in order
    std::string error;                              // the first record that could not be read
};

// Reads the numbers (hexadecimal, one per line, "0x..." as Fuse prints them) out of Fuse's
// standard output; other lines are Fuse's own text and are skipped.
FuseTrace read_fuse_trace(const std::string& output);

// One frame's writes to the AY: which of R0..R13 were written, and their last values.
struct AyFrame {
    std::array<bool, 14> written{};
    std::array<int, 14> value{};
};

// The AY frames from the first frame with a write at or after the start entry, `count` frames
// in a row (frames without writes included), with the ports decoded as the 128 does:
// (port & 0xC002) == 0xC000 selects register value & 15, == 0x8000 writes it.
std::vector<AyFrame> frames_after_start(const FuseTrace& trace, int count);

// "be 03 ... ff": 14 lower-case hex bytes, "--" for R0..R12 not written, "ff" for R13 not
// written, as the expected frame files are laid out.
std::string frame_line(const AyFrame& frame);

}  // namespace kit_test
