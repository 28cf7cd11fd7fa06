// The network serial port's client (the driver's side) against a server that sends
// anything: a listener of this program agrees to COM-PORT-OPTION, sends the input as the
// server's stream and closes. The device parses it into data, events, settings answers and
// modem and line states, and its calls either succeed or fail; nothing crashes, hangs or
// leaks, and the received data never exceeds the receive queue.
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "comport/device_rfc2217.h"
#include "comport/telnet.h"
#include "driver/env.h"
#include "fuzz_check.h"
#include "platform/socket.h"
#include "platform/timing.h"

namespace {

namespace tn = vexcard::comport::telnet;
using namespace vexcard;

// Sends everything, waiting for room; false when the connection broke.
bool sendAll(platform::TcpSocket& socket, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const long n = socket.send(data, size);
    if (n < 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
    if (size > 0) socket.wait(platform::kSocketWritable | platform::kSocketReadable, 1000);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool policy = [] {
    // Answers that never come end their waits quickly; the agreement itself is awaited
    // long, as it always comes.
    Env env;
    env.timing.set(timing::Delay::kNetworkReply, 2000)
        .set(timing::Delay::kNetworkRetryFirst, 60000);
    installEnv(env);
    return true;
  }();
  (void)policy;
  auto listener = platform::TcpListener::listen("127.0.0.1", 0);
  fuzzcheck::check(listener != nullptr);
  const std::string url = "rfc2217://127.0.0.1:" + std::to_string(listener->port());
  std::thread server([&] {
    auto client = listener->accept(5000);
    listener.reset();  // a reconnection is refused at once
    if (!client) return;
    const std::vector<std::uint8_t> agree = {tn::kIac, tn::kDo, tn::kOptComPort};
    if (sendAll(*client, agree.data(), agree.size())) sendAll(*client, data, size);
    client->shutdown();
  });
  auto device = comport::openRfc2217Device(url);
  if (device) {
    device->setupQueues(64, 64);
    device->setEventMask(0x01F9);
    comport::LineSettings s;
    s.baudRate = 19200;
    device->setSettings(s);  // ends with the answers or with the end of the stream
    std::uint8_t buf[128];
    fuzzcheck::check(device->read(buf, sizeof buf) <= 64);
    comport::CommStatusRecord status;
    device->clearError(status);
    std::uint32_t modem = 0;
    device->getModemStatus(modem);
    device->getSettings(s);
    device->setRts(true);
    device->purge(comport::kPurgeRxClear);
    device.reset();
  }
  server.join();
  return 0;
}
