#include "terminal-sim/panel/control_panel.h"

#include <httplib.h>

#include <charconv>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/timing.h"
#include "terminal-sim/panel/panel_api.h"
#include "terminal-sim/panel/panel_assets.h"

namespace vexcard::sim::panel {

namespace {

// The server's threads, and how many of them event streams may take, so that the API
// always has threads left.
constexpr std::size_t kThreads = 12;
constexpr int kMaxStreams = 8;
constexpr std::size_t kMaxLogBytes = 32u << 20;

void sendJson(httplib::Response& res, const json& j, int status = 200) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(j.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void sendError(httplib::Response& res, int status, const std::string& message) {
  sendJson(res, {{"error", message}}, status);
}

json parseBody(const httplib::Request& req) {
  if (req.body.empty()) return json::object();
  try {
    return json::parse(req.body);
  } catch (const json::exception&) {
    throw ApiError{400, "the body is not JSON"};
  }
}

}  // namespace

ControlPanel::ControlPanel(TerminalSimulator& sim) : sim_(sim) {
  sim_.setObserver(journal_.observer());
}

ControlPanel::~ControlPanel() {
  stop();
  sim_.setObserver({});
}

bool ControlPanel::start(const std::string& host, std::uint16_t port) {
  if (server_) return true;
  server_ = std::make_unique<httplib::Server>();
  server_->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  server_->set_payload_max_length(kMaxLogBytes);
  const int bound =
      port == 0 ? server_->bind_to_any_port(host) : (server_->bind_to_port(host, port) ? port : -1);
  if (bound <= 0) {
    server_.reset();
    return false;
  }
  port_ = static_cast<std::uint16_t>(bound);
  host_ = host;
  routes(host);
  listenEnded_ = false;
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    listenEnded_ = true;
  });
  // The server takes stop() only once its loop runs (before, stop() does nothing and the loop
  // would never end): start() returns when it runs, microseconds after the thread starts.
  while (!server_->is_running() && !listenEnded_) std::this_thread::yield();
  return true;
}

std::string ControlPanel::url() const {
  const bool v6 = host_.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_) + "/";
}

void ControlPanel::stop() {
  if (!server_) return;
  journal_.close();  // event streams end at their next look
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

void ControlPanel::routes(const std::string& host) {
  httplib::Server& s = *server_;
  const auto check = std::make_shared<OriginCheck>(host, port_);
  // Every request must name this panel as its Host; state-changing ones must come from its
  // own page (or from a program that sends no Origin).
  s.set_pre_routing_handler([check](const httplib::Request& req, httplib::Response& res) {
    const std::string h = req.get_header_value("Host");
    std::optional<std::string> origin;
    if (req.has_header("Origin")) origin = req.get_header_value("Origin");
    const bool ok = req.method == "POST" ? check->postAllowed(h, origin) : check->hostAllowed(h);
    if (ok) return httplib::Server::HandlerResponse::Unhandled;
    sendError(res, 403, "refused: the request does not come from this panel's page");
    return httplib::Server::HandlerResponse::Handled;
  });

  for (const Asset& a : assets()) {
    const std::string path = a.path == "/index.html" ? "/" : std::string(a.path);
    s.Get(path, [a](const httplib::Request&, httplib::Response& res) {
      res.set_header("Cache-Control", "no-store");
      res.set_content(a.body.data(), a.body.size(), std::string(a.type).c_str());
    });
  }

  // Wraps an action: runs it, puts its text on the line, answers with the new state.
  const auto action = [this](auto&& body) {
    return [this, body](const httplib::Request& req, httplib::Response& res) {
      try {
        journal_.addAction(body(req));
        sendJson(res, stateJson(sim_));
      } catch (const ApiError& e) {
        sendError(res, e.status, e.message);
      }
    };
  };

  s.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
    json j = stateJson(sim_);
    j["lastSeq"] = journal_.lastSeq();
    sendJson(res, j);
  });
  s.Get("/api/faults", [this](const httplib::Request&, httplib::Response& res) {
    sendJson(res, {{"faults", stateJson(sim_)["faults"]}});
  });
  s.Post("/api/faults",
         action([this](const httplib::Request& req) { return armFault(sim_, parseBody(req)); }));
  s.Post("/api/faults/clear",
         action([this](const httplib::Request&) { return clearFaults(sim_); }));
  s.Post(R"(/api/cards/([^/]+)/insert)", action([this](const httplib::Request& req) {
           return insertCard(sim_, httplib::detail::decode_url(req.matches[1], false));
         }));
  s.Post(R"(/api/cards/([^/]+))", action([this](const httplib::Request& req) {
           return editCard(sim_, httplib::detail::decode_url(req.matches[1], false),
                           parseBody(req));
         }));
  // Not state-changing, but a POST for the size of a log; decoded here with the same decoder
  // as `vexcard log`.
  s.Post("/api/log", [](const httplib::Request& req, httplib::Response& res) {
    sendJson(res, decodeLogJson(req.body));
  });

  s.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
    if (streams_.fetch_add(1) >= kMaxStreams) {
      streams_.fetch_sub(1);
      sendError(res, 503, "too many event streams are open");
      return;
    }
    std::uint64_t after = 0;
    const std::string last = req.has_header("Last-Event-ID") ? req.get_header_value("Last-Event-ID")
                                                             : req.get_param_value("after");
    std::from_chars(last.data(), last.data() + last.size(), after);
    auto cursor = std::make_shared<std::uint64_t>(after);
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, cursor](std::size_t, httplib::DataSink& sink) {
          const LineJournal::Batch batch =
              journal_.since(*cursor, timing::ms(timing::Delay::kPanelHeartbeat));
          if (journal_.closed()) return false;
          std::string out;
          if (batch.gap) out += "event: gap\ndata: {}\n\n";
          for (const LineJournal::Entry& e : batch.entries) {
            out += "id: " + std::to_string(e->seq) +
                   "\ndata: " + entryJson(*e).dump(-1, ' ', false, json::error_handler_t::replace) +
                   "\n\n";
            *cursor = e->seq;
          }
          if (out.empty()) out = ": still here\n\n";
          return sink.write(out.data(), out.size());
        },
        [this](bool) { streams_.fetch_sub(1); });
  });
}

}  // namespace vexcard::sim::panel
