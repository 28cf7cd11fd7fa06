// The control panel's JSON: the terminal's state, the line's entries decoded, the actions the
// page asks for, the decoded log of the log viewer, and the check that keeps other web sites
// from steering the terminal. docs/terminal-sim.md describes the API.
//
// Pure functions over the simulator's thread-safe members; no HTTP here.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "terminal-sim/panel/line_journal.h"
#include "terminal-sim/terminal_simulator.h"

namespace vexcard::sim::panel {

using nlohmann::json;

// An action the page asked for that cannot be carried out: the HTTP status and the message.
struct ApiError {
  int status;
  std::string message;
};

// GET /api/state: shift, the card in the reader, every card, the ledger, pending faults and
// the counters.
json stateJson(const TerminalSimulator& sim);

// One entry of the line as the page draws it: requests and replies with their command, the
// decoded fields (as `vexcard log` shows them), reply code texts and bytes; line changes as
// the cash desk sees its lines; the panel's actions.
json entryJson(const LineEntry& e);

// A fault rule in words: "tsSale: reply code 138, 2 more".
std::string faultText(const FaultRule& rule);

// POST /api/cards/NAME/insert: NAME, or "none" for an empty reader. Returns the action's
// text for the line.
std::string insertCard(TerminalSimulator& sim, const std::string& name);
// POST /api/cards/NAME: any of "balance" ("1000.00"), "discount" ("5.5", percent),
// "status" ("00 01"), "blocked" (true/false). Nothing changes when a field is bad.
std::string editCard(TerminalSimulator& sim, const std::string& name, const json& body);
// POST /api/faults: {"command": "sale" (or "" for any), "kind": "silence" | "refuse" |
// "bad-checksum" | "wrong-terminator" | "trickle" | "garbage" | "no-cts" | "code-N" | "patch",
// "count": N or "always", "at": N and "bytes": "HEX" for a patch}.
FaultRule faultFromJson(const json& body);
std::string armFault(TerminalSimulator& sim, const json& body);
std::string clearFaults(TerminalSimulator& sim);

// POST /api/log: a VexCard.log (Windows-1251) as entries of the same picture. At most
// maxEntries entries; "truncated" says when more were left out. An entry that shows a
// fault names it in "fault", the row of the viewer's fault time line: "hand-shake" (an RTS
// rise no request followed), "refusal" ("N"), "time-out", "spoiled" (a reply refused for its
// checksum or terminator), "refused" (a reply code other than 0), "connection" (a network
// port's connection lost).
json decodeLogJson(std::string_view log, std::size_t maxEntries = 150000);

// The address of --panel, "[HOST:]PORT" (an IPv6 HOST in brackets); the host is 127.0.0.1
// when left out, port 0 picks a free one. Empty for anything else.
std::optional<std::pair<std::string, std::uint16_t>> parsePanelAddress(std::string_view text);

// Which requests the panel answers. Host names are compared without case, with the port.
class OriginCheck {
 public:
  // listenHost as given to --panel; a wildcard address (0.0.0.0, ::) accepts any Host name.
  OriginCheck(std::string listenHost, std::uint16_t port);
  // Every request: the Host header names the panel (its address, localhost or a loopback
  // address, with the port), which keeps out pages that rebind their name to this address.
  bool hostAllowed(std::string_view host) const;
  // State-changing requests besides: an Origin header, when there is one, is this page's.
  bool postAllowed(std::string_view host, std::optional<std::string_view> origin) const;

 private:
  std::vector<std::string> hosts_;  // lower case, with ":port"
  bool anyHost_ = false;
};

}  // namespace vexcard::sim::panel
