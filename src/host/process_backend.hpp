// What each platform's half of the tool runner gives the portable half, beyond the operations
// declared in process.hpp. Used by run_tool; tests use release_program to tidy up children they
// started themselves.
#pragma once

#include <cstdint>

#include "host/process.hpp"

namespace host {

// Reads the child's output pipe to its end and throws the bytes away, blocking while the child
// writes nothing. Returns at once when the child has no output pipe.
void discard_program_output(ChildRecord* child);

// Waits without time limit until the child has ended, then gives its exit code as
// program_exit_code does.
std::int32_t wait_for_program_end(ChildRecord* child);

// Takes a child's record out of the child list and frees it with its output pipe. Waits for the
// child first if it has not ended, so no ended child is left behind unreaped. The record must not
// be used afterwards.
void release_program(ChildRecord* child);

}  // namespace host
