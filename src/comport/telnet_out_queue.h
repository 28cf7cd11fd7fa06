// The bytes waiting to go out on a telnet connection.
//
// A queue of segments (escaped data, or one whole telnet command each) sent in order
// through a non-blocking socket. A segment is only ever cut at a telnet unit: a data
// segment taken back after part of it went out keeps the second half of an IAC pair whose
// first half has gone, so the peer's parser never sees a lone IAC.
//
// Not thread-safe: the owner's lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "platform/socket.h"

namespace vexcard::comport::telnet {

class OutQueue {
 public:
  // Queues data bytes, 0xFF doubled. Returns the segment's id (ids only grow).
  std::uint64_t pushData(const std::uint8_t* data, std::size_t count);
  // Queues a telnet command (or any bytes that must go out whole).
  std::uint64_t pushCommand(std::vector<std::uint8_t> bytes);

  // Sends as much as the socket takes now. False when the connection is broken.
  bool pump(platform::TcpSocket& socket);

  bool empty() const { return segments_.empty(); }
  // Bytes not yet sent (escaped).
  std::size_t pendingBytes() const;
  // True when segment id has gone out completely.
  bool sent(std::uint64_t id) const { return id <= lastSent_; }
  // The id of the last segment that went out completely (0 before the first).
  std::uint64_t lastSent() const { return lastSent_; }
  // Takes back what has not gone out of data segment id, which held count data bytes.
  // Returns the number of those data bytes that have gone out or still will (a half-sent
  // IAC pair is completed).
  std::size_t withdraw(std::uint64_t id, std::size_t count);

 private:
  struct Segment {
    std::uint64_t id;
    bool data;
    std::vector<std::uint8_t> bytes;
    std::size_t offset;  // bytes already sent
  };
  std::deque<Segment> segments_;
  std::uint64_t nextId_ = 1;
  std::uint64_t lastSent_ = 0;
};

}  // namespace vexcard::comport::telnet
