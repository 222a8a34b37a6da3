#include "ay_capture.hpp"

#include <cstdio>
#include <sstream>

namespace kit_test {

namespace {

constexpr int prefix_ed = 0xED;
constexpr int out_n_a = 0xD3;
constexpr int outi = 0xA3;
constexpr int outd = 0xAB;
constexpr int out_c_zero = 0x71;
constexpr int ay_registers = 14;

// The register an ED-prefixed OUT (C),r writes, by its opcode's bits 3..5:
// B, C, D, E, H, L, (0 for OUT (C),0), A.
std::optional<int> out_c_value(int opcode, const OutRegisters& out) {
    if ((opcode & 0xC7) != 0x41) return std::nullopt;
    switch ((opcode >> 3) & 7) {
        case 0: return out.bc >> 8;
        case 1: return out.bc & 0xFF;
        case 2: return out.de >> 8;
        case 3: return out.de & 0xFF;
        case 4: return out.hl >> 8;
        case 5: return out.hl & 0xFF;
        case 6: return 0;
        default: return out.a;
    }
}

// The numbers of the output in order; lines that are not "0x..." are skipped.
std::vector<int> printed_numbers(const std::string& output) {
    std::vector<int> numbers;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("0x", 0) != 0) continue;
        numbers.push_back(static_cast<int>(std::stol(line, nullptr, 16)));
    }
    return numbers;
}

}  // namespace

std::string out_registers_commands() {
    return "print " + std::to_string(trace_write_marker) +
           "\nprint spectrum:frames\nprint z80:pc\nprint [z80:pc - 2]\nprint [z80:pc - 1]"
           "\nprint z80:a\nprint z80:bc\nprint z80:de\nprint z80:hl\nprint [z80:hl]\n";
}

std::optional<PortWrite> decode_out(const OutRegisters& out) {
    PortWrite write;
    write.frame = out.frame;
    if (out.opcode_before_last == out_n_a) {
        write.port = out.a << 8 | out.opcode_last;
        write.value = out.a;
        return write;
    }
    if (out.opcode_before_last != prefix_ed) return std::nullopt;
    write.port = out.bc;
    if (out.opcode_last == outi || out.opcode_last == outd) {
        write.value = out.at_hl;
        return write;
    }
    auto value = out_c_value(out.opcode_last, out);
    if (!value && out.opcode_last != out_c_zero) return std::nullopt;
    write.value = value.value_or(0);
    return write;
}

FuseTrace read_fuse_trace(const std::string& output) {
    FuseTrace trace;
    std::vector<int> numbers = printed_numbers(output);
    auto field = [&](std::size_t at) { return at < numbers.size() ? numbers[at] : -1; };
    for (std::size_t at = 0; at < numbers.size();) {
        int marker = numbers[at];
        if (marker == trace_start_marker) {
            if (!trace.start_frame) {
                trace.start_frame = field(at + 1);
                trace.i_before_start = field(at + 2);
            }
            at += 3;
        } else if (marker == trace_entry_marker) {
            trace.entries.push_back(field(at + 1));
            at += 2;
        } else if (marker == trace_exit_marker) {
            trace.interrupt_mode = field(at + 1);
            trace.i_register = field(at + 2);
            at += 3;
        } else if (marker == trace_write_marker && at + 10 < numbers.size()) {
            OutRegisters out{field(at + 1), field(at + 2), field(at + 3), field(at + 4), field(at + 5),
                             field(at + 6), field(at + 7), field(at + 8), field(at + 9)};
            auto write = decode_out(out);
            if (!write && trace.error.empty())
                trace.error = "an OUT to port 0xFD that is not decoded, at PC " + std::to_string(out.pc);
            if (write) trace.writes.push_back(*write);
            at += 10;
        } else {
            if (trace.error.empty())
                trace.error = "unexpected number " + std::to_string(marker) + " in the trace";
            ++at;
        }
    }
    return trace;
}

std::vector<AyFrame> frames_after_start(const FuseTrace& trace, int count) {
    std::vector<AyFrame> frames;
    if (!trace.start_frame) return frames;
    int selected = -1;
    int first = -1;
    for (const PortWrite& write : trace.writes) {
        bool select = (write.port & 0xC002) == 0xC000;
        bool data = (write.port & 0xC002) == 0x8000;
        if (select) selected = write.value & 15;
        if (!data || write.frame < *trace.start_frame || selected < 0 || selected >= ay_registers) continue;
        if (first < 0) {
            first = write.frame;
            frames.resize(static_cast<std::size_t>(count));
        }
        int index = write.frame - first;
        if (index >= count) break;
        AyFrame& frame = frames[static_cast<std::size_t>(index)];
        frame.written[static_cast<std::size_t>(selected)] = true;
        frame.value[static_cast<std::size_t>(selected)] = write.value;
    }
    return frames;
}

std::string frame_line(const AyFrame& frame) {
    std::string line;
    for (std::size_t reg = 0; reg < ay_registers; ++reg) {
        if (!line.empty()) line += ' ';
        char text[4];
        std::snprintf(text, sizeof text, "%02x", frame.value[reg] & 0xFF);
        line += frame.written[reg] ? text : (reg == 13 ? "ff" : "--");
    }
    return line;
}

}  // namespace kit_test
