#pragma once
// The connection settings dialog's own texts, Windows-1251 bytes; the dialog
// converts them to QString where they meet Qt.

namespace app::texts {

inline constexpr char SDialogCaption[] =
    "\xCF\xE0\xF0\xE0\xEC\xE5\xF2\xF0\xFB \xF1\xE2\xFF\xE7\xE8";          // Параметры связи
inline constexpr char SFirstGroup[] = "\xCE\xF1\xED\xEE\xE2\xED\xFB\xE5"; // Основные
inline constexpr char SComRadio[] =
    "\xD1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 \xF7\xE5\xF0\xE5\xE7 COM \xEF\xEE\xF0\xF2"; // Соединение через
                                                                                          // COM порт
inline constexpr char SPortLabel[] = "\xCF\xEE\xF0\xF2";                     // Порт
inline constexpr char SBaudRateLabel[] = "\xD1\xEA\xEE\xF0\xEE\xF1\xF2\xFC"; // Скорость
inline constexpr char SParityLabel[] = "\xCF\xE0\xF0\xE8\xF2\xE5\xF2";       // Паритет
inline constexpr char SParityNone[] = "\xCD\xE5\xF2";                        // Нет
inline constexpr char SParityOdd[] = "\xCD\xE5\xF7\xE5\xF2";                 // Нечет
inline constexpr char STcpRadio[] =
    "\xD1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 \xF7\xE5\xF0\xE5\xE7 TCP/IP "; // Соединение через TCP/IP (with
                                                                             // the trailing blank)
inline constexpr char SHostLabel[] = "\xC0\xE4\xF0\xE5\xF1"; // Адрес
inline constexpr char SNetAdrGroup[] =
    "\xD1\xE5\xF2\xE5\xE2\xEE\xE9 \xE0\xE4\xF0\xE5\xF1 \xF1\xF7\xB8\xF2\xF7\xE8\xEA\xE0"; // Сетевой адрес
                                                                                          // счётчика
inline constexpr char SSecondGroup[] =
    "\xC4\xEE\xEF\xEE\xEB\xED\xE8\xF2\xE5\xEB\xFC\xED\xFB\xE5"; // Дополнительные
inline constexpr char SAnswerTimeLabel[] =
    "\xC2\xF0\xE5\xEC\xFF \xEE\xE6\xE8\xE4\xE0\xED\xE8\xFF \xEE\xF2\xE2\xE5\xF2\xE0(ms)"; // Время ожидания
                                                                                          // ответа(ms)
inline constexpr char SSystemTimeLabel[] =
    "\xD1\xE8\xF1\xF2\xE5\xEC\xED\xFB\xE9 TimeOut (ms)"; // Системный TimeOut (ms)
inline constexpr char SMultipleLabel[] =
    "\xCC\xED\xEE\xE6\xE8\xF2\xE5\xEB\xFC TimeOut (0..255)"; // Множитель TimeOut (0..255)
inline constexpr char SBlockSizeGroup[] =
    "\xD0\xE0\xE7\xEC\xE5\xF0 \xE1\xEB\xEE\xEA\xE0 \xE4\xE0\xED\xED\xFB\xF5"; // Размер блока данных
inline constexpr char SBytes[] = " \xE1\xE0\xE9\xF2"; // " байт", after a block size
inline constexpr char SPacketMode[] =
    "\xCF\xE0\xEA\xE5\xF2\xED\xFB\xE9 \xF0\xE5\xE6\xE8\xEC"; // Пакетный режим
inline constexpr char SAlertSequence[] =
    "\xC0\xEB\xE5\xF0\xF2\xEE\xE2\xE0\xFF \xEF\xEE\xF1\xEB\xE5\xE4\xEE\xE2\xE0\xF2\xE5\xEB\xFC\xED\xEE\xF1\xF2\xFC"; // Алертовая последовательность
inline constexpr char SViaIdServer[] =
    "\xD7\xE5\xF0\xE5\xE7 \xD1\xE5\xF0\xE2\xE5\xF0 \xC8\xE4\xE5\xED\xF2\xE8\xF4\xE8\xEA\xE0\xF6\xE8\xE8"; // Через Сервер Идентификации
inline constexpr char SApply[] = "\xCF\xF0\xE8\xEC\xE5\xED\xE8\xF2\xFC"; // Применить
inline constexpr char SClose[] = "\xC7\xE0\xEA\xF0\xFB\xF2\xFC";         // Закрыть
// What a confirmation with an impossible TCP/IP link is refused with.
inline constexpr char STcpPortInvalid[] =
    "\xCF\xEE\xF0\xF2 TCP/IP \xE4\xEE\xEB\xE6\xE5\xED \xE1\xFB\xF2\xFC \xF7\xE8\xF1\xEB\xEE\xEC \xEE\xF2 1 \xE4\xEE 65535"; // Порт TCP/IP должен быть числом от 1 до 65535
inline constexpr char STcpHostMissing[] =
    "\xCD\xE5 \xF3\xEA\xE0\xE7\xE0\xED \xE0\xE4\xF0\xE5\xF1 TCP/IP"; // Не указан адрес TCP/IP

// The speeds the speed box offers.
inline constexpr const char *SBaudRates[] = {"300",   "600",    "1200",   "2400",  "4800",
                                             "9600",  "19200",  "28800",  "38400", "56000",
                                             "57600", "115200", "128000", "256000"};

} // namespace app::texts
