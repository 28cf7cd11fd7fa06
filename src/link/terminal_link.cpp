// TTerminalLink: construction and shut-down, the packet counter, and the two hooks the
// port's event thread calls (the reply receiver's DataReceived and the CTS watch).
#include "link/terminal_link.h"

#include <exception>
#include <limits>

#include "link/keep_alive.h"
#include "link/link_state.h"
#include "logging/logger.h"
#include "platform/codepage.h"

namespace vexcard::link {

using namespace vexcard::literals;

std::uint8_t normaliseShift(std::int64_t v) {
  // C++ division truncates, so the remainder takes the sign of v - 1 as required.
  return static_cast<std::uint8_t>((v - 1) % 6 + 1);
}

// Construction. The events, the exchange lock and the idle receiver (RxState 3, LinkState
// 0) are members, built before this body. The port is opened first thing in the body
// rather than by the TComPort constructor, so that its event thread, which may call
// DataReceived and ModemStatusChanged at once, only ever meets a driver whose members
// exist. A port number of 0 opens nothing, as the port itself would. When a step below
// fails, the port is closed before the members are released, and nothing of keep-alive
// polling has been started yet.
TTerminalLink::TTerminalLink(std::uint8_t port)
    : comport::TComPort(port, comport::TComPort::DeferOpen{}) {
  try {
    // The log path is set before the port opens, so that what the opening reports (a
    // device without modem lines, why it could not be opened) reaches the log.
    logging::InitLog(".LOG");
    logging::SetLogPath(logging::DefaultLogPath());
    if (port != 0) Open();
    SetBaudRate(9600);
    SetParity(0);
    SetDataBits(8);
    SetStopBits(1);
    OnModemStatus = [this](std::uint32_t mask) { ModemStatusChanged(mask); };
    // Raises "Port COM0 not open" for port 0, which opens nothing.
    PurgeInput();
    // A store that cannot be opened reads nothing (defaults apply) and refuses writes.
    Registry = platform::SettingsStore::open();
    MoneyJournal = std::make_unique<Journal>(journalPath());
    if (const std::string folder = metricsFolder(); !folder.empty()) {
      MetricsFile =
          std::make_unique<MetricsWriter>(PortNumber, Metrics, folder, MoneyJournal->path());
    }
    PacketCounter = Registry->readInt(kPacketCounterValue).value_or(1);
    // The stored counter is the index of the last request the previous driver on this
    // machine may have sent (it is stored before a frame goes out). If the terminal is
    // still answering it, that reply must not pass for one of ours.
    UnansweredRequests[0] = Unanswered{
        RequestId{.packet = static_cast<std::uint8_t>(PacketCounter), .anyCommand = true}, 0};
    UnansweredCount = 1;
    ShiftNo.store(normaliseShift(Registry->readInt(kShiftNumberValue).value_or(1)));
    KeepAlive::attach(
        this, [this](std::chrono::steady_clock::time_point since) { return keepAlivePoll(since); });
    KeepAliveAttached = true;
  } catch (...) {
    // The event thread must not run this object's hooks while its members are released.
    Close();
    Registry.reset();
    MoneyJournal.reset();
    MetricsFile.reset();
    throw;
  }
}

// Shut-down. Keep-alive polling of this link ends first (a poll in progress is allowed to
// finish). The port's event and writer threads are stopped and the device closed next,
// before the events and the lock are released: DataReceived and ModemStatusChanged run on
// the event thread and use ReplyEvent, CtsEvent and the receiver, so they must have
// stopped for good by then. The TComPort destructor then finds the port closed.
void TTerminalLink::shutDown() noexcept {
  if (KeepAliveAttached) KeepAlive::detach(this);
  KeepAliveAttached = false;
  Registry.reset();
  MoneyJournal.reset();
  MetricsFile.reset();  // the last write, with the journal closed
  Close();
}

TTerminalLink::~TTerminalLink() { shutDown(); }

std::uint8_t TTerminalLink::NextPacketIndex() {
  const std::uint8_t index = advancePacketIndex();
  persistPending();
  return index;
}

std::uint8_t TTerminalLink::advancePacketIndex() {
  // The stored counter is used unchanged, so it may be anything; the largest value would
  // overflow by the increment and is treated as one past the end.
  const std::int32_t next = PacketCounter == std::numeric_limits<std::int32_t>::max()
                                ? kMaxPacketCounter + 1
                                : PacketCounter + 1;
  PacketCounter = next > kMaxPacketCounter ? 1 : next;
  PacketCounterPending = true;
  return static_cast<std::uint8_t>(PacketCounter);
}

void TTerminalLink::persistPending() {
  // The journal's request line first: it is what must survive a power cut.
  if (MoneyJournal) MoneyJournal->syncPending();
  if (!PacketCounterPending) return;
  PacketCounterPending = false;  // a failed store is not tried again by the next attempt
  Registry->writeInt(kPacketCounterValue, PacketCounter);
}

void TTerminalLink::StorePacketCounter(std::int32_t value) {
  if (value > kMaxPacketCounter) value = 1;
  PacketCounter = value;  // memory first: a store error leaves the counter advanced
  Registry->writeInt(kPacketCounterValue, value);
}

void TTerminalLink::ModemStatusChanged(std::uint32_t eventMask) {
  if ((eventMask & comport::kEvCts) == 0) return;
  // The event thread runs only while the port is open, so the device is there. A status
  // that cannot be read is no sign that the terminal answered: nothing is signalled, and
  // the failure is logged.
  std::uint32_t status = 0;
  if (!Device->getModemStatus(status)) {
    logging::WriteLog(1, "CTS: не удалось прочитать состояние линий модема"_w1251);
    return;
  }
  if ((status & comport::kMsCtsOn) != 0) {
    logging::WriteLog(1, "CTS_ON");
  } else {
    CtsEvent.set();
    logging::WriteLog(1, "CTS_OFF");
  }
}

void TTerminalLink::DataReceived(std::uint16_t count) {
  try {
    for (std::uint16_t k = 0; k < count; ++k) {
      const std::uint8_t b = ReadByte();
      bool replyComplete;
      {
        std::lock_guard<std::mutex> guard(RxLock);
        replyComplete = Receiver.ReceiveByte(b);
      }
      // The lines drop before the exchange is woken: it may raise them again at once for
      // its next request.
      if (replyComplete) SetLines(false);  // RTS and DTR drop, "RTS_OFF" is logged
      // Set after every byte that leaves the state other than "in progress". The state is
      // read again under the lock, so a ResetReceiver that came in between (and cleared
      // the event) is not undone by a verdict it has already discarded.
      std::lock_guard<std::mutex> guard(RxLock);
      if (Receiver.LinkState.load() != kLinkInProgress) ReplyEvent.set();
    }
  } catch (const std::exception&) {
    // The ring held fewer bytes than reported (the port is closing): nothing more to
    // parse in this batch, and the event thread must not be unwound by it.
  }
}

}  // namespace vexcard::link
