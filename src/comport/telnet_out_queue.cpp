#include "comport/telnet_out_queue.h"

#include "comport/telnet.h"

namespace vexcard::comport::telnet {

std::uint64_t OutQueue::pushData(const std::uint8_t* data, std::size_t count) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(count + count / 8);
  appendEscaped(bytes, data, count);
  segments_.push_back(Segment{nextId_, true, std::move(bytes), 0});
  return nextId_++;
}

std::uint64_t OutQueue::pushCommand(std::vector<std::uint8_t> bytes) {
  segments_.push_back(Segment{nextId_, false, std::move(bytes), 0});
  return nextId_++;
}

bool OutQueue::pump(platform::TcpSocket& socket) {
  while (!segments_.empty()) {
    Segment& s = segments_.front();
    const std::size_t left = s.bytes.size() - s.offset;
    const long n = socket.send(s.bytes.data() + s.offset, left);
    if (n < 0) return false;
    s.offset += static_cast<std::size_t>(n);
    if (s.offset < s.bytes.size()) return true;  // the socket is full
    lastSent_ = s.id;
    segments_.pop_front();
  }
  return true;
}

std::size_t OutQueue::pendingBytes() const {
  std::size_t total = 0;
  for (const Segment& s : segments_) total += s.bytes.size() - s.offset;
  return total;
}

std::size_t OutQueue::withdraw(std::uint64_t id, std::size_t count) {
  for (auto it = segments_.begin(); it != segments_.end(); ++it) {
    if (it->id != id) continue;
    if (it->offset == 0) {
      segments_.erase(it);
      return 0;
    }
    // Count the data bytes in the part that went out; a pair cut in two is kept whole.
    std::size_t i = 0, taken = 0;
    while (i < it->offset) {
      i += it->bytes[i] == kIac ? 2 : 1;
      ++taken;
    }
    it->bytes.resize(i);    // i is offset, or offset + 1 for a half-sent pair
    if (i == it->offset) {  // nothing left: it counts as sent (it is the front segment)
      lastSent_ = it->id;
      segments_.erase(it);
    }
    return taken;
  }
  return count;  // nothing of it is left: all of it went out
}

}  // namespace vexcard::comport::telnet
