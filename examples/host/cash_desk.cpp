// The shortest complete cash-desk program on top of VexCard.dll: it loads the library,
// creates the driver on a COM port, reads the card in the terminal, sells 20 l of Аи-92
// (purse 19) for 370.00 against it, refunds that sale, and destroys the driver. Every
// operation is reached as the library's host reaches it: GeTDriver from the export table,
// then the operation table by position (vexcard/host_interface.h).
//
//   cash-desk-example [COM number]      (default 1)
//
// The terminal can be the simulator: `vexcard-terminal --listen 127.0.0.1:7000 --card bonus`
// and `set VEXCARD_COM1=rfc2217://127.0.0.1:7000` before starting this program.
//
// Exit codes: 0 done, 1 the driver raised an error, 2 the library could not be loaded.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "vexcard/exception.h"
#include "vexcard/host_interface.h"

namespace {

// A short-string field of a result record: a length byte, then the characters.
template <std::size_t N>
std::string text(const vexcard::ShortString<N>& field) {
  const std::size_t n = field.bytes[0] < N ? field.bytes[0] : N - 1;
  return std::string(reinterpret_cast<const char*>(field.bytes + 1), n);
}

}  // namespace

int main(int argc, char** argv) {
  const auto port = static_cast<std::uint8_t>(argc > 1 ? std::atoi(argv[1]) : 1);

  // The library lies beside the program, with its three C++ runtime DLLs.
  const HMODULE library = ::LoadLibraryA("VexCard.dll");
  const auto getDriver = library == nullptr
                             ? nullptr
                             : reinterpret_cast<decltype(&vexcard::GeTDriver)>(
                                   reinterpret_cast<void*>(::GetProcAddress(library, "GeTDriver")));
  if (getDriver == nullptr) {
    std::printf("VexCard.dll cannot be loaded (error %lu)\n", ::GetLastError());
    return 2;
  }

  int status = 0;
  vexcard::HostObject* driver = nullptr;
  try {
    driver = getDriver(port);  // opens the port; raises when it cannot
    const vexcard::HostSlots& slots = vexcard::hostSlots(driver);

    vexcard::TCardInfo card{};
    slots.CardInfo(&card, driver, 0);
    std::printf("card %s %s, available %.2f\n", text(card.CardType).c_str(),
                text(card.CardDigits).c_str(), card.Available);

    // The sale hands back the card's data block, which its refund needs.
    std::uint8_t block[79] = {};
    vexcard::TBonusResult sale{};
    slots.BonusSaleEx(&sale, driver, 'S', 19, 20.0, 370.0, nullptr, nullptr, nullptr, block,
                      sizeof block - 1);
    std::printf("sale: status %u, card %s, charged %.2f at %.2f a litre (%.1f %% off)\n",
                sale.Status, text(sale.CardNumber).c_str(), sale.SummaSk, sale.CosteSK,
                sale.Skidka);

    vexcard::TBonusResult refund{};
    slots.BonusSaleEx(&refund, driver, '+', 19, 20.0, 370.0, nullptr, nullptr, nullptr, block,
                      sizeof block - 1);
    std::printf("refund: status %u\n", refund.Status);
  } catch (const vexcard::Exception& e) {
    // The driver's messages are Windows-1251 text.
    std::printf("driver error: %s\n", e.message().c_str());
    status = 1;
  }
  if (driver != nullptr) vexcard::hostDestructor(driver)(driver);  // stops its threads
  ::FreeLibrary(library);
  return status;
}
