#include "link/status_texts.h"

#include <string_view>

#include "link/link_state.h"
#include "platform/codepage.h"
#include "vexcard/exception.h"

namespace vexcard::link {

using namespace vexcard::literals;

namespace {

struct Entry {
  std::int32_t code;
  std::string_view text;
};

// The letters of "СОМ" in these texts are Cyrillic (D1 CE CC); the misspelling in code
// 0x93 and the blanks after some colons are part of the texts.
constexpr Entry kLinkStates[] = {
    {kLinkOk, "Норма"_w1251},
    {kLinkInProgress, "Прием:Состояние обмена"_w1251},
    {kLinkBadTerminator, "Прием:Ошибка завершения пакета"_w1251},
    {kLinkPortTimeout, "Прием:Ошибка таймаута при ожидании ответа по СОМ "_w1251},
    {kLinkSizeMismatch, "Прием:Несовпадение размера буфера"_w1251},
    {kLinkSendFailed, "Посылка:Переполнение буфера"_w1251},
    {kLinkReplyTimeout, "Прием:Ошибка таймаута подтверждения"_w1251},
    {kLinkBadChecksum, "Прием:Ошибка контрольной суммы"_w1251},
    {kLinkBadHeader, "Прием: Ошибка заголовка"_w1251},
    {kLinkBadStatus, "Прием: неверный статус передачи"_w1251},
    {kLinkNotReady, "Ридер не готов к приему команды"_w1251},
    {kLinkPortSuffix, " по СОМ "_w1251},
};

constexpr Entry kReplyCodes[] = {
    {0x00, "Команда выполнена"_w1251},
    {0x01, "Команда принята, выполняется"_w1251},
    {0x80, "Команда не опознана"_w1251},
    {0x81, "Смены ТС и ПТ не синхронизированы"_w1251},
    {0x82, "Смена (уже) закрыта"_w1251},
    {0x83, "Смена (уже) открыта"_w1251},
    {0x84, "Диалог с клиентом не начат"_w1251},
    {0x85, "Диалог с клиентом не закончен"_w1251},
    {0x86, "Диалог с клиентом закончен"_w1251},
    {0x87, "В считывателе нет карты"_w1251},
    {0x88, "Карта вынута во время выполнения команды"_w1251},
    {0x89, "Клиент отменил дебетование"_w1251},
    {0x8A, "На карте клиента не хватает средств"_w1251},
    {0x8B, "Клиент заблокировал карту двухкратным набором ПИН"_w1251},
    {0x8C, "Предъявленная карта заблокирована"_w1251},
    {0x8D, "Данные о возврате не соответствуют исходной транзакции дебета"_w1251},
    {0x8E, "Ошибка обмена с картой, результат неизвестен"_w1251},
    {0x8F, "Предыдущая команда еще выполняется"_w1251},
    {0x90, "Требуется инкассация терминала"_w1251},
    {0x91, "Отпуск товара запрещен"_w1251},
    {0x92, "сессия с картой (уже) установлена"_w1251},
    {0x93, "Невозможно усатновить платежеспособность клиента"_w1251},
};

template <std::size_t N>
std::string_view find(const Entry (&table)[N], std::int32_t code) {
  for (const Entry& e : table) {
    if (e.code == code) return e.text;
  }
  return {};
}

}  // namespace

std::string LinkStateText(std::int32_t state, std::uint8_t port) {
  const std::string_view known = find(kLinkStates, state);
  std::string text(known.empty() ? "Неизвестное состояние"_w1251 : known);
  if (state == kLinkPortTimeout || state == kLinkPortSuffix) text += std::to_string(port);
  return text;
}

std::string ReplyCodeText(std::uint16_t code) {
  const std::string_view known = find(kReplyCodes, code);
  if (!known.empty()) return std::string(known);
  return std::string("Неизвестный код: "_w1251) + std::to_string(code);
}

void CheckReaderReply(std::uint8_t code) {
  if (code == 0) return;
  throw Exception(std::string("Ошибка ридера: "_w1251) + ReplyCodeText(code));
}

}  // namespace vexcard::link
