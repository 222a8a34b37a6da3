// Texts and the small text and number helpers every part of the program uses.
// A text is a sequence of UTF-16 units; the empty text stands for an absent one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace host {

using Text = std::u16string;

// "-" and the digits for a negative value, the digits alone otherwise; "0" for zero.
Text decimal_text(std::int64_t value);

// Byte count to the "kb" figure of a size line: division by 1024 truncating toward zero.
std::int64_t kilobytes(std::int64_t bytes);

// Removes every leading and trailing space (only 0x20; tabs stay).
Text trim_spaces(const Text& text);

// The count units from position start, counting from 1. A start beyond the end, a start
// below 1 or a negative count gives the empty text; the count is cut at the end.
Text substring(const Text& text, std::int64_t start, std::int64_t count);

// The first count units (all of them when count is larger; none when it is negative).
Text left_part(const Text& text, std::int64_t count);

// The first unit of the text, 0 for the empty text.
int first_code(const Text& text);

// The one-unit text of the low 16 bits of code.
Text character_text(std::int64_t code);

// The first min(length, width) units, then spaces up to exactly width units.
Text left_justify(const Text& text, std::int64_t width);

// A text made of plain ASCII characters, for the program's own fixed texts.
Text ascii_text(std::string_view ascii);

// UTF-8 to UTF-16. Malformed sequences become U+FFFD, as the Windows conversion does; the
// conversion stops at the first zero byte.
Text from_utf8(std::string_view bytes);

// UTF-16 to UTF-8. An unpaired surrogate becomes U+FFFD.
std::string to_utf8(const Text& text);

// Single-byte text in the host's code page (ISO-8859-1 on POSIX: each byte is the
// character of the same number; the ANSI code page on Windows). Stops at the first zero.
Text from_single_byte(std::string_view bytes);

// Text to single-byte text in the host's code page; a character the code page cannot hold
// becomes "?".
std::string to_single_byte(const Text& text);

}  // namespace host
