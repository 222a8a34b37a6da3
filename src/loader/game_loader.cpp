#include "loader/game_loader.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <map>
#include <optional>
#include <string>

namespace loader {

namespace {

// Keyword tokens of Spectrum BASIC.
enum Keyword : std::uint8_t {
    k_pi = 0xA7,
    k_screen = 0xAA,
    k_code = 0xAF,
    k_val = 0xB0,
    k_len = 0xB1,
    k_int = 0xBA,
    k_sgn = 0xBC,
    k_abs = 0xBD,
    k_usr = 0xC0,
    k_not = 0xC3,
    k_ink = 0xD9,
    k_paper = 0xDA,
    k_flash = 0xDB,
    k_bright = 0xDC,
    k_inverse = 0xDD,
    k_over = 0xDE,
    k_out = 0xDF,
    k_lprint = 0xE0,
    k_stop = 0xE2,
    k_data = 0xE4,
    k_border = 0xE7,
    k_rem = 0xEA,
    k_go_to = 0xEC,
    k_load = 0xEF,
    k_let = 0xF1,
    k_pause = 0xF2,
    k_poke = 0xF4,
    k_print = 0xF5,
    k_run = 0xF7,
    k_randomize = 0xF9,
    k_cls = 0xFB,
    k_clear = 0xFD,
};
constexpr std::uint8_t first_keyword = 0xA5;
constexpr std::uint8_t beep_keyword = 0xD7;

constexpr std::uint8_t number_marker = 0x0E;
constexpr std::uint8_t end_of_line = 0x0D;
constexpr int memory_top = 65535;
constexpr int screen_address = 16384;
constexpr int screen_bytes = 6912;
constexpr int most_statements = 1000;  // a loader that runs longer is going round in circles

// The keywords' names, for messages about statements the reading does not follow.
constexpr const char16_t* keyword_names[] = {
    u"RND",    u"INKEY$",  u"PI",      u"FN",        u"POINT",    u"SCREEN$", u"ATTR",   u"AT",     u"TAB",
    u"VAL$",   u"CODE",    u"VAL",     u"LEN",       u"SIN",      u"COS",     u"TAN",    u"ASN",    u"ACS",
    u"ATN",    u"LN",      u"EXP",     u"INT",       u"SQR",      u"SGN",     u"ABS",    u"PEEK",   u"IN",
    u"USR",    u"STR$",    u"CHR$",    u"NOT",       u"BIN",      u"OR",      u"AND",    u"<=",     u">=",
    u"<>",     u"LINE",    u"THEN",    u"TO",        u"STEP",     u"DEF FN",  u"CAT",    u"FORMAT", u"MOVE",
    u"ERASE",  u"OPEN #",  u"CLOSE #", u"MERGE",     u"VERIFY",   u"BEEP",    u"CIRCLE", u"INK",    u"PAPER",
    u"FLASH",  u"BRIGHT",  u"INVERSE", u"OVER",      u"OUT",      u"LPRINT",  u"LLIST",  u"STOP",   u"READ",
    u"DATA",   u"RESTORE", u"NEW",     u"BORDER",    u"CONTINUE", u"DIM",     u"REM",    u"FOR",    u"GO TO",
    u"GO SUB", u"INPUT",   u"LOAD",    u"LIST",      u"LET",      u"PAUSE",   u"NEXT",   u"POKE",   u"PRINT",
    u"PLOT",   u"RUN",     u"SAVE",    u"RANDOMIZE", u"IF",       u"CLS",     u"DRAW",   u"CLEAR",  u"RETURN",
    u"COPY"};

struct Token {
    enum class Kind { keyword, number, string, name, symbol };
    Kind kind = Kind::symbol;
    std::uint8_t byte = 0;  // keyword or symbol
    double number = 0;
    std::vector<std::uint8_t> text;  // string contents
};

using Tokens = std::vector<Token>;

Token make_token(Token::Kind kind, std::uint8_t byte = 0) {
    Token token;
    token.kind = kind;
    token.byte = byte;
    return token;
}

// The value of a number's hidden five-byte form: the small-integer form, or the floating form
// of an exponent byte and a four-byte mantissa whose top bit holds the sign.
double hidden_number(const std::uint8_t* form) {
    if (form[0] == 0) {
        int value = form[2] | (form[3] << 8);
        return form[1] == 0xFF ? value - 65536 : value;
    }
    double mantissa = ((form[1] | 0x80) << 24 | form[2] << 16 | form[3] << 8 | form[4]) / 4294967296.0;
    double value = std::ldexp(mantissa, form[0] - 128);
    return (form[1] & 0x80) ? -value : value;
}

bool digit_like(std::uint8_t byte) {
    return (byte >= '0' && byte <= '9') || byte == '.';
}

// Splits a statement's bytes into tokens. Embedded colour codes and spaces go; a number's
// digits are followed by its hidden form in a program line, and stand alone inside VAL's string.
Tokens tokenise(std::span<const std::uint8_t> bytes) {
    Tokens tokens;
    for (std::size_t at = 0; at < bytes.size();) {
        std::uint8_t byte = bytes[at];
        if (byte >= 0x10 && byte <= 0x15) {
            at += 2;
        } else if (byte == 0x16 || byte == 0x17) {
            at += 3;
        } else if (byte == ' ' || byte < 0x10) {
            ++at;
        } else if (byte == '"') {
            Token token = make_token(Token::Kind::string);
            for (++at; at < bytes.size(); ++at) {
                if (bytes[at] == '"' && !(at + 1 < bytes.size() && bytes[at + 1] == '"')) break;
                if (bytes[at] == '"') ++at;
                token.text.push_back(bytes[at]);
            }
            ++at;
            tokens.push_back(token);
        } else if (digit_like(byte)) {
            std::string digits;
            while (at < bytes.size() && digit_like(bytes[at]))
                digits.push_back(static_cast<char>(bytes[at++]));
            Token token = make_token(Token::Kind::number);
            if (at + 5 < bytes.size() && bytes[at] == number_marker) {
                token.number = hidden_number(&bytes[at + 1]);
                at += 6;
            } else {
                token.number = std::strtod(digits.c_str(), nullptr);
            }
            tokens.push_back(token);
        } else if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z')) {
            while (at < bytes.size() && std::isalnum(bytes[at])) ++at;
            tokens.push_back(make_token(Token::Kind::name));
        } else {
            tokens.push_back(
                make_token(byte >= first_keyword ? Token::Kind::keyword : Token::Kind::symbol, byte));
            ++at;
        }
    }
    return tokens;
}

// A small evaluator for the numbers of a loader. What it cannot work out (a variable, PEEK, a
// function it does not know) gives no value.
class Expression {
public:
    explicit Expression(const Tokens& tokens, std::size_t at = 0) : tokens_(tokens), at_(at) {}

    std::optional<double> value() {
        if (keyword(k_not)) {
            std::optional<double> operand = value();
            return operand ? std::optional<double>(*operand == 0 ? 1 : 0) : std::nullopt;
        }
        return operands(0);
    }
    bool symbol(std::uint8_t byte) { return take(Token::Kind::symbol, byte); }
    bool keyword(std::uint8_t byte) { return take(Token::Kind::keyword, byte); }
    bool at_end() const { return at_ >= tokens_.size(); }
    const Token* peek() const { return at_end() ? nullptr : &tokens_[at_]; }
    const Token* next() { return at_end() ? nullptr : &tokens_[at_++]; }

private:
    bool take(Token::Kind kind, std::uint8_t byte) {
        if (at_end() || tokens_[at_].kind != kind || tokens_[at_].byte != byte) return false;
        ++at_;
        return true;
    }

    // Operands joined by the operators of one priority: + and - (level 0), then * and / (level 1).
    std::optional<double> operands(int level) {
        const auto operand = [&] { return level == 0 ? operands(1) : unary(); };
        std::optional<double> left = operand();
        while (left) {
            char op = 0;
            for (char candidate : level == 0 ? std::string("+-") : std::string("*/"))
                if (!op && symbol(static_cast<std::uint8_t>(candidate))) op = candidate;
            if (!op) break;
            std::optional<double> right = operand();
            if (!right || (op == '/' && *right == 0)) return std::nullopt;
            left = op == '+'   ? *left + *right
                   : op == '-' ? *left - *right
                   : op == '*' ? *left * *right
                               : *left / *right;
        }
        return left;
    }

    std::optional<std::vector<std::uint8_t>> string() {
        if (at_end() || tokens_[at_].kind != Token::Kind::string) return std::nullopt;
        return tokens_[at_++].text;
    }

    std::optional<double> unary() {
        if (symbol('-')) {
            std::optional<double> operand = unary();
            return operand ? std::optional<double>(-*operand) : std::nullopt;
        }
        if (symbol('+')) return unary();
        if (keyword(k_pi)) return 3.14159265358979;
        if (keyword(k_val)) {
            std::optional<std::vector<std::uint8_t>> text = string();
            if (!text) return std::nullopt;
            Tokens inner = tokenise(*text);
            Expression expression(inner);
            std::optional<double> result = expression.value();
            return expression.at_end() ? result : std::nullopt;
        }
        if (keyword(k_code)) {
            std::optional<std::vector<std::uint8_t>> text = string();
            return text ? std::optional<double>(text->empty() ? 0 : text->front()) : std::nullopt;
        }
        if (keyword(k_len)) {
            std::optional<std::vector<std::uint8_t>> text = string();
            return text ? std::optional<double>(static_cast<double>(text->size())) : std::nullopt;
        }
        for (std::uint8_t function : {k_sgn, k_int, k_abs}) {
            if (!keyword(function)) continue;
            std::optional<double> operand = unary();
            if (!operand) return std::nullopt;
            if (function == k_sgn) return (*operand > 0) - (*operand < 0);
            return function == k_int ? std::floor(*operand) : std::fabs(*operand);
        }
        if (symbol('(')) {
            std::optional<double> inner = value();
            return inner && symbol(')') ? inner : std::nullopt;
        }
        if (!at_end() && tokens_[at_].kind == Token::Kind::number) return tokens_[at_++].number;
        return std::nullopt;
    }

    const Tokens& tokens_;
    std::size_t at_;
};

// A whole number in a range, rounded as the ROM rounds the numbers it takes.
std::optional<int> whole(std::optional<double> value, int most) {
    if (!value) return std::nullopt;
    double rounded = std::floor(*value + 0.5);
    if (rounded < 0 || rounded > most) return std::nullopt;
    return static_cast<int>(rounded);
}

struct Line {
    int number;
    std::span<const std::uint8_t> text;  // without its closing end-of-line byte
};

// The program's lines, as far as they are whole.
std::vector<Line> program_lines(std::span<const std::uint8_t> program, bool& damaged) {
    std::vector<Line> lines;
    std::size_t at = 0;
    while (at < program.size()) {
        if (program.size() - at < 4) break;
        int number = program[at] << 8 | program[at + 1];
        std::size_t length = static_cast<std::size_t>(program[at + 2] | program[at + 3] << 8);
        if (number > 9999 || length == 0 || length > program.size() - at - 4 ||
            program[at + 3 + length] != end_of_line)
            break;
        lines.push_back({number, program.subspan(at + 4, length - 1)});
        at += 4 + length;
    }
    damaged = at != program.size();
    return lines;
}

// The statements of a line: split at colons outside strings and outside numbers' hidden forms.
std::vector<std::span<const std::uint8_t>> statements_of(std::span<const std::uint8_t> text) {
    std::vector<std::span<const std::uint8_t>> statements;
    std::size_t start = 0;
    bool quoted = false;
    for (std::size_t at = 0; at < text.size(); ++at) {
        std::uint8_t byte = text[at];
        if (byte == '"') quoted = !quoted;
        if (quoted) continue;
        if (byte == number_marker) {
            at += 5;
        } else if (byte >= 0x10 && byte <= 0x15) {
            at += 1;
        } else if (byte == 0x16 || byte == 0x17) {
            at += 2;
        } else if (byte == k_rem && at == start) {
            break;  // the rest of the line is the remark
        } else if (byte == ':') {
            statements.push_back(text.subspan(start, at - start));
            start = at + 1;
        }
    }
    statements.push_back(text.subspan(std::min(start, text.size())));
    return statements;
}

Text keyword_name(std::uint8_t byte) {
    return keyword_names[byte - first_keyword];
}

// Follows the program statement by statement, as the Spectrum would run it.
class Follower {
public:
    Follower(const std::vector<TapeBlock>& blocks, GameLoader& loader) : blocks_(blocks), loader_(loader) {}

    void run(const std::vector<Line>& lines, int autostart) {
        std::size_t index = line_at_or_after(lines, autostart);
        int statements_run = 0;
        while (index < lines.size()) {
            line_ = lines[index].number;
            std::optional<int> jump;
            for (std::span<const std::uint8_t> statement : statements_of(lines[index].text)) {
                if (++statements_run > most_statements) {
                    stop(u"it runs round in a loop");
                    return;
                }
                Tokens tokens = tokenise(statement);
                if (tokens.empty()) continue;
                if (!statement_done(tokens, jump)) return;
                if (loader_.entry >= 0 || jump) break;
            }
            if (loader_.entry >= 0) return;
            index = jump ? line_at_or_after(lines, *jump) : index + 1;
        }
        stop(u"it ends without starting any machine code");
    }

private:
    static std::size_t line_at_or_after(const std::vector<Line>& lines, int number) {
        std::size_t index = 0;
        while (index < lines.size() && lines[index].number < number) ++index;
        return index;
    }

    bool stop(const Text& because) {
        loader_.stopped_line = line_;
        loader_.stopped_because = because;
        return false;
    }

    bool not_followed(const Token& token) {
        return stop(u"it uses " + keyword_name(token.byte) + u", which this program does not follow");
    }

    bool computed() { return stop(u"it computes an address or value this program cannot work out"); }

    // Runs one statement. False when following stops here.
    bool statement_done(const Tokens& tokens, std::optional<int>& jump) {
        const Token& first = tokens.front();
        if (first.kind == Token::Kind::keyword && first.byte == k_rem) return true;
        for (std::size_t at = 0; at < tokens.size(); ++at) {
            if (tokens[at].kind != Token::Kind::keyword || tokens[at].byte != k_usr) continue;
            Expression expression(tokens, at + 1);
            std::optional<int> entry = whole(expression.value(), memory_top);
            if (!entry) return computed();
            loader_.entry = *entry;
            return true;
        }
        if (first.kind != Token::Kind::keyword) return computed();
        Expression rest(tokens, 1);
        switch (first.byte) {
            case k_randomize:
            case k_print:
            case k_lprint:
            case k_let:
            case k_pause:
            case beep_keyword:
            case k_inverse:
            case k_over: return true;
            case k_cls:
            case k_clear: loader_.screen_cleared = true; return true;
            case k_border: return colour(rest, loader_.border, 7);
            case k_paper: return colour(rest, loader_.paper, 7);
            case k_ink: return colour(rest, loader_.ink, 7);
            case k_bright: return colour(rest, loader_.bright, 1);
            case k_flash: return colour(rest, loader_.flash, 1);
            case k_poke: return poke(rest);
            case k_load: return load(rest);
            case k_go_to:
            case k_run: {
                std::optional<int> line = rest.at_end() ? std::optional<int>(0) : whole(rest.value(), 9999);
                if (!line) return computed();
                jump = *line;
                return true;
            }
            case k_out:
                return stop(
                    u"it writes to a port with OUT (128K paging), which this program does not follow");
            case k_stop: return stop(u"it stops with STOP before it starts any machine code");
            default: return not_followed(first);
        }
    }

    // BORDER, PAPER and the like. 8 and 9 (transparent, contrast) leave the colour as it was.
    bool colour(Expression& rest, int& colour, int most) {
        std::optional<int> value = whole(rest.value(), 9);
        if (!value) return computed();
        if (*value <= most) colour = *value;
        return true;
    }

    bool poke(Expression& rest) {
        std::optional<int> address = whole(rest.value(), memory_top);
        if (!address || !rest.symbol(',')) return computed();
        std::optional<int> value = whole(rest.value(), 255);
        if (!value) return computed();
        LoaderStep step;
        step.kind = LoaderStep::Kind::poke;
        step.line = line_;
        step.address = *address;
        step.value = *value;
        loader_.steps.push_back(step);
        return true;
    }

    bool load(Expression& rest) {
        const Token* name = rest.next();
        if (!name || name->kind != Token::Kind::string) return computed();
        bool screen = rest.keyword(k_screen);
        if (!screen && !rest.keyword(k_code)) {
            if (!rest.at_end() && rest.peek()->kind == Token::Kind::keyword && rest.peek()->byte == k_data)
                return stop(u"it loads an array with LOAD DATA, which this program does not follow");
            return stop(u"it loads another BASIC program, which this program does not follow");
        }
        std::optional<int> address, length;
        if (!screen && !rest.at_end()) {
            address = whole(rest.value(), memory_top);
            if (!address) return computed();
            if (rest.symbol(',')) {
                length = whole(rest.value(), memory_top);
                if (!length) return computed();
            }
        }
        if (screen) address = screen_address, length = screen_bytes;
        std::optional<std::size_t> header = next_code_header(name->text);
        if (!header) return stop(u"it loads a code block that is not on the tape after the blocks before it");
        LoaderStep step;
        step.line = line_;
        step.header = *header;
        step.length = header_length(blocks_[*header]);
        step.address = address.value_or(header_parameter_1(blocks_[*header]));
        // The ROM refuses a block longer than the length asked for with "R Tape loading error".
        if (length && step.length > *length)
            return stop(u"it asks for fewer bytes than its code block holds");
        step.screen = screen || (step.address == screen_address && step.length == screen_bytes);
        if (step.screen) loader_.screen_cleared = false;
        loader_.steps.push_back(step);
        loader_.blocks_used = *header + 2;
        position_ = *header + 2;
        return true;
    }

    // The ROM's search for a code header: it passes over other headers, data and headers of
    // other names, from where the last load ended.
    std::optional<std::size_t> next_code_header(const std::vector<std::uint8_t>& wanted_name) {
        for (std::size_t at = position_; at < blocks_.size(); ++at) {
            const TapeBlock& block = blocks_[at];
            if (!is_header(block) || header_type(block) != code_type) continue;
            if (!wanted_name.empty() && !name_matches(block, wanted_name)) continue;
            return at;
        }
        return std::nullopt;
    }

    static bool name_matches(const TapeBlock& header, const std::vector<std::uint8_t>& wanted) {
        std::span<const std::uint8_t> name = header_name_bytes(header);
        for (std::size_t i = 0; i < name.size(); ++i)
            if (name[i] != (i < wanted.size() ? wanted[i] : ' ')) return false;
        return true;
    }

    const std::vector<TapeBlock>& blocks_;
    GameLoader& loader_;
    std::size_t position_ = 2;  // past the program's header and data
    int line_ = 0;
};

}  // namespace

GameLoader read_game_loader(const std::vector<TapeBlock>& blocks) {
    GameLoader loader;
    if (blocks.size() < 2 || !is_header(blocks[0]) || header_type(blocks[0]) != program_type ||
        blocks[1].bytes[0] != data_flag || !checksum_holds(blocks[0]) || !checksum_holds(blocks[1]))
        return loader;
    loader.present = true;
    loader.name = header_name(blocks[0]);
    std::span<const std::uint8_t> data = block_contents(blocks[1]);
    std::size_t program_length =
        std::min<std::size_t>(data.size(), static_cast<std::size_t>(header_parameter_2(blocks[0])));
    loader.program_length = static_cast<int>(data.size());
    bool damaged = false;
    std::vector<Line> lines = program_lines(data.first(program_length), damaged);
    int autostart = header_parameter_1(blocks[0]);
    Follower follower(blocks, loader);
    follower.run(lines, autostart < 32768 ? autostart : 0);
    // Lines that do not parse hold machine code of the loader's own, which this reading cannot run.
    if (damaged && !loader.followed() && loader.stopped_because.starts_with(u"it ends")) {
        loader.stopped_line = lines.empty() ? 0 : lines.back().number;
        loader.stopped_because =
            u"its program holds bytes that are not BASIC lines (machine code of its own)";
    }
    return loader;
}

}  // namespace loader
