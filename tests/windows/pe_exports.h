// Reading the export and import directories of a module loaded into this process.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace vexcard::wintest {

struct ModuleExports {
  unsigned functionCount = 0;      // entries of the export address table
  std::vector<std::string> names;  // exported names, in the table's (sorted) order
};

// The export directory of a loaded module (empty when it has none).
ModuleExports readExports(HMODULE module);

// Names of the DLLs the module imports, as written in its import directory.
std::vector<std::string> readImports(HMODULE module);

}  // namespace vexcard::wintest
