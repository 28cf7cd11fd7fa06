// TerminalSimulator: the payment terminal's side of the serial line, as a peer for the driver.
//
// It runs one thread on its SerialDevice end, woken by the device's events (no polling):
// - Hand-shake: when its CTS rises (the driver raised RTS) it drops its own RTS, which the
//   driver sees as CTS low; when CTS falls it raises RTS again. RTS starts raised. After a
//   good reply, a CTS event that finds CTS high as before counts as a drop and a rise
//   (the driver was quicker than us; see serviceLine).
// - Requests: bytes are collected up to each ETX and checked as a frame (sim_wire.h). A
//   malformed text is recorded and ignored. A valid request is carried out by the
//   TerminalModel and answered, after replyDelayMs, with a reply frame.
// - A request identical to the previous valid one (same bytes, so same packet index: the
//   driver's retry after a lost reply) is not carried out again; the reply it got is resent.
// - Faults (sim_faults.h) spoil the hand-shake or the answer on demand.
// - Everything is recorded for tests: requests with their answers, counters, line events.
//
// Thread-safety: every public member may be called from any thread. mutex_ guards the model,
// the fault rules, the records, the counters, the delays, the observer, the answer source and
// stopping_; changed_
// (with mutex_) signals every change of the counters and the stop request. lifecycle_ serialises
// start() and stop() and guards thread_. The device thread alone touches pending_, lastCts_,
// rtsUp_, replyWritten_, lastExecuted_, held_ and heldWritten_ (start() sets them before the
// thread exists). The lock is never held while calling the device, so a blocked write cannot
// stall an observer.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "comport/serial_device.h"
#include "terminal-sim/sim_config.h"
#include "terminal-sim/sim_faults.h"
#include "terminal-sim/sim_wire.h"
#include "terminal-sim/terminal_model.h"

namespace vexcard::sim {

// One text received up to an ETX (or a run of kMaxRequestText bytes without one).
struct RequestRecord {
  Bytes wire;                            // the bytes as received, ETX included
  FrameError error = FrameError::kNone;  // kNone: a valid request
  std::uint8_t packetIndex = 0;          // valid requests only
  Bytes command;                         // the command code and its parameters
  bool handshaken = false;               // our CTS (the driver's RTS) was up at the ETX
  std::optional<FaultKind> fault;        // the fault injected into the answer
  bool replayed = false;                 // answered with the previous request's reply
  Bytes replyBody;                       // the reply body; empty for "N" and silence
  Bytes replyWire;                       // the bytes written; empty for silence

  bool valid() const { return error == FrameError::kNone; }
  std::uint8_t commandCode() const { return command.empty() ? 0 : command[0]; }
  std::uint8_t replyCode() const { return replyBody.size() > 2 ? replyBody[2] : 0; }
};

enum class LineEvent : std::uint8_t {
  kCtsRose,           // the driver raised RTS
  kCtsFell,           // the driver dropped RTS
  kRtsDropped,        // we answered the hand-shake
  kRtsRaised,         // we are ready for the next hand-shake
  kHandshakeIgnored,  // a kNoCtsAnswer fault kept RTS raised
};

// Callbacks that see the line as the simulator handles it, for a live display. Each is called
// on the device thread with the simulator's lock held: it must be quick and must not call
// the simulator. Any of them may be empty.
struct SimulatorObserver {
  std::function<void(const RequestRecord&)> request;  // a text recorded, before its answer
  std::function<void(const Bytes& wire, bool written)> answer;  // an answer went out (or failed)
  std::function<void(LineEvent)> line;
};

// An answer chosen outside the simulator: the bytes to write (none: silence), after delayMs.
struct ScriptedAnswer {
  Bytes wire;
  bool good = false;  // a sound reply frame: the driver drops RTS at its ETX
  std::uint32_t delayMs = 0;
  bool hangUp = false;  // the network client is dropped (setHangUpHandler)
};

// Answers from outside in place of the terminal's own, e.g. a driver's log replayed. Called on
// the device thread with the simulator's lock held: it must be quick and must not call the
// simulator. Set, it decides every hand-shake; the fault rules then apply to requests only.
class AnswerSource {
 public:
  virtual ~AnswerSource() = default;
  // Whether to answer the hand-shake that begins now (the driver raised its RTS).
  virtual bool answerHandshake() = 0;
  // The answer to a text received up to its ETX, as recorded (valid or malformed); empty:
  // the terminal answers it itself (a malformed text: not at all).
  virtual std::optional<ScriptedAnswer> answer(const RequestRecord& rec) = 0;
};

struct SimulatorCounters {
  std::size_t frames = 0;             // records made: valid and malformed texts
  std::size_t requests = 0;           // valid requests
  std::size_t malformed = 0;          // ignored texts
  std::size_t handled = 0;            // texts whose handling has ended (answer written or none due)
  std::size_t replies = 0;            // reply frames written (spoiled ones included)
  std::size_t refusals = 0;           // "N" written
  std::size_t silenced = 0;           // requests left unanswered on purpose
  std::size_t replayed = 0;           // retries answered with the stored reply
  std::size_t faults = 0;             // faults injected (hand-shake faults included)
  std::size_t handshakes = 0;         // hand-shakes answered
  std::size_t handshakesIgnored = 0;  // hand-shakes left unanswered by a fault
  std::size_t lineEvents = 0;         // entries of lineEvents() ever made
  std::size_t writeFailures = 0;      // device writes that failed or were cut short
  std::size_t deviceFailures = 0;     // failed event waits (the device thread then ends)
  std::size_t lateWaiting = 0;        // 1 while a late reply waits for releaseLateReply()
  std::size_t lateHeld = 0;           // 1 while a late reply is held for the next hand-shake
                                      // or the next answer (LateRelease)
};

class TerminalSimulator {
 public:
  // Older entries are dropped beyond these many, so a long run does not grow without end.
  static constexpr std::size_t kMaxRecords = 100000;

  // Throws vexcard::Exception when the configuration names an unknown card.
  explicit TerminalSimulator(std::unique_ptr<comport::SerialDevice> device,
                             const SimulatorConfig& config = {});
  ~TerminalSimulator();  // stops
  TerminalSimulator(const TerminalSimulator&) = delete;
  TerminalSimulator& operator=(const TerminalSimulator&) = delete;

  // Raises RTS and DTR and starts the device thread. Does nothing when running. Throws
  // vexcard::Exception when the device refuses the lines or the event mask.
  void start();
  // Ends the device thread (via setEventMask(0) and cancelWrite()) and joins it. An answer
  // being written is cut short. Does nothing when not running. Records are kept.
  void stop();
  bool running() const;

  // The terminal's state.
  void addCard(const SimCard& card);
  bool insertCard(const std::string& name);
  void removeCard();
  std::optional<SimCard> card(const std::string& name) const;
  std::optional<std::string> insertedCard() const;
  // The names of the cards, in the order they were added.
  std::vector<std::string> cardNames() const;
  // Changes the named card's balance, discounts, status bytes or blocking through edit; its
  // name and number stay as they were. False when there is no such card.
  bool editCard(const std::string& name, const std::function<void(SimCard&)>& edit);
  void setShift(bool open, std::uint8_t number);
  void setShiftOutOfStep();
  void setShiftCheck(bool on);
  ShiftState shift() const;
  std::vector<SaleRecord> sales() const;
  // At most `count` records from position `from` on (a long run looks at a few only), and
  // how many there are.
  std::vector<SaleRecord> sales(std::size_t from, std::size_t count = SIZE_MAX) const;
  std::size_t saleCount() const;
  void setReplyDelay(std::uint32_t ms);
  // Whether replies begin with the request's packet index and command code (the default);
  // without, bytes 0 and 1 of every reply body are 0, as a terminal that does not echo.
  void setEcho(bool echo);
  void setTrickleDelay(std::uint32_t ms);
  // The terminal's time to answer a hand-shake: the pause between the driver's RTS rising
  // and the terminal taking CTS low (0 by default: at once).
  void setHandshakeDelay(std::uint32_t ms);

  // Faults. injectFault throws vexcard::Exception for a count of 0 or below kAlways, and for
  // a kNoCtsAnswer rule limited to a command.
  void injectFault(const FaultRule& rule);
  void clearFaults();
  // Writes the reply that a kLateReply rule with lateMs 0 holds back. A reply held for the
  // next hand-shake or answer (LateRelease) waits for that.
  void releaseLateReply();
  std::size_t pendingFaults() const;
  std::vector<FaultRule> faults() const;  // the rules still pending, in order

  // Observation.
  std::vector<RequestRecord> requests() const;
  std::vector<LineEvent> lineEvents() const;
  SimulatorCounters counters() const;
  // Waits until the counters satisfy pred, for at most timeoutMs; true when they do.
  bool waitFor(const std::function<bool(const SimulatorCounters&)>& pred,
               std::uint32_t timeoutMs) const;
  bool waitForRequests(std::size_t n, std::uint32_t timeoutMs) const;  // frames >= n
  bool waitForHandled(std::size_t n, std::uint32_t timeoutMs) const;   // handled >= n
  void clearRecords();  // drops requests() and lineEvents(); counters stay
  // Replaces the observer; may be called at any time.
  void setObserver(SimulatorObserver observer);
  // Called on the device thread, without the lock, when a request is answered by hanging up
  // (FaultKind::kHangUp, ScriptedAnswer::hangUp): the program serving the line on the
  // network drops its client there. Empty: the hang-up is mere silence.
  void setHangUpHandler(std::function<void()> handler);
  // Replaces the answer source (nullptr: none); may be called at any time.
  void setAnswerSource(std::shared_ptr<AnswerSource> source);

 private:
  struct Answer {
    Bytes wire;
    bool trickle = false;
    bool good = false;    // a sound reply frame: the driver drops RTS at its ETX
    bool hangUp = false;  // drop the network client instead of answering
    std::uint32_t delayMs = 0;
    std::uint32_t trickleMs = 0;
    bool late = false;  // a kLateReply answer: delayMs 0 waits for releaseLateReply()
    LateRelease release = LateRelease::kTimed;
  };

  void run();
  void serviceLine(bool ctsEvent);
  void onCtsRose();
  void onCtsFell();
  void serviceInput();
  void handleText(const Bytes& text);
  // Picks the answer of a valid request and records it; caller holds mutex_.
  Answer answerLocked(RequestRecord& rec, const Bytes& text);
  bool writeAnswer(const Answer& answer);
  // Writes the reply a LateRelease rule holds, if any (device thread).
  void writeHeld();
  bool writeBytes(const std::uint8_t* p, std::uint32_t n);
  // Sleeps for ms unless stop() is called meanwhile; false when stopping.
  bool pause(std::uint32_t ms);
  std::optional<FaultRule> takeFaultLocked(bool handshake, std::uint8_t command);
  void lineEventLocked(LineEvent e);
  void recordLocked(RequestRecord rec);

  std::unique_ptr<comport::SerialDevice> device_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  TerminalModel model_;
  std::deque<FaultRule> faults_;
  SimulatorObserver observer_;
  std::shared_ptr<AnswerSource> source_;
  std::function<void()> hangUpHandler_;
  std::deque<RequestRecord> records_;
  std::deque<LineEvent> lineEvents_;
  SimulatorCounters counters_;
  std::uint32_t replyDelayMs_;
  bool echo_ = true;
  std::uint32_t trickleDelayMs_;
  std::uint32_t handshakeDelayMs_ = 0;
  bool stopping_ = false;
  bool lateReleased_ = false;  // guarded by mutex_

  mutable std::mutex lifecycle_;
  std::thread thread_;

  // Device thread only.
  Bytes pending_;
  bool lastCts_ = false;
  bool rtsUp_ = true;
  bool replyWritten_ = false;  // a good reply went out since the last answered hand-shake
  struct Executed {
    Bytes text;
    Bytes reply;
  };
  std::optional<Executed> lastExecuted_;
  struct Held {
    Bytes text;  // the request it answers
    Bytes wire;
    bool good = false;
    LateRelease release = LateRelease::kNextReply;
  };
  std::optional<Held> held_;
  bool heldWritten_ = false;  // a held reply went out; the next valid request gets no answer
};

}  // namespace vexcard::sim
