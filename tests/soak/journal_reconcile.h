// The driver's journal held against the simulated terminal's ledger, as a station
// reconciles it with the terminal's shift report:
// - every sale or debit the journal marks done is in the ledger, in its order, with the same
//   figures (transaction, product, price, quantity, amount charged, the sale id of its card
//   block);
// - every ledger entry is in the journal as done or unknown (a request whose outcome line is
//   missing reads as unknown); so none is there for a request marked not carried out or
//   refused;
// - every refund the ledger holds was journalled as done or unknown with that sale's card
//   block, and every refund marked done is in the ledger.
// Journal and ledger are both in the order of the requests, so they are walked together: a
// ledger entry is claimed by the next done record, or by an unknown one with its figures
// unless the next done record claims it by its sale id.
#pragma once

#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "link/journal_format.h"
#include "terminal-sim/terminal_model.h"

namespace vexcard::test {

struct Reconciliation {
  std::size_t done = 0, unknownCarriedOut = 0, unknownNotCarriedOut = 0, notCarriedOut = 0,
              refused = 0, refunds = 0, noOutcomeLine = 0;
  std::vector<std::string> faults;  // empty when the two agree

  std::string summary() const {
    std::ostringstream s;
    s << done << " done, " << unknownCarriedOut << " unknown and in the ledger, "
      << unknownNotCarriedOut << " unknown and not, " << notCarriedOut << " not carried out, "
      << refused << " refused, " << refunds << " refunds in the ledger, " << noOutcomeLine
      << " without an outcome line";
    return s.str();
  }
};

inline std::string hexOf(const std::uint8_t* bytes, std::size_t count) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t k = 0; k < count; ++k) {
    text += kDigits[bytes[k] >> 4];
    text += kDigits[bytes[k] & 0x0F];
  }
  return text;
}

// The simulator's sale id: card block bytes 12..15, little-endian (of a block in hex).
inline std::uint32_t saleIdOfHex(const std::string& block) {
  if (block.size() < 32) return 0;
  std::uint32_t id = 0;
  for (int k = 3; k >= 0; --k) id = id << 8 | std::stoul(block.substr(24 + 2 * k, 2), nullptr, 16);
  return id;
}

inline Reconciliation reconcile(const std::vector<link::JournalEntry>& journal,
                                const std::vector<sim::SaleRecord>& ledger) {
  using link::RequestOutcome;
  Reconciliation r;
  std::vector<const link::JournalEntry*> lines, refunds;
  for (const auto& e : journal) {
    const bool refund = e.request.command == "tsRefund" || e.request.command == "tsRefundReset";
    (refund ? refunds : lines).push_back(&e);
    if (!e.outcome.recorded) ++r.noOutcomeLine;
  }
  const auto figures = [](const link::JournalEntry& e, const sim::SaleRecord& s) {
    const bool debit = e.request.command == "tsDebit";
    return s.quote == debit && s.productCode == e.request.productCode &&
           s.price * 100 == e.request.price.raw && s.quantity * 100 == e.request.quantity.raw &&
           (debit || s.transactionNo == e.request.transaction);
  };
  const auto idOf = [](const link::JournalEntry& e) { return saleIdOfHex(e.outcome.block); };
  std::size_t j = 0;
  for (const sim::SaleRecord& s : ledger) {
    bool claimed = false;
    while (!claimed && j < lines.size()) {
      const link::JournalEntry& e = *lines[j];
      const RequestOutcome o = e.outcome.outcome;
      if (o == RequestOutcome::kDone) {
        if (!figures(e, s) || idOf(e) != s.id || e.outcome.money2.raw != s.charged * 100) {
          r.faults.push_back("done in the journal, not so in the ledger: " + e.request.time);
          ++j;
          continue;
        }
        ++r.done;
        claimed = true;
      } else if (o == RequestOutcome::kUnknown && figures(e, s)) {
        // Unless the next done record claims this entry by its sale id.
        bool doneClaims = false;
        for (std::size_t k = j + 1; k < lines.size(); ++k) {
          if (lines[k]->outcome.outcome != RequestOutcome::kDone) continue;
          doneClaims = idOf(*lines[k]) == s.id;
          break;
        }
        if (doneClaims) {
          ++r.unknownNotCarriedOut;
        } else {
          ++r.unknownCarriedOut;
          claimed = true;
        }
      } else if (o == RequestOutcome::kUnknown) {
        ++r.unknownNotCarriedOut;
      } else {
        ++(o == RequestOutcome::kRefused ? r.refused : r.notCarriedOut);
      }
      ++j;
    }
    if (!claimed) {
      r.faults.push_back("in the ledger, not in the journal as done or unknown: sale id " +
                         std::to_string(s.id));
    }
  }
  for (; j < lines.size(); ++j) {
    const RequestOutcome o = lines[j]->outcome.outcome;
    if (o == RequestOutcome::kDone) {
      r.faults.push_back("done in the journal, not in the ledger: " + lines[j]->request.time);
    }
    ++(o == RequestOutcome::kUnknown   ? r.unknownNotCarriedOut
       : o == RequestOutcome::kRefused ? r.refused
                                       : r.notCarriedOut);
  }

  std::set<std::string> refundedBlocks, journalledBlocks;
  for (const sim::SaleRecord& s : ledger) {
    if (s.refunded) refundedBlocks.insert(hexOf(s.block.data(), s.block.size()));
  }
  r.refunds = refundedBlocks.size();
  for (const link::JournalEntry* e : refunds) {
    const RequestOutcome o = e->outcome.outcome;
    if (o == RequestOutcome::kDone || o == RequestOutcome::kUnknown) {
      journalledBlocks.insert(e->request.block);
    }
    if (o == RequestOutcome::kDone && refundedBlocks.count(e->request.block) == 0) {
      r.faults.push_back("refund done in the journal, not in the ledger: " + e->request.time);
    }
  }
  for (const std::string& block : refundedBlocks) {
    if (journalledBlocks.count(block) == 0) {
      r.faults.push_back("refund in the ledger, not in the journal: sale id " +
                         std::to_string(saleIdOfHex(block)));
    }
  }
  return r;
}

}  // namespace vexcard::test
