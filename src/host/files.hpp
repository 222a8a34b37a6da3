// Numbered files: a caller opens a file under a number of its choice (or asks for a new number
// with -1), then reads, writes, seeks and asks for the length through that number. Each open
// file has one 4096-byte buffer that serves reading and writing. An operation on a number that
// is not open does nothing and returns its failure value. An operation the system refuses
// returns its failure value and leaves the cause in last_failure() (failure.hpp). A write that
// reaches the file only in part is a failure, and a file once failed so closes as a failure.
#pragma once

#include <cstdint>

#include "host/text.hpp"

namespace host {

inline constexpr int new_number = -1;

// Open flags: bits 0-4 are the file's encoding code (0 means UTF-8); the sharing bits say what
// other openers may do while the file is open. Without either sharing bit the file is open
// exclusively. Sharing holds between all openers on Windows, and between the files this
// program opens on every host.
inline constexpr std::uint32_t share_read = 0x20000;  // others may read
inline constexpr std::uint32_t share_all = 0x40000;   // others may read, write and delete
// With open_file: open an existing file for reading only (a write-protected file opens too); a
// missing file is not created, and writes to the file fail.
inline constexpr std::uint32_t read_only = 0x100000;

// Encoding codes.
inline constexpr int encoding_of_file = 0;  // read_text: use the file's own encoding
inline constexpr int encoding_utf8 = 2;
inline constexpr int encoding_single_byte = 24;  // the host's single-byte code page
inline constexpr int encoding_utf16le = 25;

inline constexpr int file_buffer_size = 4096;

// Creates the file, or empties an existing one, for reading and writing. Non-zero on success
// (for number -1 the new number), 0 on failure. A fixed number that is still open is closed
// first, its buffered data written.
int create_file(int number, const Text& path, std::uint32_t flags = 0);

// Opens the file for reading and writing at position 0, keeping its contents; a missing file is
// created empty. Results as create_file.
int open_file(int number, const Text& path, std::uint32_t flags = 0);

// Writes out buffered data, closes the file and frees the number. Non-zero when every byte
// written reached the file and the system closed it without complaint; 0 otherwise (the cause
// is the first failure's), and for a number that is not open.
int close_file(int number);

// Closes every open file: fixed numbers in increasing order, then the new-number files, the
// most recently opened first.
void close_all_files();

// Moves to a byte offset from the start of the file. Non-zero on success, 0 on failure or
// when the number is not open.
int seek_file(int number, std::int64_t position);

// The file's length in bytes, data still waiting in the write buffer included; -1 when the
// number is not open.
std::int64_t file_length(int number);

// Reads one text of at most limit characters in the given encoding, stopping early, without
// keeping the stop character, at a zero, a line feed, a carriage return (a line feed right
// after it is consumed too) or the end of the file. Empty when the number is not open.
Text read_text(int number, int encoding, int limit);

// Writes the text and CR LF in the file's own encoding. Returns the byte count of the line-end
// write; 0 when the number is not open.
int write_text_line(int number, const Text& text);

// Writes the low 8 bits of value as one byte. 1 on success, 0 on failure.
int write_byte(int number, std::int32_t value);

// Closes every open file as close_all_files does and refuses every later create or open. The
// console event handler ends the run this way: whatever the main thread does until the process
// is gone, it can no longer start a file, such as an output tape, that would be left half-made.
void close_all_files_for_good();

// Reads up to count bytes; returns the number read (0 when the number is not open).
std::int64_t read_block(int number, std::uint8_t* destination, std::int64_t count);

// Writes count bytes; returns the number written. An absent source or a count of 0 writes
// nothing and returns 0.
std::int64_t write_block(int number, const std::uint8_t* source, std::int64_t count);

// How many times the file layer has asked the operating system to write, since the start of
// the process. For tests and benchmarks of the buffering.
std::int64_t operating_system_writes();

}  // namespace host
