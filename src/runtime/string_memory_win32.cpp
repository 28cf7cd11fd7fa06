// Long-string blocks from the process heap, which every module of the process can reach
// whatever its compiler and runtime: a host frees a string handed over to it with
// HeapFree(GetProcessHeap(), 0, handle - 8).
#include <windows.h>

#include "runtime/string_memory.h"

namespace vexcard::runtime {

void* allocateStringBlock(std::size_t size) noexcept {
  return ::HeapAlloc(::GetProcessHeap(), 0, size);
}

void freeStringBlock(void* block) noexcept { ::HeapFree(::GetProcessHeap(), 0, block); }

}  // namespace vexcard::runtime
