// An RFC 2217 server for the terminal simulator: it puts one end of a serial line on the
// network, as a serial device server would, so that a driver configured with
// rfc2217://HOST:PORT reaches the simulated terminal over TCP.
//
// One client is served at a time; when it leaves, the next is accepted. The client's
// SET-CONTROL RTS/DTR drive the device's lines, its settings commands change the device's
// settings (the answer carries what the device then holds), data flows both ways with IAC
// doubling, and the device's modem-status changes and line errors become NOTIFY-MODEMSTATE
// and NOTIFY-LINESTATE, filtered by the client's masks. Data from the device while no
// client is connected is dropped, and so is data beyond 64 KiB waiting for a client that
// does not read.
//
// Thread-safe: start() and stop() may be called from any thread (not concurrently with each
// other). Two threads of its own: the network thread (accepts, reads the client, writes to
// the device) and the device thread (waits for device events, reads the device). mu_
// guards the client's socket pointer, its output queue and the session state both threads
// share.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>

#include "comport/serial_device.h"
#include "comport/telnet.h"
#include "comport/telnet_out_queue.h"
#include "platform/socket.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace vexcard::sim {

class Rfc2217Server {
 public:
  // device: the end of the line the clients reach; it must outlive the server, and nothing
  // else may wait for its events or read it while the server runs.
  explicit Rfc2217Server(comport::SerialDevice& device);
  ~Rfc2217Server();  // stops
  Rfc2217Server(const Rfc2217Server&) = delete;
  Rfc2217Server& operator=(const Rfc2217Server&) = delete;

  // Listens on host:port (port 0 picks a free port; use a loopback address) and starts
  // serving. False when the address cannot be used or the server already runs.
  bool start(std::string_view host = "127.0.0.1", std::uint16_t port = 0);
  // The port listened on (0 when not started).
  std::uint16_t port() const;
  // Whether a client is connected now.
  bool clientConnected();
  // Drops the client connected now, if any, as a network that failed would; the next
  // client is accepted as usual. Any thread.
  void dropClient();
  // Closes the connection and the listener and joins both threads. Idempotent.
  void stop();

 private:
  class Session;

  void netLoop();
  void deviceLoop();
  void serve(std::unique_ptr<platform::TcpSocket> client);
  // With mu_ held:
  void queueLocked(std::vector<std::uint8_t> bytes);
  void pumpLocked();
  void notifyModemLocked(std::uint8_t deltas, bool force);

  comport::SerialDevice& device_;
  std::unique_ptr<platform::TcpListener> listener_;
  platform::Thread netThread_, deviceThread_;
  platform::Event netDone_{platform::EventReset::kManual};
  platform::Event deviceDone_{platform::EventReset::kManual};
  std::atomic<bool> stop_{false};
  std::atomic<bool> deviceGone_{false};
  bool running_ = false;

  std::mutex mu_;
  platform::TcpSocket* client_ = nullptr;  // owned by the network thread
  comport::telnet::OutQueue out_;
  bool comPortOn_ = false;  // the client agreed to COM-PORT-OPTION
  std::uint8_t modemMask_ = 0xFF;
  std::uint8_t lineMask_ = 0;
  std::uint8_t lastModem_ = 0;  // the device's modem state when last looked at
  std::uint8_t rtsControl_ = comport::telnet::kControlRtsOff;
  std::uint8_t dtrControl_ = comport::telnet::kControlDtrOff;
};

}  // namespace vexcard::sim
