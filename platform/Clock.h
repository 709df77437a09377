#pragma once
// The local clock with milliseconds, the user's time and date formats, and
// a monotonic clock for elapsed periods.
#include <cstdint>
#include <string>

namespace platform {

// A clock reading split into its fields, as the Windows SYSTEMTIME record.
struct TSystemTime {
  std::uint16_t wYear = 0;
  std::uint16_t wMonth = 0;     // 1..12
  std::uint16_t wDayOfWeek = 0; // Sunday 0 .. Saturday 6
  std::uint16_t wDay = 0;       // 1..31
  std::uint16_t wHour = 0;      // 0..23
  std::uint16_t wMinute = 0;
  std::uint16_t wSecond = 0;
  std::uint16_t wMilliseconds = 0; // 0..999
};

// The current local date and time.
TSystemTime GetLocalTime();

// Milliseconds of a monotonic clock: only differences mean anything.
std::int64_t MonotonicMilliseconds();

// The time and date formats of one locale's LC_TIME category, and the
// formatting of clock readings with them. The texts are Windows-1251.
// The process's global locale is neither read nor changed.
class TTimeLocale {
public:
  // Name as for newlocale: "" is the user's (LC_ALL, LC_TIME, LANG); a name
  // that does not load gives the "C" locale.
  explicit TTimeLocale(const char *name);
  ~TTimeLocale();
  TTimeLocale(const TTimeLocale &) = delete;
  TTimeLocale &operator=(const TTimeLocale &) = delete;

  // strftime formats: the long time format and the short date format.
  const std::string &LongTimeFormat() const { return FLongTimeFormat; }
  const std::string &ShortDateFormat() const { return FShortDateFormat; }

  std::string FormatTime(const TSystemTime &time) const; // long time format
  std::string FormatDate(const TSystemTime &time) const; // short date format

  // The user's locale, loaded once.
  static const TTimeLocale &User();

private:
  std::string Format(const TSystemTime &time, const std::string &format) const;

  void *FLocale = nullptr; // locale_t
  bool FUtf8 = false;      // the locale writes UTF-8
  std::string FLongTimeFormat;
  std::string FShortDateFormat;
};

} // namespace platform
