#include "cli/records.h"

#include <span>
#include <string>

#include "cli/text_util.h"
#include "link/status_texts.h"

namespace vexcard::cli {

namespace {

template <std::size_t N>
std::string shortText(const ShortString<N>& s) {
  return utf8(s.view());
}

}  // namespace

void addStatus(Report& r, std::uint8_t status, StatusContext context) {
  std::string text;
  if (status == 0xFF) {
    text = "no reply received";
  } else if (context == StatusContext::kCardInfo && status == 0xF0) {
    text = "card type 0 or 100";
  } else if (context == StatusContext::kCardInfo && status == 0xF1) {
    text = "card type 200";
  } else if (context == StatusContext::kCardQuantity && status == 0xF0) {
    text = "card read, quantity computed";
  } else {
    text = utf8(link::ReplyCodeText(status));
  }
  r.integer("status", "Status", status, text);
  r.text("status_text", "", text);
}

Report cardInfoReport(const TCardInfo& info, StatusContext context) {
  Report r;
  addStatus(r, info.Status, context);
  r.text("card_type", "Card type", shortText(info.CardType));
  r.text("card_digits", "Card digits", shortText(info.CardDigits),
         context == StatusContext::kCardQuantity ? "digits 9 to 14 of the card number" : "");
  r.text("date_from", "Valid from", oleDateText(info.DateFrom));
  r.text("date_to", "Valid to", oleDateText(info.DateTo));
  if (context == StatusContext::kCardQuantity) {
    r.money("available", "Quantity", info.Available, "what the balance pays for");
  } else {
    r.money("available", "Available", info.Available, "the card's balance");
  }
  r.money("available2", "", info.Available2);
  return r;
}

Report purseInfoReport(const TPurseInfo& info) {
  Report r;
  addStatus(r, info.Status, StatusContext::kReplyCode);
  r.integer("done", "Done", info.Done);
  r.text("card_prefix", "Card prefix", shortText(info.CardPrefix));
  r.text("card_number", "Card number", shortText(info.CardNumber));
  r.integer("purse_handle", "Purse handle", info.PurseHandle);
  r.integer("purse_no", "Purse no", info.PurseNo);
  r.number("item_index", "Item index", info.ItemIndex);
  r.money("allowed_qty", "Allowed quantity", info.AllowedQty, "what the card pays for");
  r.money("allowed_sum", "Allowed sum", info.AllowedSum,
          "unit price x allowed quantity; ItemLimit only");
  return r;
}

Report saleResultReport(const TSaleResult& result) {
  Report r;
  addStatus(r, result.Status, StatusContext::kReplyCode);
  r.text("card_prefix", "Card prefix", shortText(result.CardPrefix));
  r.text("card_number", "Card number", shortText(result.CardNumber));
  r.money("amount", "Amount", result.Amount, "third reply amount minus the second");
  return r;
}

Report saleResultExReport(const TSaleResultEx& result) {
  Report r;
  addStatus(r, result.Status, StatusContext::kReplyCode);
  r.text("card_type", "Card type", shortText(result.CardType));
  r.text("card_number", "Card number", shortText(result.CardNumber));
  r.money("amount", "Amount", result.Amount, "third reply amount minus SummaSk");
  r.money("summa_sk", "SummaSk", result.SummaSk, "amount charged after the discount");
  r.percent("skidka", "Skidka", result.Skidka, "discount, percent");
  r.money("coste_sk", "CosteSK", result.CosteSK, "unit price after the discount");
  r.text("card_block", "Card block", hexString(result.CardBlock), "a refund takes it: --block");
  return r;
}

namespace {

// The fields BonusSaleEx and BonusSaleExStr share; the sale figures only after a sale (a
// refund leaves them as the caller passed them).
void bonusFields(Report& r, std::uint8_t status, std::uint8_t incomplete, std::string cardType,
                 std::string cardNumber, double summaSk, double skidka, double costeSk, bool sale) {
  addStatus(r, status, StatusContext::kReplyCode);
  r.text("card_type", "Card type", std::move(cardType), "\"1\" and the status bytes");
  r.text("card_number", "Card number", std::move(cardNumber), "\"2\" and the card digits");
  if (!sale) return;
  r.integer("incomplete", "Incomplete", incomplete, incomplete == 0 ? "the sale completed" : "");
  r.money("summa_sk", "SummaSk", summaSk, "amount charged after the discount");
  r.percent("skidka", "Skidka", skidka, "discount, percent");
  r.money("coste_sk", "CosteSK", costeSk, "unit price after the discount");
}

}  // namespace

Report bonusResultReport(const TBonusResult& result, bool sale) {
  Report r;
  bonusFields(r, result.Status, result.Incomplete, shortText(result.CardType),
              shortText(result.CardNumber), result.SummaSk, result.Skidka, result.CosteSK, sale);
  return r;
}

Report bonusResultStrReport(const TBonusResultStr& result, bool sale) {
  Report r;
  bonusFields(r, result.Status, result.Incomplete, utf8(longStrView(result.CardType)),
              utf8(longStrView(result.CardNumber)), result.SummaSk, result.Skidka, result.CosteSK,
              sale);
  return r;
}

}  // namespace vexcard::cli
