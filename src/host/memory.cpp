#include "host/memory.hpp"

#include <memory>
#include <new>
#include <vector>

namespace host {

namespace {

std::vector<std::unique_ptr<std::uint8_t[]>>& block_pool() {
    static std::vector<std::unique_ptr<std::uint8_t[]>> pool;
    return pool;
}

}  // namespace

std::uint8_t* memory_block(std::int64_t size) {
    if (size <= 0) return nullptr;
    std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(size)]());
    if (!block) return nullptr;
    block_pool().push_back(std::move(block));
    return block_pool().back().get();
}

void release_block_pool() {
    block_pool().clear();
}

}  // namespace host
