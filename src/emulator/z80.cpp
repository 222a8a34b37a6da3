// The Z80's instructions. The main, CB and ED tables are each one switch; the index prefixes
// reuse the main table with H, L and (HL) swapped for the index register's halves and (IX+d).
#include "emulator/z80.hpp"

namespace spectrum {

namespace {

using Byte = std::uint8_t;
using Word = std::uint16_t;

enum : Byte {
    flag_c = 1,
    flag_n = 2,
    flag_p = 4,
    flag_x = 8,
    flag_h = 16,
    flag_y = 32,
    flag_z = 64,
    flag_s = 128
};

// Sign, zero and the undocumented bits 5 and 3 of a result, with or without its parity.
struct FlagTables {
    std::array<Byte, 256> sz53{}, sz53p{};
    constexpr FlagTables() {
        for (int value = 0; value < 256; ++value) {
            int ones = 0;
            for (int bit = 0; bit < 8; ++bit) ones += value >> bit & 1;
            sz53[value] = (value & (flag_s | flag_y | flag_x)) | (value ? 0 : flag_z);
            sz53p[value] = sz53[value] | (ones % 2 ? 0 : flag_p);
        }
    }
};
constexpr FlagTables tables;

}  // namespace

Word Z80::hl_address(int p) {
    if (p == 0) return pair(H);
    auto offset = static_cast<std::int8_t>(fetch());
    extra_ += 8;  // the displacement's fetch and the sum
    return memptr = static_cast<Word>(pair(high_of(p)) + offset);
}

Word Z80::pair_of(int rp, int p) const {
    return rp == 3 ? sp : rp == 2 ? pair(high_of(p)) : pair(rp * 2);
}

void Z80::set_pair_of(int rp, int p, Word value) {
    if (rp == 3) sp = value;
    if (rp != 3) set_pair(rp == 2 ? high_of(p) : rp * 2, value);
}

bool Z80::condition(int cc) const {
    static constexpr Byte masks[4] = {flag_z, flag_c, flag_p, flag_s};
    bool set = reg[F] & masks[cc >> 1];
    return cc & 1 ? set : !set;
}

// ADD ADC SUB SBC AND XOR OR CP on A; CP takes bits 5 and 3 from the operand, not the result.
void Z80::alu(int operation, Byte value) {
    Byte a = reg[A];
    int carry = reg[F] & flag_c, result;
    switch (operation) {
        case 0:
        case 1:
            result = a + value + (operation == 1 ? carry : 0);
            reg[A] = static_cast<Byte>(result);
            reg[F] = tables.sz53[reg[A]] | (result >> 8 & flag_c) | ((a ^ value ^ result) & flag_h) |
                     (((a ^ ~value) & (a ^ result) & 0x80) >> 5);
            return;
        case 2:
        case 3:
        case 7:
            result = a - value - (operation == 3 ? carry : 0);
            reg[F] = flag_n | (result >> 8 & flag_c) | ((a ^ value ^ result) & flag_h) |
                     (((a ^ value) & (a ^ result) & 0x80) >> 5);
            if (operation == 7) {
                reg[F] |= (tables.sz53[result & 0xFF] & ~(flag_x | flag_y)) | (value & (flag_x | flag_y));
                return;
            }
            reg[A] = static_cast<Byte>(result);
            reg[F] |= tables.sz53[reg[A]];
            return;
        case 4: reg[A] &= value, reg[F] = tables.sz53p[reg[A]] | flag_h; return;
        case 5: reg[A] ^= value, reg[F] = tables.sz53p[reg[A]]; return;
        default: reg[A] |= value, reg[F] = tables.sz53p[reg[A]]; return;
    }
}

Byte Z80::inc(Byte value) {
    ++value;
    reg[F] =
        (reg[F] & flag_c) | tables.sz53[value] | (value == 0x80 ? flag_p : 0) | ((value & 0x0F) ? 0 : flag_h);
    return value;
}

Byte Z80::dec(Byte value) {
    reg[F] = (reg[F] & flag_c) | flag_n | ((value & 0x0F) ? 0 : flag_h);
    --value;
    reg[F] |= tables.sz53[value] | (value == 0x7F ? flag_p : 0);
    return value;
}

// RLC RRC RL RR SLA SRA SLL SRL, with the flags of the CB table.
Byte Z80::rotate(int operation, Byte value) {
    int carry_in = reg[F] & flag_c, carry = 0;
    switch (operation) {
        case 0: carry = value >> 7, value = static_cast<Byte>(value << 1 | carry); break;
        case 1: carry = value & 1, value = static_cast<Byte>(value >> 1 | carry << 7); break;
        case 2: carry = value >> 7, value = static_cast<Byte>(value << 1 | carry_in); break;
        case 3: carry = value & 1, value = static_cast<Byte>(value >> 1 | carry_in << 7); break;
        case 4: carry = value >> 7, value = static_cast<Byte>(value << 1); break;
        case 5: carry = value & 1, value = static_cast<Byte>((value >> 1) | (value & 0x80)); break;
        case 6: carry = value >> 7, value = static_cast<Byte>(value << 1 | 1); break;
        default: carry = value & 1, value = value >> 1; break;
    }
    reg[F] = tables.sz53p[value] | carry;
    return value;
}

// BIT n: bits 5 and 3 come from `hidden`, the register itself or MEMPTR's high byte for memory.
void Z80::bit(int n, Byte value, Byte hidden) {
    Byte tested = value & (1 << n);
    reg[F] = (reg[F] & flag_c) | flag_h | (hidden & (flag_x | flag_y)) |
             (tested ? tested & flag_s : flag_z | flag_p);
}

Word Z80::add16(Word a, Word b) {
    int result = a + b;
    memptr = a + 1;
    reg[F] = (reg[F] & (flag_s | flag_z | flag_p)) | (result >> 16 & flag_c) |
             ((result >> 8) & (flag_x | flag_y)) | (((a ^ b ^ result) >> 8) & flag_h);
    return static_cast<Word>(result);
}

// ADC HL,rr and SBC HL,rr.
void Z80::adc16(Word value, int subtract) {
    int hl = pair(H), carry = reg[F] & flag_c;
    int result = subtract ? hl - value - carry : hl + value + carry;
    int overflow = subtract ? (hl ^ value) & (hl ^ result) & 0x8000 : (hl ^ ~value) & (hl ^ result) & 0x8000;
    memptr = static_cast<Word>(hl + 1);
    set_pair(H, static_cast<Word>(result));
    reg[F] = (subtract ? flag_n : 0) | (result >> 16 & flag_c) | (overflow ? flag_p : 0) |
             (((hl ^ value ^ result) >> 8) & flag_h) | (reg[H] & (flag_s | flag_x | flag_y)) |
             ((result & 0xFFFF) ? 0 : flag_z);
}

// The correction added or subtracted sets H as the hardware does; C and P/V are then DAA's own.
void Z80::daa() {
    Byte a = reg[A], add = 0, carry = reg[F] & flag_c;
    if ((reg[F] & flag_h) || (a & 0x0F) > 9) add = 6;
    if (carry || a > 0x99) add |= 0x60, carry = flag_c;
    alu(reg[F] & flag_n ? 2 : 0, add);
    reg[F] = (reg[F] & ~(flag_c | flag_p)) | carry | (tables.sz53p[reg[A]] & flag_p);
}

int Z80::interrupt(Byte data) {
    if (!iff1 || interrupt_blocked) return 0;
    if (halted) halted = false, ++pc;
    if (loaded_a_from_ir_) reg[F] &= ~flag_p;  // the NMOS Z80 reads IFF2 after the interrupt cleared it
    iff1 = iff2 = false;
    count_r();
    push(pc);
    if (im == 2) {
        pc = read_word(static_cast<Word>(i << 8 | data));
    } else {
        pc = im == 0 ? (data & 0x38) : 0x38;  // IM 0 with RST n on the bus; a Spectrum's is 0xFF
    }
    memptr = pc;
    return im == 2 ? 19 : 13;
}

int Z80::step() {
    instruction_pc = pc;
    interrupt_blocked = loaded_a_from_ir_ = false;
    count_r();
    if (halted) return 4;  // PC stays on the HALT until an interrupt
    if (bus_.marks[pc >> 3] & (1 << (pc & 7))) bus_.marked(pc);
    Byte op = fetch();
    if (op != 0xDD && op != 0xFD) {
        if (op == 0xCB) return count_r(), run_cb();
        if (op == 0xED) return count_r(), run_ed(fetch());
        return run_main(op, 0);
    }
    // An index prefix: a chain of them counts only its last; one before ED or an instruction
    // without HL is a 4 T-state no-op. A chain ends the step without an interrupt after it.
    int p = op == 0xDD ? 1 : 2;
    Byte next = read(pc);
    if (next == 0xDD || next == 0xFD) return interrupt_blocked = true, 4;
    count_r();
    ++pc;
    if (next == 0xCB) return 4 + run_index_cb(p);
    if (next == 0xED) return count_r(), 4 + run_ed(fetch());
    extra_ = 0;
    int t = run_main(next, p);
    return 4 + t + extra_;
}

int Z80::run_main(Byte op, int p) {
    int x = op >> 6, y = op >> 3 & 7, z = op & 7;
    if (x == 1) {
        if (op == 0x76) return halted = true, --pc, 4;
        if (z == 6) return reg[y] = read(hl_address(p)), 7;  // LD r,(IX+d) keeps H and L
        if (y == 6) return write(hl_address(p), reg[z]), 7;
        reg[reg8(y, p)] = reg[reg8(z, p)];
        return 4;
    }
    if (x == 2) {
        if (z == 6) return alu(y, read(hl_address(p))), 7;
        return alu(y, reg[reg8(z, p)]), 4;
    }
    int hl = high_of(p);
    switch (op) {
        case 0x00: return 4;
        case 0x08: {
            Word af = pair(A);
            set_pair(A, alternate[3]);
            alternate[3] = af;
            return 4;
        }
        case 0x10: {
            auto offset = static_cast<std::int8_t>(fetch());
            if (--reg[B] == 0) return 8;
            pc = memptr = static_cast<Word>(pc + offset);
            return 13;
        }
        case 0x18:
        case 0x20:
        case 0x28:
        case 0x30:
        case 0x38: {
            auto offset = static_cast<std::int8_t>(fetch());
            if (op != 0x18 && !condition(y - 4)) return 7;
            pc = memptr = static_cast<Word>(pc + offset);
            return 12;
        }
        case 0x01:
        case 0x11:
        case 0x21:
        case 0x31: return set_pair_of(y >> 1, p, fetch_word()), 10;
        case 0x09:
        case 0x19:
        case 0x29:
        case 0x39: return set_pair(hl, add16(pair(hl), pair_of(y >> 1, p))), 11;
        case 0x02:
        case 0x12: {
            Word address = pair(y);
            write(address, reg[A]);
            memptr = static_cast<Word>(reg[A] << 8 | ((address + 1) & 0xFF));
            return 7;
        }
        case 0x0A:
        case 0x1A: {
            Word address = pair(y - 1);
            reg[A] = read(address);
            memptr = address + 1;
            return 7;
        }
        case 0x22: {
            Word address = fetch_word();
            write_word(address, pair(hl));
            memptr = address + 1;
            return 16;
        }
        case 0x2A: {
            Word address = fetch_word();
            set_pair(hl, read_word(address));
            memptr = address + 1;
            return 16;
        }
        case 0x32: {
            Word address = fetch_word();
            write(address, reg[A]);
            memptr = static_cast<Word>(reg[A] << 8 | ((address + 1) & 0xFF));
            return 13;
        }
        case 0x3A: {
            Word address = fetch_word();
            reg[A] = read(address);
            memptr = address + 1;
            return 13;
        }
        case 0x03:
        case 0x13:
        case 0x23:
        case 0x33: return set_pair_of(y >> 1, p, pair_of(y >> 1, p) + 1), 6;
        case 0x0B:
        case 0x1B:
        case 0x2B:
        case 0x3B: return set_pair_of(y >> 1, p, pair_of(y >> 1, p) - 1), 6;
        case 0x34:
        case 0x35: {
            Word address = hl_address(p);
            write(address, op == 0x34 ? inc(read(address)) : dec(read(address)));
            return 11;
        }
        case 0x36: {
            Word address = hl_address(p);
            extra_ -= extra_ ? 3 : 0;  // the displacement's sum overlaps the operand's fetch
            write(address, fetch());
            return 10;
        }
        case 0x07:
        case 0x0F:
        case 0x17:
        case 0x1F: {
            Byte f = reg[F] & (flag_s | flag_z | flag_p);
            reg[A] = rotate(y, reg[A]);
            reg[F] = f | (reg[F] & (flag_c | flag_x | flag_y));
            return 4;
        }
        case 0x27: return daa(), 4;
        case 0x2F:
            reg[A] = ~reg[A];
            reg[F] = (reg[F] & (flag_s | flag_z | flag_p | flag_c)) | flag_h | flag_n |
                     (reg[A] & (flag_x | flag_y));
            return 4;
        case 0x37:
            reg[F] = (reg[F] & (flag_s | flag_z | flag_p)) | flag_c | (reg[A] & (flag_x | flag_y));
            return 4;
        case 0x3F:
            reg[F] = (reg[F] & (flag_s | flag_z | flag_p)) | ((reg[F] & flag_c) ? flag_h : flag_c) |
                     (reg[A] & (flag_x | flag_y));
            return 4;
        case 0xC9: return pc = memptr = pop(), 10;
        case 0xC3: return pc = memptr = fetch_word(), 10;
        case 0xCD: {
            memptr = fetch_word();
            push(pc);
            pc = memptr;
            return 17;
        }
        case 0xD3: {
            Byte port = fetch();
            bus_.out(static_cast<Word>(reg[A] << 8 | port), reg[A]);
            memptr = static_cast<Word>(reg[A] << 8 | ((port + 1) & 0xFF));
            return 11;
        }
        case 0xDB: {
            Word port = static_cast<Word>(reg[A] << 8 | fetch());
            reg[A] = bus_.in(port);
            memptr = port + 1;
            return 11;
        }
        case 0xD9:
            for (int rp = 0; rp < 3; ++rp) {
                Word value = pair(rp * 2);
                set_pair(rp * 2, alternate[rp]);
                alternate[rp] = value;
            }
            return 4;
        case 0xE3: {
            Word value = read_word(sp);
            write_word_high_first(sp, pair(hl));
            set_pair(hl, memptr = value);
            return 19;
        }
        case 0xE9: return pc = pair(hl), 4;
        case 0xEB: {
            Word de = pair(D);
            set_pair(D, pair(H));
            set_pair(H, de);
            return 4;
        }
        case 0xF3: return iff1 = iff2 = false, bus_.mode_changed(), 4;
        case 0xFB: return iff1 = iff2 = interrupt_blocked = true, bus_.mode_changed(), 4;
        case 0xF9: return sp = pair(hl), 6;
    }
    if (x == 0) {  // the rest: INC r, DEC r, LD r,n
        int target = reg8(y, p);
        if (z == 4) return reg[target] = inc(reg[target]), 4;
        if (z == 5) return reg[target] = dec(reg[target]), 4;
        return reg[target] = fetch(), 7;
    }
    switch (z) {  // the rest of x == 3, by their low bits
        case 6: return alu(y, fetch()), 7;
        case 0:
            if (!condition(y)) return 5;
            return pc = memptr = pop(), 11;
        case 1: {
            Word value = pop();
            if (y == 6) set_pair(A, value);
            if (y != 6) set_pair_of(y >> 1, p, value);
            return 10;
        }
        case 2: {
            memptr = fetch_word();
            if (condition(y)) pc = memptr;
            return 10;
        }
        case 4: {
            memptr = fetch_word();
            if (!condition(y)) return 10;
            push(pc);
            pc = memptr;
            return 17;
        }
        case 5: return push(y == 6 ? pair(A) : pair_of(y >> 1, p)), 11;
        default: return push(pc), pc = memptr = static_cast<Word>(y * 8), 11;
    }
}

int Z80::run_cb() {
    Byte op = fetch();
    int x = op >> 6, y = op >> 3 & 7, z = op & 7;
    if (z != 6) {
        if (x == 0) reg[z] = rotate(y, reg[z]);
        if (x == 1) bit(y, reg[z], reg[z]);
        if (x == 2) reg[z] &= ~(1 << y);
        if (x == 3) reg[z] |= 1 << y;
        return 8;
    }
    Word address = pair(H);
    Byte value = read(address);
    if (x == 1) return bit(y, value, memptr >> 8), 12;
    value = x == 0 ? rotate(y, value) : x == 2 ? value & ~(1 << y) : value | 1 << y;
    write(address, value);
    return 15;
}

// DD CB d op: the operation on (IX+d); outside BIT the result also lands in register z.
int Z80::run_index_cb(int p) {
    Word address = memptr = static_cast<Word>(pair(high_of(p)) + static_cast<std::int8_t>(fetch()));
    Byte op = fetch();
    int x = op >> 6, y = op >> 3 & 7, z = op & 7;
    Byte value = read(address);
    if (x == 1) return bit(y, value, address >> 8), 16;
    value = x == 0 ? rotate(y, value) : x == 2 ? value & ~(1 << y) : value | 1 << y;
    write(address, value);
    if (z != 6) reg[z] = value;
    return 19;
}

int Z80::run_ed(Byte op) {
    int x = op >> 6, y = op >> 3 & 7, z = op & 7;
    if (x == 2 && z < 4 && y >= 4) return run_block(op);
    if (x != 1) return 8;  // the unused ED codes do nothing in 8 T-states
    switch (z) {
        case 0: {  // IN r,(C); ED 70 only sets the flags
            Byte value = bus_.in(pair(B));
            memptr = pair(B) + 1;
            if (y != 6) reg[y] = value;
            reg[F] = (reg[F] & flag_c) | tables.sz53p[value];
            return 12;
        }
        case 1:  // OUT (C),r; ED 71 writes 0
            bus_.out(pair(B), y == 6 ? 0 : reg[y]);
            memptr = pair(B) + 1;
            return 12;
        case 2: return adc16(pair_of(y >> 1, 0), !(y & 1)), 15;
        case 3: {
            Word address = fetch_word();
            if (y & 1) set_pair_of(y >> 1, 0, read_word(address));
            if (!(y & 1)) write_word(address, pair_of(y >> 1, 0));
            memptr = address + 1;
            return 20;
        }
        case 4: {
            Byte value = reg[A];
            reg[A] = 0;
            alu(2, value);
            return 8;
        }
        case 5:  // RETN and RETI alike: IFF2 back into IFF1
            iff1 = iff2;
            pc = memptr = pop();
            return 14;
        case 6:
            im = (y & 3) == 0 || (y & 3) == 1 ? 0 : (y & 3) - 1;
            bus_.mode_changed();
            return 8;
    }
    switch (y) {
        case 0: return i = reg[A], bus_.mode_changed(), 9;
        case 1: return r = reg[A], 9;
        case 2:
        case 3:
            reg[A] = y == 2 ? i : r;
            reg[F] = (reg[F] & flag_c) | tables.sz53[reg[A]] | (iff2 ? flag_p : 0);
            loaded_a_from_ir_ = true;
            return 9;
        case 4:
        case 5: {  // RRD, RLD
            Word address = pair(H);
            Byte value = read(address), a = reg[A];
            if (y == 4) {
                write(address, static_cast<Byte>(a << 4 | value >> 4));
                reg[A] = (a & 0xF0) | (value & 0x0F);
            } else {
                write(address, static_cast<Byte>(value << 4 | (a & 0x0F)));
                reg[A] = (a & 0xF0) | value >> 4;
            }
            reg[F] = (reg[F] & flag_c) | tables.sz53p[reg[A]];
            memptr = address + 1;
            return 18;
        }
        default: return 8;
    }
}

// LDI CPI INI OUTI and their D and R forms. A repeat steps PC back over the instruction.
int Z80::run_block(Byte op) {
    int kind = op & 3, step = op & 8 ? -1 : 1;
    bool repeat = op & 0x10;
    Word hl = pair(H), bc = pair(B);
    bool again = false;
    if (kind == 0) {  // LDI: bits 5 and 3 from A plus the byte moved
        Byte value = read(hl);
        write(pair(D), value);
        set_pair(D, pair(D) + step), set_pair(H, hl + step), set_pair(B, --bc);
        Byte n = value + reg[A];
        reg[F] = (reg[F] & (flag_s | flag_z | flag_c)) | (bc ? flag_p : 0) | (n & flag_x) | (n << 4 & flag_y);
        again = bc != 0;
    } else if (kind == 1) {  // CPI: like CP, but bits 5 and 3 from A minus the byte minus H
        Byte value = read(hl), result = reg[A] - value;
        set_pair(H, hl + step), set_pair(B, --bc);
        Byte half = (reg[A] ^ value ^ result) & flag_h, n = result - (half ? 1 : 0);
        reg[F] = (reg[F] & flag_c) | flag_n | half | (tables.sz53[result] & ~(flag_x | flag_y)) |
                 (bc ? flag_p : 0) | (n & flag_x) | (n << 4 & flag_y);
        memptr += step;
        again = bc != 0 && result != 0;
    } else {  // INI, OUTI: flags from the byte and C+1, C-1 or the new L
        Byte value;
        int k;
        if (kind == 2) {
            value = bus_.in(bc);
            memptr = bc + step;
            write(hl, value);
            --reg[B];
            set_pair(H, hl + step);
            k = value + ((reg[C] + step) & 0xFF);
        } else {
            value = read(hl);
            --reg[B];
            memptr = pair(B) + step;
            bus_.out(pair(B), value);
            set_pair(H, hl + step);
            k = value + reg[L];
        }
        reg[F] = tables.sz53[reg[B]] | (value & 0x80 ? flag_n : 0) | (k > 255 ? flag_h | flag_c : 0) |
                 (tables.sz53p[(k & 7) ^ reg[B]] & flag_p);
        again = reg[B] != 0;
    }
    if (!repeat || !again) return 16;
    pc -= 2;
    if (kind < 2) memptr = pc + 1;
    return 21;
}

}  // namespace spectrum
