// Long-string blocks from the C library's heap.
#include <cstdlib>

#include "runtime/string_memory.h"

namespace vexcard::runtime {

void* allocateStringBlock(std::size_t size) noexcept { return std::malloc(size); }

void freeStringBlock(void* block) noexcept { std::free(block); }

}  // namespace vexcard::runtime
