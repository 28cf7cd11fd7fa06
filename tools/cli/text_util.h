// The text helpers of the vexcard command: those of the log reader (amounts, hex, dates,
// code pages), which the command's own reports use too.
#pragma once

#include "logreader/text.h"

namespace vexcard::cli {

using logreader::cp866ToUtf8;
using logreader::formatMoney;
using logreader::formatNumber;
using logreader::hexBytes;
using logreader::hexString;
using logreader::oleDateText;
using logreader::parseDecimal;
using logreader::parseHexBytes;
using logreader::parseUnsigned;
using logreader::utf8;
using logreader::wireDateText;

}  // namespace vexcard::cli
