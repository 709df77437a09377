#pragma once
// The program's side of libpellaxa (bound at load time through its header)
// and the small conversions shared by the link classes, the loader and the
// main window. Byte strings are std::string; texts are Windows-1251.
#include "pellaxa.h"
#include "platform/Clock.h"

#include <array>
#include <cstdint>
#include <string>

// The meter's 8-byte clock record: seconds, minutes, hours (BCD), day of the
// week (Monday 1 .. Sunday 7, plain), day, month, year - 2000 (BCD), 0xFF.
using TMeterClock = std::array<std::uint8_t, 8>;

// " Порт COM%d занят или не существует": formatted with the port number when
// a device reports its port busy or absent (error 253).
inline constexpr char SComPortBusy[] =
    " \xCF\xEE\xF0\xF2 COM%d \xE7\xE0\xED\xFF\xF2 \xE8\xEB\xE8 \xED\xE5 \xF1\xF3\xF9\xE5\xF1\xF2\xE2\xF3\xE5\xF2"; //  Порт COM%d занят или не существует

// S followed by its checksum of the given type, low byte first; an empty S,
// or a type without checksum bytes, comes back unchanged.
std::string AddCheckSum(const std::string &S, TCheckSumType CheckSumType);

// True when S ends with a valid checksum of the type (an empty S is False).
bool TestCheckSum(const std::string &S, TCheckSumType CheckSumType);

// The checksum type that a received frame carries; 0 when none verifies.
TCheckSumType FindCheckSumType(const std::string &S);

// Fills the meter's clock record from a clock reading (milliseconds unused).
void SystemTimeToBCD(const platform::TSystemTime &Time, TMeterClock &Clock);

// Time stamp of log lines: the time of day in the long time format, ":" and
// three-digit milliseconds. The first form uses the user's locale.
std::string TimeToStrMs(const platform::TSystemTime &Time);
std::string TimeToStrMs(const platform::TSystemTime &Time, const platform::TTimeLocale &Locale);

// Two upper-case hexadecimal digits and Separator for every byte of S, the
// last one included.
std::string StrToHex(const std::string &S, const std::string &Separator);

// "#$" and two upper-case hexadecimal digits for every byte of S.
std::string StrToHexLiterals(const std::string &S);

// Count bytes copied from Buffer; Count of 0 or less gives an empty string.
std::string BufToStr(const void *Buffer, std::int32_t Count);

// A field of Len characters of Fill with S copied to its start (its tail
// cut) or, with RightAlign, to its end (its head cut).
std::string FitStr(const std::string &S, std::int32_t Len, char Fill, bool RightAlign);
