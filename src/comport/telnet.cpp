#include "comport/telnet.h"

namespace vexcard::comport::telnet {

void appendEscaped(std::vector<std::uint8_t>& out, const std::uint8_t* data, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k) {
    out.push_back(data[k]);
    if (data[k] == kIac) out.push_back(kIac);
  }
}

std::vector<std::uint8_t> comPortCommand(std::uint8_t command, const std::uint8_t* value,
                                         std::size_t count) {
  std::vector<std::uint8_t> out = {kIac, kSb, kOptComPort, command};
  appendEscaped(out, value, count);
  out.push_back(kIac);
  out.push_back(kSe);
  return out;
}

std::vector<std::uint8_t> comPortCommand(std::uint8_t command,
                                         std::initializer_list<std::uint8_t> value) {
  return comPortCommand(command, value.begin(), value.size());
}

std::vector<std::uint8_t> comPortCommand32(std::uint8_t command, std::uint32_t value) {
  return comPortCommand(
      command, {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}

void Parser::reset() {
  state_ = State::kData;
  subLength_ = 0;
  subOverflow_ = false;
}

// The byte after an IAC outside a subnegotiation (IAC IAC is data and handled by feed).
void Parser::command(std::uint8_t b) {
  if (b == kSb) {
    state_ = State::kSub;
    subLength_ = 0;
    subOverflow_ = false;
  } else if (b >= kWill && b <= kDont) {
    verb_ = b;
    state_ = State::kNegotiate;
  } else {
    state_ = State::kData;  // NOP, GA, a stray SE and the like carry nothing for us
  }
}

void Parser::feed(const std::uint8_t* data, std::size_t count, Sink& sink) {
  std::size_t k = 0;
  while (k < count) {
    const std::uint8_t b = data[k];
    switch (state_) {
      case State::kData: {
        std::size_t end = k;
        while (end < count && data[end] != kIac) ++end;
        if (end > k) sink.onData(data + k, end - k);
        if (end < count) state_ = State::kIac;
        k = end + 1;
        continue;
      }
      case State::kIac:
        if (b == kIac) {
          state_ = State::kData;
          sink.onData(&b, 1);
        } else {
          command(b);
        }
        break;
      case State::kNegotiate:
        state_ = State::kData;
        sink.onNegotiation(verb_, b);
        break;
      case State::kSub:
        if (b == kIac) {
          state_ = State::kSubIac;
        } else if (subLength_ < sub_.size()) {
          sub_[subLength_++] = b;
        } else {
          subOverflow_ = true;
        }
        break;
      case State::kSubIac:
        if (b == kSe) {
          state_ = State::kData;
          if (!subOverflow_ && subLength_ > 0) sink.onSubnegotiation(sub_.data(), subLength_);
        } else if (b == kIac) {
          state_ = State::kSub;
          if (subLength_ < sub_.size()) {
            sub_[subLength_++] = b;
          } else {
            subOverflow_ = true;
          }
        } else {
          command(b);  // an unterminated subnegotiation: dropped
        }
        break;
    }
    ++k;
  }
}

Negotiator::Negotiator(std::initializer_list<std::uint8_t> local,
                       std::initializer_list<std::uint8_t> remote) {
  for (std::uint8_t o : local) localOk_[o] = true;
  for (std::uint8_t o : remote) remoteOk_[o] = true;
}

namespace {
void put(std::vector<std::uint8_t>& out, std::uint8_t verb, std::uint8_t option) {
  out.insert(out.end(), {kIac, verb, option});
}
}  // namespace

void Negotiator::requestLocal(std::uint8_t option, std::vector<std::uint8_t>& out) {
  if (local_[option] != State::kOff) return;
  local_[option] = State::kRequested;
  put(out, kWill, option);
}

void Negotiator::requestRemote(std::uint8_t option, std::vector<std::uint8_t>& out) {
  if (remote_[option] != State::kOff) return;
  remote_[option] = State::kRequested;
  put(out, kDo, option);
}

void Negotiator::receive(std::uint8_t command, std::uint8_t option,
                         std::vector<std::uint8_t>& out) {
  const bool aboutRemote = command == kWill || command == kWont;
  const bool yes = command == kWill || command == kDo;
  State& state = aboutRemote ? remote_[option] : local_[option];
  const bool acceptable = aboutRemote ? remoteOk_[option] : localOk_[option];
  const std::uint8_t agree = aboutRemote ? kDo : kWill;
  const std::uint8_t refuse = aboutRemote ? kDont : kWont;
  if (yes) {
    if (state == State::kRequested) {
      state = State::kOn;  // the answer to our request
    } else if (state == State::kOff) {
      if (acceptable) {
        state = State::kOn;
        put(out, agree, option);
      } else {
        put(out, refuse, option);
      }
    }
  } else {
    if (state == State::kOn) put(out, refuse, option);  // acknowledges the switch-off
    state = State::kOff;                                // also the refusal of our request
  }
}

}  // namespace vexcard::comport::telnet
