#include "pellaxa.h"
#include "platform/Cp1251.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using platform::Utf8ToCp1251;

TEST(GetProtocolMessage, EveryRowByteExact)
{
  const char *const expect[] = {
      "Драйвер занят аналогичным процессом",
      "Попытка передачи данных нулевой длины",
      "Порт занят или не существует",
      "Неправильная контрольная сумма",
      "Прибор не отвечает",
      "",
      "Неправильная команда или параметр",
      "Внутренняя ошибка счётчика",
      "Низкий уровень доступа",
      "Часы уже корректировались в течении суток",
      "Закрыт канал связи",
      "Повторить запрос не менее чем через 0.5 (3) секунды",
      "Нет данных по запрашиваемому параметру",
      "Счетчик занят аналогичным процессом",
      "Переполнение регистра единиц оплаты (только для KB-520)",
      "Невозможно выполнить запрос управления",
      "Неизвестный код ошибки : 0x0B",
      "Неизвестный код ошибки : 0x0C",
      "Неизвестный код ошибки : 0x0D",
      "Неизвестный код ошибки : 0x0E",
      "Коммуникатор возвратил ответ: счётчик не отвечает",
  };
  for (int code = -5; code <= 15; ++code) {
    const char *text = GetProtocolMessage(static_cast<std::int8_t>(code));
    ASSERT_NE(text, nullptr) << code;
    EXPECT_EQ(std::string(text), Utf8ToCp1251(expect[code + 5])) << code;
    EXPECT_EQ(GetProtocolMessage(static_cast<std::int8_t>(code)), text) << "same pointer " << code;
  }
  // The device's error bytes 251..255 are the rows -5..-1.
  EXPECT_EQ(GetProtocolMessage(static_cast<std::int8_t>(255)), GetProtocolMessage(-1));
  EXPECT_EQ(std::string(GetProtocolMessage(static_cast<std::int8_t>(253))),
            Utf8ToCp1251("Порт занят или не существует"));
  EXPECT_STREQ(GetProtocolMessage(0), "");
}

TEST(GetProtocolMessage, CodesWithoutRowGetTheUnknownText)
{
  const std::string unknown = Utf8ToCp1251("Неизвестный код ошибки");
  for (int code : {-128, -6, 16, 100, 127}) {
    const char *text = GetProtocolMessage(static_cast<std::int8_t>(code));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), unknown) << code;
  }
}

TEST(GetDeviceName, EveryRowAndFallback)
{
  const char *const expect[] = {
      "Неизвестное устройство",
      "KR-410",
      "KR-420",
      "KR-110",
      "KR-110L",
      "KR-430",
      "KB-510",
      "KB-520",
      "KV-750",
      "KO-220",
      "KV-650",
      "KV-750L",
      "KV-650L",
      "KR-420L",
      "KR-430L",
      "KB-520P",
      "KV-650P",
      "KV-750P",
      "KV-750LA",
      "KB-520L",
      "KV-750LB",
      "KB-530",
  };
  for (int index = -1; index <= 20; ++index) {
    const char *text = GetDeviceName(static_cast<std::int8_t>(index));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), Utf8ToCp1251(expect[index + 1])) << index;
    EXPECT_EQ(GetDeviceName(static_cast<std::int8_t>(index)), text);
  }
  for (int index : {-128, -2, 21, 127})
    EXPECT_EQ(GetDeviceName(static_cast<std::int8_t>(index)), GetDeviceName(-1)) << index;
}
