// What the fuzz targets share: a scratch folder for the files a target writes, the program's
// texts made from raw fuzz bytes, and a check that stops the run with a message when a promise of
// the code under test is broken.
#pragma once

#include <filesystem>
#include <string>

#include "host/text.hpp"

namespace fuzz {

// A folder of its own for this fuzzing process, made on first use and removed when the process
// ends normally.
const std::filesystem::path& scratch_directory();

// UTF-16 units from bytes taken two at a time, low byte first; an odd last byte is one unit.
host::Text text_from_bytes(const std::string& bytes);

// Replaces the file with the bytes.
void write_file(const std::filesystem::path& file, const std::string& bytes);

// The whole file; empty when it cannot be read.
std::string read_file(const std::filesystem::path& file);

// Ends the process with a message and an abort (which libFuzzer keeps as a crash) when the
// condition does not hold.
void require(bool condition, const char* what);

}  // namespace fuzz
