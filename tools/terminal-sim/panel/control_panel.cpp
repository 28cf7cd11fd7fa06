#include "terminal-sim/panel/control_panel.h"

#include <httplib.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <regex>
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

// Only SO_REUSEADDR, so that a restarted panel may take its port back at once while the old
// connections linger, but a second panel cannot listen beside a running one. (The library's
// default adds SO_REUSEPORT on Linux, with which both would listen and share the requests.)
void exclusiveSocket(int sock) {
  const int yes = 1;
  ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

// Why host:port cannot be bound, found by binding it as the server does. The library says
// only that it failed.
std::string bindProblem(const std::string& host, std::uint16_t port) {
  const std::string where = std::string("port ") + std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.empty() ? nullptr : host.c_str(), std::to_string(port).c_str(), &hints,
                    &found) != 0 ||
      found == nullptr) {
    return "'" + host + "' is no address of this machine (the host name is unknown)";
  }
  int err = 0;
  const int sock = ::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
  if (sock < 0) {
    err = errno;
  } else {
    exclusiveSocket(sock);
    if (::bind(sock, found->ai_addr, found->ai_addrlen) != 0 || ::listen(sock, 1) != 0) {
      err = errno;
    }
    ::close(sock);
  }
  ::freeaddrinfo(found);
  switch (err) {
    case EADDRINUSE:
      return where +
             " is in use by another program (another vexcard-terminal --panel?); choose "
             "another port, or 0 for any free one";
    case EACCES:
      return where + ": permission denied (ports below 1024 need root rights)";
    case EADDRNOTAVAIL:
      return "'" + host + "' is no address of this machine";
    case 0:
      return where + " could not be bound";
    default:
      return where + ": " + std::strerror(err);
  }
}

// The text of an error the server found before any route ran (the status only).
std::string statusText(int status) {
  switch (status) {
    case 400:
      return "bad request: the request line or the headers are malformed, or the method is "
             "unknown";
    case 413:
      return "the body is too large (at most 32 MB)";
    case 414:
      return "the address is too long";
    case 500:
      return "internal error";
    default:
      return std::string("the request failed (HTTP ") + std::to_string(status) + ")";
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
  error_.clear();
  server_ = std::make_unique<httplib::Server>();
  server_->set_socket_options(exclusiveSocket);
  server_->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  server_->set_payload_max_length(kMaxLogBytes);
  const int bound =
      port == 0 ? server_->bind_to_any_port(host) : (server_->bind_to_port(host, port) ? port : -1);
  if (bound <= 0) {
    server_.reset();
    error_ = bindProblem(host, port);
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
  routes_.clear();
  // Every route is registered through these, so that unrouted() knows the paths and methods.
  const auto get = [&](const std::string& pattern, httplib::Server::Handler h) {
    routes_.push_back({"GET", pattern});
    s.Get(pattern, std::move(h));
  };
  const auto post = [&](const std::string& pattern, httplib::Server::Handler h) {
    routes_.push_back({"POST", pattern});
    s.Post(pattern, std::move(h));
  };
  const auto check = std::make_shared<OriginCheck>(host, port_);
  // Every request must name this panel as its Host; state-changing ones must come from its
  // own page (or from a program that sends no Origin).
  s.set_pre_routing_handler([check](const httplib::Request& req, httplib::Response& res) {
    const std::string h = req.get_header_value("Host");
    std::optional<std::string> origin;
    if (req.has_header("Origin")) origin = req.get_header_value("Origin");
    const bool ok = req.method == "POST" ? check->postAllowed(h, origin) : check->hostAllowed(h);
    if (!ok) {
      sendError(res, 403, "refused: the request does not come from this panel's page");
      return httplib::Server::HandlerResponse::Handled;
    }
    // Without a length the server would read the body until the client closes: say so at once.
    const bool bodyExpected = req.method == "POST" || req.method == "PUT" || req.method == "PATCH";
    if (bodyExpected && !req.has_header("Content-Length") && !req.has_header("Transfer-Encoding")) {
      sendError(res, 411, "a body (even an empty one) needs its Content-Length");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  for (const Asset& a : assets()) {
    const std::string path = a.path == "/index.html" ? "/" : std::string(a.path);
    get(path, [a](const httplib::Request&, httplib::Response& res) {
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

  get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
    json j = stateJson(sim_);
    j["lastSeq"] = journal_.lastSeq();
    sendJson(res, j);
  });
  get("/api/faults", [this](const httplib::Request&, httplib::Response& res) {
    sendJson(res, {{"faults", stateJson(sim_)["faults"]}});
  });
  post("/api/faults",
       action([this](const httplib::Request& req) { return armFault(sim_, parseBody(req)); }));
  // Actions without parameters take an empty body or any JSON; a body that is not JSON is
  // refused like everywhere else.
  post("/api/faults/clear", action([this](const httplib::Request& req) {
         parseBody(req);
         return clearFaults(sim_);
       }));
  post(R"(/api/cards/([^/]+)/insert)", action([this](const httplib::Request& req) {
         parseBody(req);
         return insertCard(sim_, httplib::detail::decode_url(req.matches[1], false));
       }));
  post(R"(/api/cards/([^/]+))", action([this](const httplib::Request& req) {
         return editCard(sim_, httplib::detail::decode_url(req.matches[1], false), parseBody(req));
       }));
  // Not state-changing, but a POST for the size of a log; decoded here with the same decoder
  // as `vexcard log`.
  post("/api/log", [](const httplib::Request& req, httplib::Response& res) {
    sendJson(res, decodeLogJson(req.body));
  });

  get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
    if (streams_.fetch_add(1) >= kMaxStreams) {
      streams_.fetch_sub(1);
      sendError(res, 503, "too many event streams are open");
      return;
    }
    std::uint64_t after = 0;
    const std::string last = req.has_header("Last-Event-ID") ? req.get_header_value("Last-Event-ID")
                                                             : req.get_param_value("after");
    const auto parsed = std::from_chars(last.data(), last.data() + last.size(), after);
    if (!last.empty() && (parsed.ec != std::errc() || parsed.ptr != last.data() + last.size())) {
      streams_.fetch_sub(1);
      sendError(res, 400, "after: '" + last + "' is not a sequence number");
      return;
    }
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

  // Whatever no route took: 404 or 405, in the same JSON form.
  const auto other = [this](const httplib::Request& req, httplib::Response& res) {
    unrouted(req, res);
  };
  s.Get(".*", other);
  s.Post(".*", other);
  s.Put(".*", other);
  s.Delete(".*", other);
  s.Patch(".*", other);
  s.Options(".*", other);
  // Errors the server answers itself (a malformed request, a body too large) get the form too;
  // answers that carry a body already are left alone.
  s.set_error_handler(
      httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        sendError(res, res.status, statusText(res.status));
        return httplib::Server::HandlerResponse::Handled;
      }));
  s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    sendError(res, 500, statusText(500));
  });
}

void ControlPanel::unrouted(const httplib::Request& req, httplib::Response& res) const {
  std::string allowed;
  for (const Route& r : routes_) {
    if (allowed.find(r.method) == std::string::npos &&
        std::regex_match(req.path, std::regex(r.pattern))) {
      if (!allowed.empty()) allowed.append(" or ");
      allowed.append(r.method);
    }
  }
  if (allowed.empty()) {
    sendError(res, 404, "no such path: " + req.path);
    return;
  }
  std::string header = allowed;
  for (std::size_t at = header.find(" or "); at != std::string::npos; at = header.find(" or "))
    header.replace(at, 4, ", ");
  res.set_header("Allow", header);
  sendError(res, 405, req.path + " takes " + allowed + ", not " + req.method);
}

}  // namespace vexcard::sim::panel
