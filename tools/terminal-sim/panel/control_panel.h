// ControlPanel: the simulator's control panel, served over HTTP (cpp-httplib) to a browser.
//
// The page (www/, embedded in the program) draws the line live from server-sent events, shows
// the terminal's state and changes it through a small JSON API (docs/terminal-sim.md).
//
// The line is never held up by the page: the simulator's device thread only adds entries to
// the LineJournal (a short lock, a copy); the HTTP threads decode them, build JSON and write
// to the sockets. Actions reach the simulator through its thread-safe members, so they take
// effect for the next request.
//
// Thread-safety: start() and stop() from one thread (the program's); the HTTP threads are the
// server's own pool.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "terminal-sim/panel/line_journal.h"
#include "terminal-sim/terminal_simulator.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace vexcard::sim::panel {

class ControlPanel {
 public:
  // Installs the journal's observer on sim, which must outlive the panel.
  explicit ControlPanel(TerminalSimulator& sim);
  ~ControlPanel();  // stops
  ControlPanel(const ControlPanel&) = delete;
  ControlPanel& operator=(const ControlPanel&) = delete;

  // Listens on host:port (port 0: any free port) and serves on the server's threads. False
  // when the address cannot be bound; error() then says why. The port is not shared: a second
  // panel on a port in use fails (SO_REUSEADDR only, never SO_REUSEPORT).
  bool start(const std::string& host, std::uint16_t port);
  // Why the last start() failed: "port 8080 is in use by another program ...".
  const std::string& error() const { return error_; }
  std::uint16_t port() const { return port_; }
  std::string url() const;  // "http://127.0.0.1:8080/"
  // Ends the event streams, closes the server and joins its threads. A stopped panel is not
  // started again.
  void stop();

  LineJournal& journal() { return journal_; }

 private:
  void routes(const std::string& host);
  // Answers a request that no route took: 404 for an unknown path, 405 (with Allow) for a
  // known path asked with another method.
  void unrouted(const httplib::Request& req, httplib::Response& res) const;

  struct Route {
    std::string method;
    std::string pattern;  // as given to the server: a regular expression over the path
  };

  TerminalSimulator& sim_;
  LineJournal journal_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::string host_;
  std::string error_;
  std::vector<Route> routes_;  // filled before the server starts, read-only after
  std::uint16_t port_ = 0;
  std::atomic<int> streams_{0};  // open event streams
  std::atomic<bool> listenEnded_{false};
};

}  // namespace vexcard::sim::panel
