#include "link/status_texts.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/codepage.h"
#include "vexcard/exception.h"

namespace vexcard::link {
namespace {

// Each text is compared through the run-time code page conversion, an independent road
// to the same bytes, and must survive the way back unchanged.
void expectText(const std::string& cp1251, const std::string& utf8) {
  EXPECT_EQ(cp1251ToUtf8(cp1251), utf8);
  EXPECT_EQ(utf8ToCp1251(utf8), cp1251);
}

TEST(StatusTexts, EveryLinkState) {
  const std::vector<std::pair<int, std::string>> table = {
      {0, "Норма"},
      {100, "Прием:Состояние обмена"},
      {208, "Прием:Ошибка завершения пакета"},
      {210, "Прием:Ошибка таймаута при ожидании ответа по СОМ 3"},
      {219, "Прием:Несовпадение размера буфера"},
      {220, "Посылка:Переполнение буфера"},
      {221, "Прием:Ошибка таймаута подтверждения"},
      {222, "Прием:Ошибка контрольной суммы"},
      {223, "Прием: Ошибка заголовка"},
      {241, "Прием: неверный статус передачи"},
      {246, "Ридер не готов к приему команды"},
      {247, " по СОМ 3"},
  };
  for (const auto& [state, text] : table) {
    SCOPED_TRACE(state);
    expectText(LinkStateText(state, 3), text);
  }
  for (int state : {-1, 1, 99, 101, 209, 224, 242, 248, 100000}) {
    expectText(LinkStateText(state, 3), "Неизвестное состояние");
  }
}

TEST(StatusTexts, PortNumberFollowsCyrillicCom) {
  EXPECT_EQ(LinkStateText(247, 12), std::string(" \xEF\xEE \xD1\xCE\xCC 12"));
  const std::string timeout = LinkStateText(210, 0);
  EXPECT_EQ(timeout.substr(timeout.size() - 5), std::string("\xD1\xCE\xCC 0"));
  EXPECT_EQ(LinkStateText(210, 255).substr(timeout.size() - 1), "255");
  EXPECT_EQ(LinkStateText(221, 7), LinkStateText(221, 0));  // no port in other texts
}

TEST(StatusTexts, EveryReplyCode) {
  const std::vector<std::pair<int, std::string>> table = {
      {0x00, "Команда выполнена"},
      {0x01, "Команда принята, выполняется"},
      {0x80, "Команда не опознана"},
      {0x81, "Смены ТС и ПТ не синхронизированы"},
      {0x82, "Смена (уже) закрыта"},
      {0x83, "Смена (уже) открыта"},
      {0x84, "Диалог с клиентом не начат"},
      {0x85, "Диалог с клиентом не закончен"},
      {0x86, "Диалог с клиентом закончен"},
      {0x87, "В считывателе нет карты"},
      {0x88, "Карта вынута во время выполнения команды"},
      {0x89, "Клиент отменил дебетование"},
      {0x8A, "На карте клиента не хватает средств"},
      {0x8B, "Клиент заблокировал карту двухкратным набором ПИН"},
      {0x8C, "Предъявленная карта заблокирована"},
      {0x8D, "Данные о возврате не соответствуют исходной транзакции дебета"},
      {0x8E, "Ошибка обмена с картой, результат неизвестен"},
      {0x8F, "Предыдущая команда еще выполняется"},
      {0x90, "Требуется инкассация терминала"},
      {0x91, "Отпуск товара запрещен"},
      {0x92, "сессия с картой (уже) установлена"},
      {0x93, "Невозможно усатновить платежеспособность клиента"},
      {2, "Неизвестный код: 2"},
      {127, "Неизвестный код: 127"},
      {148, "Неизвестный код: 148"},
      {255, "Неизвестный код: 255"},
      {256, "Неизвестный код: 256"},
      {65535, "Неизвестный код: 65535"},
  };
  for (const auto& [code, text] : table) {
    SCOPED_TRACE(code);
    expectText(ReplyCodeText(static_cast<std::uint16_t>(code)), text);
  }
}

TEST(StatusTexts, CheckReaderReplyRaisesForEveryNonZeroCode) {
  EXPECT_NO_THROW(CheckReaderReply(0));
  const auto messageOf = [](std::uint8_t code) {
    try {
      CheckReaderReply(code);
    } catch (const Exception& e) {
      return cp1251ToUtf8(e.message());
    }
    return std::string("no error");
  };
  EXPECT_EQ(messageOf(135), "Ошибка ридера: В считывателе нет карты");
  EXPECT_EQ(messageOf(1), "Ошибка ридера: Команда принята, выполняется");
  EXPECT_EQ(messageOf(200), "Ошибка ридера: Неизвестный код: 200");
}

}  // namespace
}  // namespace vexcard::link
