// Texts of device error codes and names of meter models (Windows-1251).
#include "pellaxa.h"

#include <cstdint>

namespace {

// Rows -5..15: the link's own errors, no error, the meter's status codes.
constexpr int FirstProtocolCode = -5;
constexpr const char *ProtocolMessages[] = {
    "\xC4\xF0\xE0\xE9\xE2\xE5\xF0 \xE7\xE0\xED\xFF\xF2 \xE0\xED\xE0\xEB\xEE\xE3\xE8\xF7\xED\xFB\xEC \xEF\xF0\xEE\xF6\xE5\xF1\xF1\xEE\xEC", // Драйвер занят аналогичным процессом
    "\xCF\xEE\xEF\xFB\xF2\xEA\xE0 \xEF\xE5\xF0\xE5\xE4\xE0\xF7\xE8 \xE4\xE0\xED\xED\xFB\xF5 \xED\xF3\xEB\xE5\xE2\xEE\xE9 \xE4\xEB\xE8\xED\xFB", // Попытка передачи данных нулевой длины
    "\xCF\xEE\xF0\xF2 \xE7\xE0\xED\xFF\xF2 \xE8\xEB\xE8 \xED\xE5 \xF1\xF3\xF9\xE5\xF1\xF2\xE2\xF3\xE5\xF2", // Порт занят или не существует
    "\xCD\xE5\xEF\xF0\xE0\xE2\xE8\xEB\xFC\xED\xE0\xFF \xEA\xEE\xED\xF2\xF0\xEE\xEB\xFC\xED\xE0\xFF \xF1\xF3\xEC\xEC\xE0", // Неправильная контрольная сумма
    "\xCF\xF0\xE8\xE1\xEE\xF0 \xED\xE5 \xEE\xF2\xE2\xE5\xF7\xE0\xE5\xF2", // Прибор не отвечает
    "",
    "\xCD\xE5\xEF\xF0\xE0\xE2\xE8\xEB\xFC\xED\xE0\xFF \xEA\xEE\xEC\xE0\xED\xE4\xE0 \xE8\xEB\xE8 \xEF\xE0\xF0\xE0\xEC\xE5\xF2\xF0", // Неправильная команда или параметр
    "\xC2\xED\xF3\xF2\xF0\xE5\xED\xED\xFF\xFF \xEE\xF8\xE8\xE1\xEA\xE0 \xF1\xF7\xB8\xF2\xF7\xE8\xEA\xE0", // Внутренняя ошибка счётчика
    "\xCD\xE8\xE7\xEA\xE8\xE9 \xF3\xF0\xEE\xE2\xE5\xED\xFC \xE4\xEE\xF1\xF2\xF3\xEF\xE0", // Низкий уровень
                                                                                          // доступа
    "\xD7\xE0\xF1\xFB \xF3\xE6\xE5 \xEA\xEE\xF0\xF0\xE5\xEA\xF2\xE8\xF0\xEE\xE2\xE0\xEB\xE8\xF1\xFC \xE2 \xF2\xE5\xF7\xE5\xED\xE8\xE8 \xF1\xF3\xF2\xEE\xEA", // Часы уже корректировались в течении суток
    "\xC7\xE0\xEA\xF0\xFB\xF2 \xEA\xE0\xED\xE0\xEB \xF1\xE2\xFF\xE7\xE8", // Закрыт канал связи
    "\xCF\xEE\xE2\xF2\xEE\xF0\xE8\xF2\xFC \xE7\xE0\xEF\xF0\xEE\xF1 \xED\xE5 \xEC\xE5\xED\xE5\xE5 \xF7\xE5\xEC \xF7\xE5\xF0\xE5\xE7 0.5 (3) \xF1\xE5\xEA\xF3\xED\xE4\xFB", // Повторить запрос не менее чем через 0.5 (3) секунды
    "\xCD\xE5\xF2 \xE4\xE0\xED\xED\xFB\xF5 \xEF\xEE \xE7\xE0\xEF\xF0\xE0\xF8\xE8\xE2\xE0\xE5\xEC\xEE\xEC\xF3 \xEF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\xF3", // Нет данных по запрашиваемому параметру
    "\xD1\xF7\xE5\xF2\xF7\xE8\xEA \xE7\xE0\xED\xFF\xF2 \xE0\xED\xE0\xEB\xEE\xE3\xE8\xF7\xED\xFB\xEC \xEF\xF0\xEE\xF6\xE5\xF1\xF1\xEE\xEC", // Счетчик занят аналогичным процессом
    "\xCF\xE5\xF0\xE5\xEF\xEE\xEB\xED\xE5\xED\xE8\xE5 \xF0\xE5\xE3\xE8\xF1\xF2\xF0\xE0 \xE5\xE4\xE8\xED\xE8\xF6 \xEE\xEF\xEB\xE0\xF2\xFB (\xF2\xEE\xEB\xFC\xEA\xEE \xE4\xEB\xFF KB-520)", // Переполнение регистра единиц оплаты (только для KB-520)
    "\xCD\xE5\xE2\xEE\xE7\xEC\xEE\xE6\xED\xEE \xE2\xFB\xEF\xEE\xEB\xED\xE8\xF2\xFC \xE7\xE0\xEF\xF0\xEE\xF1 \xF3\xEF\xF0\xE0\xE2\xEB\xE5\xED\xE8\xFF", // Невозможно выполнить запрос управления
    "\xCD\xE5\xE8\xE7\xE2\xE5\xF1\xF2\xED\xFB\xE9 \xEA\xEE\xE4 \xEE\xF8\xE8\xE1\xEA\xE8 : 0x0B", // Неизвестный
                                                                                                 // код ошибки
                                                                                                 // : 0x0B
    "\xCD\xE5\xE8\xE7\xE2\xE5\xF1\xF2\xED\xFB\xE9 \xEA\xEE\xE4 \xEE\xF8\xE8\xE1\xEA\xE8 : 0x0C", // Неизвестный
                                                                                                 // код ошибки
                                                                                                 // : 0x0C
    "\xCD\xE5\xE8\xE7\xE2\xE5\xF1\xF2\xED\xFB\xE9 \xEA\xEE\xE4 \xEE\xF8\xE8\xE1\xEA\xE8 : 0x0D", // Неизвестный
                                                                                                 // код ошибки
                                                                                                 // : 0x0D
    "\xCD\xE5\xE8\xE7\xE2\xE5\xF1\xF2\xED\xFB\xE9 \xEA\xEE\xE4 \xEE\xF8\xE8\xE1\xEA\xE8 : 0x0E", // Неизвестный
                                                                                                 // код ошибки
                                                                                                 // : 0x0E
    "\xCA\xEE\xEC\xEC\xF3\xED\xE8\xEA\xE0\xF2\xEE\xF0 \xE2\xEE\xE7\xE2\xF0\xE0\xF2\xE8\xEB \xEE\xF2\xE2\xE5\xF2: \xF1\xF7\xB8\xF2\xF7\xE8\xEA \xED\xE5 \xEE\xF2\xE2\xE5\xF7\xE0\xE5\xF2", // Коммуникатор возвратил ответ: счётчик не отвечает
};
static_assert(sizeof ProtocolMessages / sizeof *ProtocolMessages == 21);

// What a code without a row gets.
constexpr const char UnknownProtocolCode[] =
    "\xCD\xE5\xE8\xE7\xE2\xE5\xF1\xF2\xED\xFB\xE9 \xEA\xEE\xE4 \xEE\xF8\xE8\xE1\xEA\xE8"; // Неизвестный код
                                                                                          // ошибки

// Rows -1..20: the model index of a decoded variant word.
constexpr int FirstDeviceIndex = -1;
constexpr const char *DeviceNames[] = {
    "\xCD\xE5\xE8\xE7\xE2\xE5\xF1\xF2\xED\xEE\xE5 \xF3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE", // Неизвестное
                                                                                             // устройство
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
static_assert(sizeof DeviceNames / sizeof *DeviceNames == 22);

template <std::size_t N>
const char *Row(const char *const (&table)[N], int first, int index, const char *fallback)
{
  const int row = index - first;
  return row >= 0 && row < static_cast<int>(N) ? table[row] : fallback;
}

} // namespace

extern "C" {

PELLAXA_API PELLAXA_CALL const char *GetProtocolMessage(std::int8_t Code)
{
  return Row(ProtocolMessages, FirstProtocolCode, Code, UnknownProtocolCode);
}

PELLAXA_API PELLAXA_CALL const char *GetDeviceName(std::int8_t Index)
{
  return Row(DeviceNames, FirstDeviceIndex, Index, DeviceNames[0]);
}

} // extern "C"
