// A loaded module is its PE image mapped at its base address: the directories are reached
// through the DOS header, the NT headers and the optional header's data directory, and
// every address in them is relative to the base.
#include "pe_exports.h"

namespace vexcard::wintest {
namespace {

const IMAGE_DATA_DIRECTORY* directory(HMODULE module, unsigned index) {
  const auto* base = reinterpret_cast<const BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.NumberOfRvaAndSizes <= index) {
    return nullptr;
  }
  const IMAGE_DATA_DIRECTORY* dir = &nt->OptionalHeader.DataDirectory[index];
  return dir->VirtualAddress != 0 && dir->Size != 0 ? dir : nullptr;
}

template <class T>
const T* at(HMODULE module, DWORD rva) {
  return reinterpret_cast<const T*>(reinterpret_cast<const BYTE*>(module) + rva);
}

}  // namespace

ModuleExports readExports(HMODULE module) {
  ModuleExports result;
  const IMAGE_DATA_DIRECTORY* dir = directory(module, IMAGE_DIRECTORY_ENTRY_EXPORT);
  if (dir == nullptr) return result;
  const auto* exports = at<IMAGE_EXPORT_DIRECTORY>(module, dir->VirtualAddress);
  result.functionCount = exports->NumberOfFunctions;
  const auto* names = at<DWORD>(module, exports->AddressOfNames);
  for (DWORD k = 0; k < exports->NumberOfNames; ++k) {
    result.names.emplace_back(at<char>(module, names[k]));
  }
  return result;
}

std::vector<std::string> readImports(HMODULE module) {
  std::vector<std::string> result;
  const IMAGE_DATA_DIRECTORY* dir = directory(module, IMAGE_DIRECTORY_ENTRY_IMPORT);
  if (dir == nullptr) return result;
  for (const auto* d = at<IMAGE_IMPORT_DESCRIPTOR>(module, dir->VirtualAddress); d->Name != 0;
       ++d) {
    result.emplace_back(at<char>(module, d->Name));
  }
  return result;
}

}  // namespace vexcard::wintest
