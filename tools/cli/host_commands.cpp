// The subcommands of the host operations that read cards, purses and the shift, and the
// small slots. The sales are in sale_commands.cpp.
#include "cli/host_commands.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ostream>

#include "cli/app.h"
#include "cli/command_options.h"
#include "cli/records.h"
#include "cli/text_util.h"
#include "driver/product_table.h"
#include "link/link_state.h"
#include "link/status_texts.h"
#include "link/wire_values.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "vexcard/exception.h"

namespace vexcard::cli {

std::string errorText(const std::exception& e) {
  if (const auto* ve = dynamic_cast<const Exception*>(&e)) return utf8(ve->message());
  return e.what();
}

double parseDateTime(const std::string& text) {
  if (text == "now") return platform::nowOle();
  platform::DateTimeParts p;
  char sep = 0;
  int used = 0;
  const int n = std::sscanf(text.c_str(), "%4d-%2d-%2d%n%c%2d:%2d%n:%2d%n", &p.year, &p.month,
                            &p.day, &used, &sep, &p.hour, &p.minute, &used, &p.second, &used);
  const bool shapeOk = (n == 3 || n == 6 || n == 7) && (n == 3 || sep == ' ' || sep == 'T') &&
                       static_cast<std::size_t>(used) == text.size();
  if (!shapeOk) {
    throw UsageError("'" + text + "' is not a date: use YYYY-MM-DD, YYYY-MM-DD HH:MM[:SS] or now");
  }
  try {
    return platform::encodeOle(p);
  } catch (const std::exception&) {
    throw UsageError("'" + text + "' is not a valid date");
  }
}

namespace {

// The shift numbers the terminal keeps.
constexpr int kShiftCount = 6;

PreparedCall prepareVersion(const ParsedArgs&) {
  return [](Session& s) {
    std::uint8_t buffer[kVersionBufferSize] = {};
    return Outcome{{callSlot(
        "GetVersion", 1, [&] { s.slots().GetVersion(buffer, s.object()); },
        [&] {
          Report r;
          const std::size_t n = std::min<std::size_t>(buffer[0], kVersionBufferSize - 1);
          r.text("version", "Version",
                 utf8(std::string_view(reinterpret_cast<const char*>(buffer + 1), n)));
          return r;
        })}};
  };
}

PreparedCall prepareHostFlag(const ParsedArgs& a) {
  const auto value = byteOption(a, "set", std::nullopt);
  return [value](Session& s) {
    Outcome out;
    if (value) {
      out.steps.push_back(callSlot(
          "SetHostFlag", 2, [&] { s.slots().SetHostFlag(s.object(), 0, *value); },
          [] { return Report(); }));
      if (!out.ok()) return out;
    }
    std::uint8_t flag = 0;
    out.steps.push_back(callSlot(
        "GetHostFlag", 3, [&] { flag = s.slots().GetHostFlag(s.object(), 0); },
        [&] { return Report().integer("host_flag", "Host flag", flag); }));
    return out;
  };
}

PreparedCall prepareCardInfo(const ParsedArgs&) {
  return [](Session& s) {
    TCardInfo info{};
    return Outcome{{callSlot(
        "CardInfo", 7, [&] { s.slots().CardInfo(&info, s.object(), 0); },
        [&] { return cardInfoReport(info, StatusContext::kCardInfo); })}};
  };
}

PreparedCall prepareOilLimit(const ParsedArgs&) {
  return [](Session& s) {
    TPurseInfo info{};
    return Outcome{{callSlot(
        "OilLimit", 9, [&] { s.slots().OilLimit(&info, s.object()); },
        [&] { return purseInfoReport(info); })}};
  };
}

PreparedCall prepareOpenPurse(const ParsedArgs& a) {
  const std::uint8_t selector = *byteOption(a, "selector", 16);
  return [selector](Session& s) {
    TPurseInfo info{};
    return Outcome{{callSlot(
        "OpenPurse", 16, [&] { s.slots().OpenPurse(&info, s.object(), selector); },
        [&] { return purseInfoReport(info); })}};
  };
}

PreparedCall prepareItemLimit(const ParsedArgs& a) {
  const std::uint8_t selector = *byteOption(a, "selector", 16);
  const auto handle = byteOption(a, "handle", std::nullopt);
  const TItemList items = itemListOption(a);
  return [selector, handle, items](Session& s) {
    Outcome out;
    TPurseInfo info{};
    if (handle) {
      info.PurseHandle = *handle;
    } else {
      out.steps.push_back(callSlot(
          "OpenPurse", 16, [&] { s.slots().OpenPurse(&info, s.object(), selector); },
          [&] { return purseInfoReport(info); }));
      if (!out.ok()) return out;
    }
    out.steps.push_back(callSlot(
        "ItemLimit", 17, [&] { s.slots().ItemLimit(&info, s.object(), 0, items); },
        [&] { return purseInfoReport(info); }));
    return out;
  };
}

PreparedCall prepareCardQuantity(const ParsedArgs& a) {
  const std::uint8_t purse = purseOption(a);
  const Currency price = currencyOption(a, "price");
  const bool ex = a.has("ex");
  return [purse, price, ex](Session& s) {
    TCardInfo info{};
    Currency p = price;
    const auto describe = [&] {
      Report r = cardInfoReport(info, StatusContext::kCardQuantity);
      r.money("price", "Price", link::toDouble(p),
              ex ? "unit price after the discount" : "the caller's price, left alone");
      return r;
    };
    Step step = ex ? callSlot(
                         "CardQuantityEx", 19,
                         [&] { s.slots().CardQuantityEx(&info, s.object(), purse, &p); }, describe)
                   : callSlot(
                         "CardQuantity", 18,
                         [&] { s.slots().CardQuantity(&info, s.object(), purse, p); }, describe);
    const driver::TKodTovar product = driver::ProductOfPurse(purse);
    step.request.integer("purse", "Purse", purse,
                         utf8(product.name) + ", product code " + std::to_string(product.code));
    step.request.money("price", "Price", link::toDouble(price), "the unit price given");
    return Outcome{{std::move(step)}};
  };
}

PreparedCall prepareOpenShift(const ParsedArgs& a) {
  const std::uint8_t shift = *byteOption(a, "shift", 1);
  if (shift < 1 || shift > kShiftCount) {
    throw UsageError("--shift " + a.required("shift") + ": the terminal counts shifts 1 to " +
                     std::to_string(kShiftCount));
  }
  const double date = parseDateTime(a.get("date").value_or("now"));
  return [shift, date](Session& s) {
    return Outcome{{callSlot(
        "OpenShift", 13, [&] { s.slots().OpenShift(s.object(), date, shift); },
        [&] {
          return Report()
              .integer("shift", "Shift", shift)
              .text("shift_date", "Shift date", oleDateText(date));
        })}};
  };
}

PreparedCall prepareCloseShift(const ParsedArgs&) {
  return [](Session& s) {
    return Outcome{{callSlot(
        "CloseShift", 14, [&] { s.slots().CloseShift(s.object()); }, [] { return Report(); })}};
  };
}

PreparedCall prepareHostSlot(const ParsedArgs& a) {
  if (a.positional().size() != 1) throw UsageError("host-slot takes one slot number");
  const auto slot = parseUnsigned(a.positional()[0], 28);
  constexpr int kSlots[] = {5, 6, 8, 10, 21, 23, 24, 25, 26, 27};
  if (!slot || std::find(std::begin(kSlots), std::end(kSlots), *slot) == std::end(kSlots)) {
    throw UsageError("host-slot: the slot must be one of 5 6 8 10 21 23 24 25 26 27");
  }
  const std::string text = utf8ToCp1251(a.get("text").value_or(""));
  return [slot = static_cast<int>(*slot), text](Session& s) {
    const HostSlots& t = s.slots();
    HostObject* o = s.object();
    LongString str(text);
    TSaleResult sale{};
    std::int32_t value = 0;
    const char* name = "";
    std::function<void()> call;
    std::function<Report()> describe = [] { return Report(); };
    switch (slot) {
      case 5:
      case 6:
        name = slot == 5 ? "HostSlot5" : "HostSlot6";
        call = [&] { slot == 5 ? t.HostSlot5(&sale, o, 0, 0, 0) : t.HostSlot6(&sale, o); };
        describe = [&] { return saleResultReport(sale); };
        break;
      case 8:
        name = "HostSlot8";
        call = [&] { t.HostSlot8(o, str.get()); };
        break;
      case 10:
        name = "HostSlot10";
        call = [&] { t.HostSlot10(o, 0, str.get(), str.get(), 0, 0, 0, 0, 0); };
        break;
      case 21:
        name = "HostSlot21";
        call = [&] { t.HostSlot21(o); };
        break;
      case 23:
        name = "HostSlot23";
        call = [&] { t.HostSlot23(o, 0, str.get(), nullptr, -1, 0, 0, 0, 0); };
        break;
      case 24:
        name = "HostSlot24";
        call = [&] { t.HostSlot24(o); };
        break;
      case 25:
        name = "HostSlot25";
        call = [&] { value = t.HostSlot25(o); };
        describe = [&] { return Report().integer("value", "Returned", value); };
        break;
      default:
        name = slot == 26 ? "HostSlot26" : "HostSlot27";
        call = [&] {
          ScopedVariant v(variantFromString(text));
          value = slot == 26 ? t.HostSlot26(o, 0, v.get()) : t.HostSlot27(o, 0, v.get());
        };
        describe = [&] {
          return Report().integer("value", "Returned", value, "no meaning: hosts must not use it");
        };
        break;
    }
    return Outcome{{callSlot(name, slot, call, describe)}};
  };
}

const std::vector<HostCommand>& table() {
  static const std::vector<HostCommand> commands = [] {
    std::vector<HostCommand> c = {
        {"version", "GetVersion (slot 1): the driver's version text", "", {}, prepareVersion},
        {"host-flag",
         "GetHostFlag (slot 3), after SetHostFlag (slot 2) with --set",
         "",
         {{"set", "N", "store N (0..255) first with SetHostFlag"}},
         prepareHostFlag},
        {"card-info",
         "CardInfo (slot 7): card type, first digits, validity window, available amount",
         "",
         {},
         prepareCardInfo},
        {"oil-limit",
         "OilLimit (slot 9): the card's oil purse and the quantity it pays for",
         "",
         {},
         prepareOilLimit},
        {"open-purse",
         "OpenPurse (slot 16): read the card and select a purse",
         "",
         {{"selector", "N", "selector byte for tsSelectPurse (default 16)"}},
         prepareOpenPurse},
        {"item-limit",
         "ItemLimit (slot 17): the first goods line the card has a purse for, and how much",
         "Runs OpenPurse first and passes its record on, as a host does, unless --handle\n"
         "gives the purse handle of an earlier OpenPurse.",
         {{"item", "PURSE:PRICE:QTY", "a goods line (1 to 8 of them), e.g. 19:18.50:20", true},
          {"selector", "N", "selector of the OpenPurse step (default 16)"},
          {"handle", "H", "skip OpenPurse; use purse handle H"}},
         prepareItemLimit},
        {"card-quantity",
         "CardQuantity (slot 18): the quantity of a product the card's balance pays for",
         "With --ex it calls CardQuantityEx (slot 19), which also reports the unit price\n"
         "after the discount.",
         {{"purse", "N", "purse number (product table row, see `vexcard products`)"},
          {"price", "P", "unit price of the product"},
          {"ex", "", "call CardQuantityEx (slot 19) and show the discounted price"}},
         prepareCardQuantity},
        {"open-shift",
         "OpenShift (slot 13): open the terminal's shift",
         "",
         {{"shift", "N", "shift number, 1 to 6 (default 1)"},
          {"date", "DATE", "shift date: YYYY-MM-DD[ HH:MM[:SS]] or now (default now)"}},
         prepareOpenShift},
        {"close-shift",
         "CloseShift (slot 14): close the terminal's shift",
         "",
         {},
         prepareCloseShift},
        {"host-slot",
         "host-slot N: call pass-through slot N (5 6 8 10 21 23 24 25 26 27)",
         "Slots 21 and 24 have no body: the driver raises its abstract-method error.",
         {{"text", "T", "the text argument of slots 8, 10, 23, 26 and 27"}},
         prepareHostSlot},
    };
    for (const HostCommand& s : saleCommands()) c.push_back(s);
    return c;
  }();
  return commands;
}

}  // namespace

namespace {

std::string_view moneyOutcomeMeaning(MoneyOutcome outcome) {
  switch (outcome) {
    case MoneyOutcome::kNone:
      break;
    case MoneyOutcome::kNotCarriedOut:
      return "the terminal did not take the request: nothing was charged";
    case MoneyOutcome::kRefused:
      return "the terminal refused the request: nothing was charged";
    case MoneyOutcome::kUnknown:
      return "the terminal may have carried the request out";
    case MoneyOutcome::kDone:
      return "the terminal carried the request out; a later step failed";
  }
  return "no money request was sent";
}

Report stepReport(const Step& step) {
  Report r;
  r.text("operation", "", step.operation).integer("slot", "", step.slot);
  r.flag("ok", "", !step.error);
  if (step.error) {
    r.text("error", "", *step.error);
    r.text("outcome", "", std::string(moneyOutcomeName(step.money)));
    if (step.line != LineFault::kNone) r.text("line", "", std::string(lineFaultName(step.line)));
  }
  if (!step.request.fields.empty()) r.object("request", "", step.request);
  r.object("result", "", step.result);
  return r;
}

}  // namespace

void printOutcome(const std::string& command, const Outcome& outcome, const Session& session,
                  bool json, std::ostream& out, std::ostream& err, std::optional<int> line) {
  const Step& last = outcome.steps.back();
  if (json) {
    Report r;
    if (line) r.integer("line", "", *line);
    r.text("command", "", command).text("operation", "", last.operation);
    r.integer("slot", "", last.slot).flag("ok", "", outcome.ok());
    if (last.error) {
      r.text("error", "", *last.error);
      r.text("outcome", "", std::string(moneyOutcomeName(last.money)));
      if (last.line != LineFault::kNone) r.text("line", "", std::string(lineFaultName(last.line)));
    }
    r.integer("port", "", session.port()).flag("simulator", "", session.simulator() != nullptr);
    if (!last.request.fields.empty()) r.object("request", "", last.request);
    r.object("result", "", last.result);
    if (outcome.steps.size() > 1) {
      std::vector<Report> steps;
      for (const Step& s : outcome.steps) steps.push_back(stepReport(s));
      r.array("steps", "", std::move(steps));
    }
    out << toJson(r) << "\n";
  } else {
    for (const Step& s : outcome.steps) {
      out << s.operation << " (slot " << s.slot << ")" << (s.error ? ": FAILED" : "") << "\n";
      if (s.error && s.money != MoneyOutcome::kNone) {
        out << "  Outcome:      " << moneyOutcomeName(s.money) << "  ("
            << moneyOutcomeMeaning(s.money) << ")\n";
      }
      if (!s.request.fields.empty()) {
        out << toText(Report().object("request", "Request", s.request), 2)
            << (s.result.fields.empty() ? "" : "  Result\n");
      }
      out << toText(s.error ? failedRecord(s.result) : s.result, s.request.fields.empty() ? 2 : 4);
    }
  }
  out.flush();
  if (last.error) {
    err << "vexcard: " << (line ? "line " + std::to_string(*line) + ": " : "") << last.operation
        << " failed: " << *last.error << "\n";
    if (last.line != LineFault::kNone) {
      err << "vexcard: "
          << lineFaultText(last.line, session.simulator() != nullptr ? 0 : session.port()) << "\n";
    }
    if (outcome.unknown()) {
      err << "vexcard: the terminal may have carried the request out: check the terminal (the "
             "card's balance or its shift report) before selling again; `vexcard journal "
             "--unknown` lists such requests\n";
    }
  }
}

Report failedRecord(Report record) {
  for (Field& f : record.fields) {
    if (f.key == "status" && f.kind == Field::Kind::kInteger && f.integer == 0) {
      f.note += "; of the last command that completed";
    }
  }
  return record;
}

std::string_view lineFaultName(LineFault fault) {
  switch (fault) {
    case LineFault::kNone:
      break;
    case LineFault::kNoAnswer:
      return "no-answer";
    case LineFault::kNoReply:
      return "no-reply";
    case LineFault::kSpoiled:
      return "spoiled";
    case LineFault::kNotReady:
      return "not-ready";
    case LineFault::kSendFailed:
      return "send-failed";
  }
  return {};
}

std::string lineFaultText(LineFault fault, unsigned port) {
  const std::string check =
      std::string("; `vexcard check") +
      (port != 0 ? std::string(" --port ") + std::to_string(port) : std::string()) +
      "` tells more in seconds";
  switch (fault) {
    case LineFault::kNone:
      break;
    case LineFault::kNoAnswer:
      return std::string("the line is dead: Не удалось связаться с терминалом") +
             " (no CTS answer to the hand-shake in any attempt: the cable, the terminal's "
             "power, or the port)" +
             check;
    case LineFault::kNoReply:
      return std::string("the terminal answers the hand-shake but sent no reply: ") +
             utf8(link::LinkStateText(link::kLinkReplyTimeout, 0)) + check;
    case LineFault::kSpoiled:
      return std::string("the terminal's replies come spoiled: ") +
             utf8(link::LinkStateText(link::kLinkBadTerminator, 0)) + check;
    case LineFault::kNotReady:
      return std::string("the terminal refused the command: ") +
             utf8(link::LinkStateText(link::kLinkNotReady, 0));
    case LineFault::kSendFailed:
      return std::string("the request could not be written to the port: ") +
             utf8(link::LinkStateText(link::kLinkSendFailed, 0));
  }
  return {};
}

std::string_view moneyOutcomeName(MoneyOutcome outcome) {
  switch (outcome) {
    case MoneyOutcome::kNone:
      return "none";
    case MoneyOutcome::kNotCarriedOut:
      return "not carried out";
    case MoneyOutcome::kRefused:
      return "refused";
    case MoneyOutcome::kUnknown:
      return "unknown";
    case MoneyOutcome::kDone:
      return "done";
  }
  return "unknown";
}

int Outcome::exitCode() const {
  if (ok()) return kExitOk;
  return unknown() ? kExitOutcomeUnknown : kExitDriverError;
}

std::span<const HostCommand> hostCommands() { return table(); }

PreparedCall prepareHostCall(const HostCommand& command, const ParsedArgs& a) {
  if (!a.positional().empty() && std::string(command.name) != "host-slot") {
    throw UsageError(std::string(command.name) + " takes no argument '" + a.positional()[0] + "'");
  }
  return command.prepare(a);
}

const HostCommand* findHostCommand(const std::string& name) {
  for (const HostCommand& c : table()) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

}  // namespace vexcard::cli
