// The control panel: who may use it, the actions on the terminal and the state they leave,
// the line's entries, the decoded log, and the HTTP server wired to them.
#include <gtest/gtest.h>
#include <httplib.h>

#include <string>

#include "comport/device_virtual.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "terminal-sim/default_config.h"
#include "terminal-sim/panel/control_panel.h"
#include "terminal-sim/panel/panel_api.h"
#include "terminal-sim/sim_config.h"

namespace vexcard::sim::panel {
namespace {

using namespace vexcard::literals;

TEST(PanelOriginTest, HostAndOrigin) {
  const OriginCheck loopback("127.0.0.1", 8080);
  for (const char* h : {"127.0.0.1:8080", "localhost:8080", "LocalHost:8080", "[::1]:8080"}) {
    EXPECT_TRUE(loopback.hostAllowed(h)) << h;
  }
  // Another port, or a name rebound to this address by another site.
  for (const char* h : {"", "127.0.0.1:8081", "127.0.0.1", "evil.example:8080"}) {
    EXPECT_FALSE(loopback.hostAllowed(h)) << h;
  }
  EXPECT_TRUE(loopback.postAllowed("localhost:8080", std::nullopt));  // curl and the like
  EXPECT_TRUE(loopback.postAllowed("localhost:8080", "http://localhost:8080"));
  for (const char* o :
       {"http://evil.example", "http://127.0.0.1:8080", "null", "https://localhost:8080"}) {
    EXPECT_FALSE(loopback.postAllowed("localhost:8080", std::string_view(o))) << o;
  }
  const OriginCheck any("0.0.0.0", 80);
  EXPECT_TRUE(any.hostAllowed("cashdesk-7:80"));
  EXPECT_FALSE(any.postAllowed("cashdesk-7:80", "http://evil.example"));
  EXPECT_TRUE(OriginCheck("::1", 9).hostAllowed("[::1]:9"));
}

TEST(PanelOriginTest, PanelAddress) {
  using A = std::pair<std::string, std::uint16_t>;
  EXPECT_EQ(parsePanelAddress("8080"), A("127.0.0.1", 8080));
  EXPECT_EQ(parsePanelAddress(":8080"), A("127.0.0.1", 8080));
  EXPECT_EQ(parsePanelAddress("0.0.0.0:0"), A("0.0.0.0", 0));
  EXPECT_EQ(parsePanelAddress("[::1]:9"), A("::1", 9));
  for (const char* bad : {"", "host:", "x:65536", "::1:9", "a b:1", "1:2x"}) {
    EXPECT_FALSE(parsePanelAddress(bad)) << bad;
  }
}

class PanelApiTest : public ::testing::Test {
 protected:
  std::shared_ptr<comport::VirtualSerialPair> pair_ = comport::NewVirtualSerialPair();
  TerminalSimulator sim_{pair_->open(1), parseSimulatorConfig(defaultConfigText())};

  static int statusOf(const std::function<void()>& f) {
    try {
      f();
    } catch (const ApiError& e) {
      return e.status;
    }
    return 200;
  }
};

TEST_F(PanelApiTest, CardActionsAndState) {
  EXPECT_EQ(insertCard(sim_, "fuel"), "card fuel put in the reader");
  EXPECT_EQ(
      editCard(sim_, "fuel", {{"balance", "1234.56"}, {"discount", "7.5"}, {"status", "00 02"}}),
      "card fuel: balance 1234.56, discount 7.50 %, status 00 02");
  json s = stateJson(sim_);
  EXPECT_EQ(s["inReader"], "fuel");
  const json& fuel = s["cards"][1];
  EXPECT_EQ(fuel["name"], "fuel");
  EXPECT_EQ(fuel["balance"], "1234.56");
  EXPECT_EQ(fuel["discount"], "7.50");
  EXPECT_EQ(fuel["status"], "00 02");
  EXPECT_EQ(fuel["kind"], "other");
  EXPECT_TRUE(fuel["inReader"]);

  // A bad field changes nothing, not even the good ones beside it.
  EXPECT_EQ(statusOf([&] {
              editCard(sim_, "fuel", {{"balance", "1.00"}, {"discount", "101"}});
            }),
            400);
  EXPECT_EQ(statusOf([&] { editCard(sim_, "fuel", {{"status", "00"}}); }), 400);
  EXPECT_EQ(statusOf([&] { editCard(sim_, "fuel", json::object()); }), 400);
  EXPECT_EQ(statusOf([&] { editCard(sim_, "fuel", {{"balanse", "1.00"}}); }), 400);
  EXPECT_EQ(statusOf([&] { editCard(sim_, "nobody", {{"balance", "1"}}); }), 404);
  EXPECT_EQ(statusOf([&] { insertCard(sim_, "nobody"); }), 404);
  EXPECT_EQ(sim_.card("fuel")->balance, 123456);
  insertCard(sim_, "none");
  EXPECT_TRUE(stateJson(sim_)["inReader"].is_null());
}

TEST_F(PanelApiTest, FaultsFromTheForm) {
  EXPECT_EQ(armFault(sim_, {{"command", "sale"}, {"kind", "code-0x8A"}, {"count", 2}}),
            "fault armed: tsSale: reply code 138 «На карте клиента не хватает средств», 2 more");
  armFault(sim_, {{"kind", "refuse"}, {"count", "always"}});
  armFault(sim_,
           {{"command", "read-card"}, {"kind", "patch"}, {"at", "11"}, {"bytes", "FE 10 27 00"}});
  const FaultRule patch = sim_.faults().back();
  EXPECT_EQ(patch.kind, FaultKind::kPatchReply);
  EXPECT_EQ(patch.command, 0x0A);
  EXPECT_EQ(patch.patchAt, 11u);
  EXPECT_EQ(patch.patch, (Bytes{0xFE, 0x10, 0x27, 0x00}));
  EXPECT_EQ(stateJson(sim_)["faults"][1], "any request: refusal, always");
  for (const json& bad : {json{{"kind", "melt"}}, json{{"command", "sale"}, {"kind", "no-cts"}},
                          json{{"kind", "silence"}, {"count", 0}}, json{{"command", "sale"}},
                          json{{"kind", "patch"}, {"at", "300"}, {"bytes", "00"}},
                          json{{"kind", "refuse"}, {"times", 2}}}) {
    EXPECT_EQ(statusOf([&] { armFault(sim_, bad); }), 400) << bad.dump();
  }
  EXPECT_EQ(sim_.faults().size(), 3u);
  clearFaults(sim_);
  EXPECT_TRUE(stateJson(sim_)["faults"].empty());
}

TEST(PanelLineTest, JournalIsBoundedAndPairsAnswersWithRequests) {
  LineJournal journal(3);
  const SimulatorObserver o = journal.observer();
  RequestRecord rec;
  rec.wire = {'6', '0', 0x03};
  rec.packetIndex = 4;
  rec.command = {0x08};
  rec.fault = FaultKind::kReplyCode;
  rec.replyBody = {4, 0x08, 0x8A, 0, 0};
  o.line(LineEvent::kCtsRose);
  o.request(rec);
  journal.addAction("fault armed");
  o.answer({'N'}, true);
  o.answer({'6', '0'}, true);
  const LineJournal::Batch all = journal.since(0, 0);
  EXPECT_TRUE(all.gap);  // the first two were dropped
  ASSERT_EQ(all.entries.size(), 3u);
  EXPECT_EQ(all.entries[0]->seq, 3u);
  EXPECT_EQ(journal.since(4, 0).entries.size(), 1u);
  EXPECT_EQ(journal.since(5, 0).entries.size(), 0u);

  const json refusal = entryJson(*all.entries[1]);
  EXPECT_EQ(refusal["name"], "N");
  const json reply = entryJson(*all.entries[2]);
  EXPECT_EQ(reply["name"], "tsSale reply");
  EXPECT_EQ(reply["code"], 0x8A);
  EXPECT_EQ(reply["codeText"], "На карте клиента не хватает средств");
  EXPECT_EQ(reply["fault"], "reply code");
  EXPECT_TRUE(reply.contains("problem"));  // "60" is no frame

  LineEntry line;
  line.kind = LineEntry::Kind::kLine;
  line.line = LineEvent::kRtsDropped;
  EXPECT_EQ(entryJson(line)["text"], "CTS off");
  EXPECT_EQ(entryJson(line)["side"], "terminal");

  // Stamped by the driver log's clock, in its form.
  platform::setClockOverride([] { return platform::encodeOle({2026, 12, 6, 14, 20, 9, 123}); });
  journal.addAction("stamped");
  platform::setClockOverride({});
  EXPECT_EQ(entryJson(*journal.since(5, 0).entries[0])["stamp"], "06.12 14:20:09.123");

  journal.close();
  EXPECT_TRUE(journal.since(0, 60000).entries.empty());  // returns at once once closed
}

TEST(PanelLineTest, LogAsEntries) {
  const std::string log =
      std::string(
          "+ 05.03 14:07:09.100 [] RTS_ON\r\n"
          "+ 05.03 14:07:09.101 [] CTS_OFF\r\n"
          "+ 05.03 14:07:09.123 [] [COM1]:  Send: 36 30 30 32 30 34 30 41 36 43 03\r\n"
          "+ 05.03 14:07:09.161 [] [COM1]:  ") +
      std::string("Команда выполнена"_w1251) + ":  04 0A 87 00 00\r\n+ 05.03 14:07:09.2 [] " +
      std::string("ЗВК tsReadCard прошел"_w1251) + "\r\nnot a log line\r\n";
  const json out = decodeLogJson(log);
  const json& e = out["entries"];
  ASSERT_EQ(e.size(), 5u);
  EXPECT_EQ(e[0]["side"], "desk");
  EXPECT_EQ(e[1]["text"], "CTS off");
  EXPECT_EQ(e[2]["kind"], "request");
  EXPECT_EQ(e[2]["name"], "tsReadCard");
  EXPECT_EQ(e[3]["kind"], "reply");
  EXPECT_EQ(e[3]["code"], 0x87);
  EXPECT_EQ(e[3]["body"], "04 0A 87 00 00");
  EXPECT_DOUBLE_EQ(e[3]["ms"].get<double>() - e[2]["ms"].get<double>(), 38);
  EXPECT_EQ(e[4]["text"], "ЗВК tsReadCard прошел");
  EXPECT_DOUBLE_EQ(e[4]["ms"].get<double>() - e[3]["ms"].get<double>(), 39);
  EXPECT_EQ(decodeLogJson(log, 2)["truncated"], true);

  // A time-out logged with the bytes decoded is a reply refused for its checksum.
  const json spoiled = decodeLogJson(std::string("+ 05.03 14:07:19.2 [] [COM1]:  ") +
                                     std::string("Прием:Ошибка таймаута подтверждения"_w1251) +
                                     " 04 0A 87 00 00\r\n")["entries"][0];
  EXPECT_EQ(spoiled["fault"], "spoiled");
  EXPECT_EQ(spoiled["problem"],
            "bad checksum (logged as the time-out «Прием:Ошибка таймаута подтверждения»)");
}

// The server: the page, the state, the event stream, and refusals of other origins.
TEST_F(PanelApiTest, ServerAnswersItsPageAndRefusesOthers) {
  ControlPanel panel(sim_);
  ASSERT_TRUE(panel.start("127.0.0.1", 0));
  httplib::Client client("127.0.0.1", panel.port());
  const auto page = client.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("panel.js"), std::string::npos);
  EXPECT_EQ(client.Get("/api/state")->status, 200);

  const std::string self = "http://127.0.0.1:" + std::to_string(panel.port());
  const auto post = [&](const char* path, const std::string& origin, const std::string& body) {
    httplib::Headers h;
    if (!origin.empty()) h.emplace("Origin", origin);
    return client.Post(path, h, body, "application/json")->status;
  };
  EXPECT_EQ(post("/api/faults", "http://evil.example", R"({"kind":"refuse"})"), 403);
  EXPECT_EQ(sim_.faults().size(), 0u);
  EXPECT_EQ(post("/api/faults", self, R"({"kind":"refuse"})"), 200);
  EXPECT_EQ(post("/api/faults", self, "{not json"), 400);
  EXPECT_EQ(post("/api/cards/fuel/insert", "", ""), 200);
  EXPECT_EQ(sim_.insertedCard(), "fuel");
  // Every refusal in the one JSON form, with its status.
  const auto error = [](const httplib::Result& r, int status) {
    EXPECT_EQ(r->status, status) << r->body;
    EXPECT_TRUE(json::parse(r->body).contains("error")) << r->body;
    return r->get_header_value("Allow");
  };
  EXPECT_EQ(error(client.Get("/api/faults/clear"), 405), "POST");  // not by GET
  error(client.Delete("/api/faults"), 405);
  error(client.Get("/api/nothing"), 404);
  error(client.Post("/api/faults/clear", "{x", "application/json"), 400);
  error(client.Get("/api/events?after=x"), 400);
  httplib::Client rebound("127.0.0.1", panel.port());
  rebound.set_default_headers({{"Host", "evil.example"}});
  EXPECT_EQ(rebound.Get("/api/state")->status, 403);

  // The event stream replays what is in the journal: the two actions above.
  std::string events;
  client.Get("/api/events", [&](const char* data, std::size_t n) {
    events.append(data, n);
    return events.find("card fuel put in the reader") == std::string::npos;
  });
  EXPECT_NE(events.find("id: 1\ndata: {"), std::string::npos);
  EXPECT_NE(events.find("fault armed: any request: refusal, 1 more"), std::string::npos);

  // A second panel on the same port is refused, and says why.
  ControlPanel second(sim_);
  EXPECT_FALSE(second.start("127.0.0.1", panel.port()));
  EXPECT_NE(second.error().find(std::string("port ") + std::to_string(panel.port()) + " is in use"),
            std::string::npos)
      << second.error();
  panel.stop();
}

}  // namespace
}  // namespace vexcard::sim::panel
