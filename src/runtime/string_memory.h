// Where long strings live. On Windows every string block comes from the process heap
// (GetProcessHeap), so that a host built without our C++ runtime can give back a string
// the driver handed over (vexcard/host_interface.h, rule 5); elsewhere from malloc.
#pragma once

#include <cstddef>

namespace vexcard::runtime {

// A block of `size` bytes, aligned for the 8-byte string header; null when out of memory.
void* allocateStringBlock(std::size_t size) noexcept;
// Frees a block of allocateStringBlock.
void freeStringBlock(void* block) noexcept;

}  // namespace vexcard::runtime
