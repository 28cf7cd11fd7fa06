#include "link/frame.h"

#include <string>

#include "platform/codepage.h"
#include "vexcard/exception.h"

namespace vexcard::link {

using namespace vexcard::literals;

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

}  // namespace

FrameText encodeFrame(const std::uint8_t* bytes, std::uint8_t count, std::uint8_t packetIndex) {
  if (count < kMinCommandBytes || count > kMaxCommandBytes) {
    throw Exception(std::string("Недопустимая длина команды: "_w1251) + std::to_string(count) +
                    std::string(" байт (допустимо от 1 до 123)"_w1251));
  }
  if (bytes == nullptr) throw Exception(std::string("Не заданы байты команды"_w1251));

  FrameText frame;
  std::size_t out = 0;
  const auto put = [&](std::uint8_t b) {
    frame.text[out++] = static_cast<std::uint8_t>(kHexDigits[b >> 4]);
    frame.text[out++] = static_cast<std::uint8_t>(kHexDigits[b & 0x0F]);
  };

  const auto length = static_cast<std::uint8_t>(count + 1);
  std::uint8_t checksum = kFrameHeader ^ length ^ packetIndex;
  put(kFrameHeader);
  put(length);
  put(packetIndex);
  for (std::uint8_t k = 0; k < count; ++k) {
    checksum ^= bytes[k];
    put(bytes[k]);
  }
  put(checksum);
  frame.text[out++] = kEtx;
  frame.length = static_cast<std::uint8_t>(out);  // 2n + 9
  return frame;
}

}  // namespace vexcard::link
