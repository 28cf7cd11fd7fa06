// The command-line options of the programs (options/args.h), as the vexcard command's own.
#pragma once

#include "options/args.h"

namespace vexcard::cli {

using options::InputError;
using options::OptionDef;
using options::optionsHelp;
using options::parseArgs;
using options::ParsedArgs;
using options::readInputFile;
using options::UsageError;

}  // namespace vexcard::cli
