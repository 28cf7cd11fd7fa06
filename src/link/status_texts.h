// Texts of the two status vocabularies: the link state (the driver's verdict on an
// exchange, link_state.h) and the reply code (the terminal's verdict on a command, byte 2
// of every reply body). All texts are Windows-1251. Thread-safe (constant data only).
#pragma once

#include <cstdint>
#include <string>

namespace vexcard::link {

// The text of a link state; for 210 and 247 the port number follows in decimal.
// Unknown states give "Неизвестное состояние". Never throws but for lack of memory.
std::string LinkStateText(std::int32_t state, std::uint8_t port);

// The text of a reply code; unknown codes give "Неизвестный код: " and the code.
std::string ReplyCodeText(std::uint16_t code);

// Returns when code is 0; otherwise throws vexcard::Exception with the message
// "Ошибка ридера: " followed by ReplyCodeText(code).
void CheckReaderReply(std::uint8_t code);

}  // namespace vexcard::link
