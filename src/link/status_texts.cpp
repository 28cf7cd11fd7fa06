#include "link/status_texts.h"

#include <string_view>

#include "link/link_state.h"
#include "platform/codepage.h"
#include "vexcard/exception.h"

namespace vexcard::link {

using namespace vexcard::literals;

namespace {

// The letters of "СОМ" in these texts are Cyrillic (D1 CE CC); the misspelling in code
// 0x93 and the blanks after some colons are part of the texts.
std::string_view linkStateBase(std::int32_t state) {
  switch (state) {
    case kLinkOk: return "Норма"_w1251;
    case kLinkInProgress: return "Прием:Состояние обмена"_w1251;
    case kLinkBadTerminator: return "Прием:Ошибка завершения пакета"_w1251;
    case kLinkPortTimeout: return "Прием:Ошибка таймаута при ожидании ответа по СОМ "_w1251;
    case kLinkSizeMismatch: return "Прием:Несовпадение размера буфера"_w1251;
    case kLinkSendFailed: return "Посылка:Переполнение буфера"_w1251;
    case kLinkReplyTimeout: return "Прием:Ошибка таймаута подтверждения"_w1251;
    case kLinkBadChecksum: return "Прием:Ошибка контрольной суммы"_w1251;
    case kLinkBadHeader: return "Прием: Ошибка заголовка"_w1251;
    case kLinkBadStatus: return "Прием: неверный статус передачи"_w1251;
    case kLinkNotReady: return "Ридер не готов к приему команды"_w1251;
    case kLinkPortSuffix: return " по СОМ "_w1251;
    default: return "Неизвестное состояние"_w1251;
  }
}

std::string_view replyCodeBase(std::uint16_t code) {
  switch (code) {
    case 0x00: return "Команда выполнена"_w1251;
    case 0x01: return "Команда принята, выполняется"_w1251;
    case 0x80: return "Команда не опознана"_w1251;
    case 0x81: return "Смены ТС и ПТ не синхронизированы"_w1251;
    case 0x82: return "Смена (уже) закрыта"_w1251;
    case 0x83: return "Смена (уже) открыта"_w1251;
    case 0x84: return "Диалог с клиентом не начат"_w1251;
    case 0x85: return "Диалог с клиентом не закончен"_w1251;
    case 0x86: return "Диалог с клиентом закончен"_w1251;
    case 0x87: return "В считывателе нет карты"_w1251;
    case 0x88: return "Карта вынута во время выполнения команды"_w1251;
    case 0x89: return "Клиент отменил дебетование"_w1251;
    case 0x8A: return "На карте клиента не хватает средств"_w1251;
    case 0x8B: return "Клиент заблокировал карту двухкратным набором ПИН"_w1251;
    case 0x8C: return "Предъявленная карта заблокирована"_w1251;
    case 0x8D: return "Данные о возврате не соответствуют исходной транзакции дебета"_w1251;
    case 0x8E: return "Ошибка обмена с картой, результат неизвестен"_w1251;
    case 0x8F: return "Предыдущая команда еще выполняется"_w1251;
    case 0x90: return "Требуется инкассация терминала"_w1251;
    case 0x91: return "Отпуск товара запрещен"_w1251;
    case 0x92: return "сессия с картой (уже) установлена"_w1251;
    case 0x93: return "Невозможно усатновить платежеспособность клиента"_w1251;
    default: return {};
  }
}

}  // namespace

std::string LinkStateText(std::int32_t state, std::uint8_t port) {
  std::string text(linkStateBase(state));
  if (state == kLinkPortTimeout || state == kLinkPortSuffix) text += std::to_string(port);
  return text;
}

std::string ReplyCodeText(std::uint16_t code) {
  const std::string_view known = replyCodeBase(code);
  if (!known.empty()) return std::string(known);
  return std::string("Неизвестный код: "_w1251) + std::to_string(code);
}

void CheckReaderReply(std::uint8_t code) {
  if (code == 0) return;
  throw Exception(std::string("Ошибка ридера: "_w1251) + ReplyCodeText(code));
}

}  // namespace vexcard::link
