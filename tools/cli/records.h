// The host operations' result records as reports (report.h): every field by name.
//
// JSON keys are the record fields in lower_snake_case (status, card_type, summa_sk, ...);
// texts are converted from Windows-1251 to UTF-8, date-times shown as
// "YYYY-MM-DD HH:MM:SS", the card block as hex. Pure functions.
#pragma once

#include <cstdint>

#include "cli/report.h"
#include "vexcard/host_records.h"

namespace vexcard::cli {

// What the Status byte means for the record at hand.
enum class StatusContext : std::uint8_t {
  kReplyCode,     // the reply code of the last command (0xFF: no reply)
  kCardInfo,      // CardInfo: 0xF0 / 0xF1 tell the card type
  kCardQuantity,  // CardQuantity(Ex): 0xF0 when the card was read
};

// Adds "status" (and "status_text") for a Status byte.
void addStatus(Report& r, std::uint8_t status, StatusContext context);

Report cardInfoReport(const TCardInfo& info, StatusContext context);
Report purseInfoReport(const TPurseInfo& info);
Report saleResultReport(const TSaleResult& result);
Report saleResultExReport(const TSaleResultEx& result);
// sale: the call sold or debited (mode other than "+"), so the sale figures count.
Report bonusResultReport(const TBonusResult& result, bool sale);
Report bonusResultStrReport(const TBonusResultStr& result, bool sale);

}  // namespace vexcard::cli
