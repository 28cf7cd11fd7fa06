// LogReplay: the terminal's answers taken from a driver's log, so that the simulated terminal
// behaves as the terminal in that log did (vexcard-terminal --replay).
//
// For the k-th text received it expects the k-th request of the log and answers as the
// log shows: the logged reply with the packet index of the request just received, "N", a
// spoiled reply as it was (a wrong checksum, or CR for ETX), silence, or a hang-up of the
// network client where the driver logged its connection lost; each after the logged delay
// unless fast. The hand-shakes the log shows unanswered are left unanswered.
// A request that differs from the logged one (apart from the fields logreader::isRunField
// names and the packet index) is a divergence: it is reported and still answered as the log
// shows, so that the rest of the session can be compared too. Requests beyond the log are
// divergences answered by the simulator itself, and so are the log's requests that never
// came when the session ends first.
//
// Thread-safe: the simulator calls it on its device thread, the program asks from its own.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

#include "logreader/replay_script.h"
#include "terminal-sim/terminal_simulator.h"

namespace vexcard::sim {

class LogReplay : public AnswerSource {
 public:
  // report receives each divergence as UTF-8 lines; it is called on the device thread.
  LogReplay(logreader::ReplayScript script, bool fast,
            std::function<void(const std::string&)> report);

  bool answerHandshake() override;
  std::optional<ScriptedAnswer> answer(const RequestRecord& rec) override;

  // Every request of the log has been received (and its answer chosen).
  bool finished() const;
  // Reports the log's requests not received (when the session ended first) as a divergence.
  void reportMissing();
  std::size_t divergences() const;
  std::size_t requests() const;  // of the log

 private:
  const logreader::ReplayScript script_;
  const bool fast_;
  const std::function<void(const std::string&)> report_;
  mutable std::mutex mutex_;
  std::size_t nextRequest_ = 0;    // guarded by mutex_
  std::size_t nextHandshake_ = 0;  // guarded by mutex_
  std::size_t divergences_ = 0;    // guarded by mutex_
};

}  // namespace vexcard::sim
