#include "link/UnExtlibs.h"

#include <algorithm>
#include <climits>

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

// Length of a byte string as the library's signed 32-bit count.
std::int32_t Len32(const std::string &s)
{
  return s.size() > static_cast<std::size_t>(INT32_MAX) ? INT32_MAX : static_cast<std::int32_t>(s.size());
}

std::uint8_t Bcd(int value) { return static_cast<std::uint8_t>((value / 10) * 16 + value % 10); }

} // namespace

std::string AddCheckSum(const std::string &S, TCheckSumType CheckSumType)
{
  std::string result = S;
  if (S.empty())
    return result;
  const std::uint16_t c = CalcCheckSum(S.data(), Len32(S), CheckSumType);
  const std::int32_t n = BytesInCheckSum(CheckSumType);
  if (n == 1 || n == 2)
    result += static_cast<char>(c & 0xFF);
  if (n == 2)
    result += static_cast<char>((c >> 8) & 0xFF);
  return result;
}

bool TestCheckSum(const std::string &S, TCheckSumType CheckSumType)
{
  return CalcAndCheckSum(S.data(), Len32(S), CheckSumType) != 0;
}

TCheckSumType FindCheckSumType(const std::string &S) { return TypeCheckSumFind(S.data(), Len32(S)); }

void SystemTimeToBCD(const platform::TSystemTime &Time, TMeterClock &Clock)
{
  Clock[0] = Bcd(Time.wSecond);
  Clock[1] = Bcd(Time.wMinute);
  Clock[2] = Bcd(Time.wHour);
  Clock[3] = static_cast<std::uint8_t>(Time.wDayOfWeek == 0 ? 7 : Time.wDayOfWeek);
  Clock[4] = Bcd(Time.wDay);
  Clock[5] = Bcd(Time.wMonth);
  Clock[6] = Bcd(static_cast<int>(Time.wYear) - 2000);
  Clock[7] = 0xFF;
}

std::string TimeToStrMs(const platform::TSystemTime &Time)
{
  return TimeToStrMs(Time, platform::TTimeLocale::User());
}

std::string TimeToStrMs(const platform::TSystemTime &Time, const platform::TTimeLocale &Locale)
{
  std::string text = Locale.FormatTime(Time);
  const unsigned ms = Time.wMilliseconds;
  text += ':';
  if (ms < 100)
    text += '0';
  if (ms < 10)
    text += '0';
  text += std::to_string(ms);
  return text;
}

std::string StrToHex(const std::string &S, const std::string &Separator)
{
  // Every byte is converted, however long S is.
  std::string text;
  text.reserve(S.size() * (2 + Separator.size()));
  for (const char ch : S) {
    const auto b = static_cast<unsigned char>(ch);
    text += HexDigits[b >> 4];
    text += HexDigits[b & 0xF];
    text += Separator;
  }
  return text;
}

std::string StrToHexLiterals(const std::string &S)
{
  std::string text;
  text.reserve(S.size() * 4);
  for (const char ch : S) {
    const auto b = static_cast<unsigned char>(ch);
    text += "#$";
    text += HexDigits[b >> 4];
    text += HexDigits[b & 0xF];
  }
  return text;
}

std::string BufToStr(const void *Buffer, std::int32_t Count)
{
  if (Count <= 0)
    return {};
  return std::string(static_cast<const char *>(Buffer), static_cast<std::size_t>(Count));
}

std::string FitStr(const std::string &S, std::int32_t Len, char Fill, bool RightAlign)
{
  if (Len <= 0)
    return {};
  const auto len = static_cast<std::size_t>(Len);
  std::string result(len, Fill);
  const std::size_t n = std::min(S.size(), len);
  if (RightAlign)
    std::copy(S.end() - static_cast<std::ptrdiff_t>(n), S.end(),
              result.end() - static_cast<std::ptrdiff_t>(n));
  else
    std::copy(S.begin(), S.begin() + static_cast<std::ptrdiff_t>(n), result.begin());
  return result;
}
