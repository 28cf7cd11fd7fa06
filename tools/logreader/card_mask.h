// Card numbers masked in a driver's log, so that a station's log can be attached to a
// report: of every card number only the first 6 and the last 4 digits stay.
//
// Masked are: the card number in the reply dumps of tsReadCard, tsSale and tsDebit (body
// bytes 23 to 32, BCD), the card number at the head of the card block that tsRefund and
// tsRefundReset send back (the request's frame is written again with its checksum, so the
// masked log still parses and replays), and the card numbers of the sale lines ("карта"
// with the card type and the number, whole or in the bonus sale's short form "2" and 15
// digits), and any other run of 13 to 20 digits in a text line. A masked digit is the
// nibble F in the dumps (no BCD digit) and "*" in the text.
//
// Pure functions; thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace vexcard::logreader {

// The log (Windows-1251) with every card number masked; line ends kept as they were.
std::string maskCards(std::string_view log);

}  // namespace vexcard::logreader
