// Memory blocks for the run: zero-filled, taken from one pool, never handed back one by one;
// the pool is released whole at the end of the run.
#pragma once

#include <cstdint>

namespace host {

// A zero-filled block of size bytes that lives until release_block_pool; nullptr for a size of
// 0 or less, or when the memory cannot be had.
std::uint8_t* memory_block(std::int64_t size);

// Releases every block handed out so far.
void release_block_pool();

}  // namespace host
