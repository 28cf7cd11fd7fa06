// vexcard: a command-line host of the VexCard driver (see `vexcard --help` and README.md).
#include <iostream>
#include <string>
#include <vector>

#include "cli/app.h"
#include "cli/driver_loader.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return vexcard::cli::runCli(args, std::cout, std::cerr, vexcard::cli::stderrIsTerminal());
}
