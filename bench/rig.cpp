#include "rig.h"

#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <system_error>

#include "alloc_counter.h"
#include "library/host_table.h"
#include "logging/logger.h"
#include "terminal-sim/sim_config.h"
#include "vexcard/exception.h"

namespace vexcard::bench {

// The CPU clock of the thread that first waits on a tagged device: its event thread.
struct ThreadClock {
  std::atomic<bool> known{false};
  clockid_t id{};

  void takeCallingThread() {
    if (known.load(std::memory_order_acquire)) return;
    if (pthread_getcpuclockid(pthread_self(), &id) == 0)
      known.store(true, std::memory_order_release);
  }
};

namespace {

using comport::SerialDevice;

// The built-in cards with balances that last for thousands of sales.
constexpr const char* kBenchConfig = R"(
shift closed
card bonus 26430000000000012345
  status 00 01
  balance 90000000.00
  discount 5
  discount 92 3.5
  purse 1 1 150.00
  purse 92 19
  purse 95 21
card fuel 77010000000000067890
  status 00 00
  balance 90000000.00
  discount 2
  purse 1 1 40.00
  purse 92 19
  purse 95 21
)";

// Forwards every call to the real end; the calls only a worker thread makes name that
// thread's role first.
class TaggingDevice final : public SerialDevice {
 public:
  TaggingDevice(std::unique_ptr<SerialDevice> inner, ThreadRole role,
                std::shared_ptr<ThreadClock> clock)
      : inner_(std::move(inner)), role_(role), clock_(std::move(clock)) {}

  bool setupQueues(std::uint32_t in, std::uint32_t out) override {
    return inner_->setupQueues(in, out);
  }
  bool getSettings(comport::LineSettings& out) override { return inner_->getSettings(out); }
  bool setSettings(const comport::LineSettings& s) override { return inner_->setSettings(s); }
  bool setTimeouts(const comport::CommTimeouts& t) override { return inner_->setTimeouts(t); }
  std::uint32_t clearError(comport::CommStatusRecord& s) override { return inner_->clearError(s); }
  bool purge(std::uint32_t flags) override { return inner_->purge(flags); }
  bool setRts(bool on) override { return inner_->setRts(on); }
  bool setDtr(bool on) override { return inner_->setDtr(on); }
  bool getModemStatus(std::uint32_t& status) override {
    if (role_ == ThreadRole::kTerminal) setThreadRole(role_);  // the simulator's thread only
    return inner_->getModemStatus(status);
  }
  bool setEventMask(std::uint32_t mask) override { return inner_->setEventMask(mask); }
  comport::EventWaitResult waitEvent(std::uint32_t& mask) override {
    setThreadRole(role_);
    if (clock_) clock_->takeCallingThread();
    return inner_->waitEvent(mask);
  }
  std::uint32_t read(std::uint8_t* dst, std::uint32_t count) override {
    setThreadRole(role_);
    return inner_->read(dst, count);
  }
  bool write(const std::uint8_t* src, std::uint32_t count, std::uint32_t& written) override {
    if (role_ == ThreadRole::kTerminal) setThreadRole(role_);  // the driver's writer stays
    return inner_->write(src, count, written);
  }
  void cancelWrite() override { inner_->cancelWrite(); }

 private:
  std::unique_ptr<SerialDevice> inner_;
  const ThreadRole role_;
  const std::shared_ptr<ThreadClock> clock_;
};

std::unique_ptr<SerialDevice> tagged(std::unique_ptr<SerialDevice> end, ThreadRole role,
                                     std::shared_ptr<ThreadClock> clock = nullptr) {
  if (!end) return nullptr;
  return std::make_unique<TaggingDevice>(std::move(end), role, std::move(clock));
}

}  // namespace

ScratchFolder::ScratchFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string name =
      std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/vexcard-bench.XXXXXX";
  if (::mkdtemp(name.data()) == nullptr) throw Exception("bench: cannot create " + name);
  path_ = name;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

Rig::Rig(const RigOptions& options)
    : replyDelayMs_(options.replyDelayMs),
      line_(comport::NewVirtualSerialPair(comport::VirtualLineOptions{options.paced})),
      eventClock_(std::make_shared<ThreadClock>()) {
  std::filesystem::create_directories(folder_.path() / "log");
  env_.update([&](Env& e) {
    e.timing = options.policy;
    e.settingsFolder = (folder_.path() / "ZUR").string();
    e.logPath = (folder_.path() / "log" / "VexCard.log").string();
    // A journal below the log file cannot be opened: the driver goes on without it.
    e.journalPath = options.journal
                        ? std::string()
                        : (folder_.path() / "log" / "VexCard.log" / "VexCard.journal").string();
  });
  logging::testing::resetLogState();

  if (options.simulator) {
    sim::SimulatorConfig config = sim::parseSimulatorConfig(kBenchConfig);
    config.insertedCard = options.card;
    sim_ = std::make_unique<sim::TerminalSimulator>(tagged(line_->open(1), ThreadRole::kTerminal),
                                                    config);
    sim_->setReplyDelay(options.replyDelayMs);
    sim_->setHandshakeDelay(options.handshakeDelayMs);
    sim_->start();
  } else {
    terminalEnd_ = line_->open(1);
  }
  env_.update([&](Env& e) {
    e.devices[1] = [line = line_, clock = eventClock_] {
      return tagged(line->open(0), ThreadRole::kPortEvents, clock);
    };
  });
  if (options.createDriver) createHost();
}

Rig::~Rig() {
  destroyHost();
  if (sim_) sim_->stop();
  logging::testing::resetLogState();
}

driver::TSmartDriver& Rig::driver() const { return library::driverOf(host_); }

void Rig::createHost() { host_ = GeTDriver(1); }

void Rig::destroyHost() {
  if (host_ == nullptr) return;
  hostDestructor(host_)(host_);
  host_ = nullptr;
}

std::chrono::nanoseconds Rig::eventThreadCpu() const {
  timespec t{};
  if (!eventClock_->known.load(std::memory_order_acquire) ||
      clock_gettime(eventClock_->id, &t) != 0) {
    return {};
  }
  return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

void Rig::mark() { sim_->clearRecords(); }

Traffic Rig::traffic() const {
  Traffic t;
  for (const sim::RequestRecord& r : sim_->requests()) {
    t.characters += r.wire.size() + r.replyWire.size();
    t.replyCharacters += r.replyWire.size();
    t.replies += r.replyWire.empty() ? 0 : 1;
    ++t.requests;
  }
  return t;
}

}  // namespace vexcard::bench
