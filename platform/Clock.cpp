#include "platform/Clock.h"

#include "platform/Cp1251.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <langinfo.h>
#include <locale.h>

namespace platform {

TSystemTime GetLocalTime()
{
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  TSystemTime t;
  t.wYear = static_cast<std::uint16_t>(local.tm_year + 1900);
  t.wMonth = static_cast<std::uint16_t>(local.tm_mon + 1);
  t.wDayOfWeek = static_cast<std::uint16_t>(local.tm_wday);
  t.wDay = static_cast<std::uint16_t>(local.tm_mday);
  t.wHour = static_cast<std::uint16_t>(local.tm_hour);
  t.wMinute = static_cast<std::uint16_t>(local.tm_min);
  // A leap second shows as the last second of its minute.
  t.wSecond = static_cast<std::uint16_t>(local.tm_sec > 59 ? 59 : local.tm_sec);
  t.wMilliseconds = static_cast<std::uint16_t>(now.tv_nsec / 1000000);
  return t;
}

std::int64_t MonotonicMilliseconds()
{
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TTimeLocale::TTimeLocale(const char *name)
{
  locale_t loc = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, name, static_cast<locale_t>(nullptr));
  if (loc == static_cast<locale_t>(nullptr))
    loc = newlocale(LC_TIME_MASK | LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
  FLocale = loc;
  if (loc == static_cast<locale_t>(nullptr)) { // out of memory: the C formats
    FLongTimeFormat = "%H:%M:%S";
    FShortDateFormat = "%m/%d/%y";
    return;
  }
  FLongTimeFormat = nl_langinfo_l(T_FMT, loc);
  FShortDateFormat = nl_langinfo_l(D_FMT, loc);
  FUtf8 = std::strcmp(nl_langinfo_l(CODESET, loc), "UTF-8") == 0;
}

TTimeLocale::~TTimeLocale()
{
  if (FLocale)
    freelocale(static_cast<locale_t>(FLocale));
}

const TTimeLocale &TTimeLocale::User()
{
  static const TTimeLocale user("");
  return user;
}

std::string TTimeLocale::FormatTime(const TSystemTime &time) const { return Format(time, FLongTimeFormat); }

std::string TTimeLocale::FormatDate(const TSystemTime &time) const { return Format(time, FShortDateFormat); }

std::string TTimeLocale::Format(const TSystemTime &time, const std::string &format) const
{
  using namespace std::chrono;
  tm fields{};
  fields.tm_year = time.wYear - 1900;
  fields.tm_mon = time.wMonth - 1;
  fields.tm_mday = time.wDay;
  fields.tm_hour = time.wHour;
  fields.tm_min = time.wMinute;
  fields.tm_sec = time.wSecond;
  fields.tm_wday = time.wDayOfWeek;
  const year_month_day date{year{time.wYear}, month{time.wMonth}, day{time.wDay}};
  const year_month_day newYear{year{time.wYear}, January, day{1}};
  fields.tm_yday = static_cast<int>((sys_days{date} - sys_days{newYear}).count());
  fields.tm_isdst = -1;

  char buffer[256];
  std::size_t n = 0;
  if (FLocale)
    n = strftime_l(buffer, sizeof buffer, format.c_str(), &fields, static_cast<locale_t>(FLocale));
  else
    n = std::strftime(buffer, sizeof buffer, format.c_str(), &fields);
  std::string text(buffer, n);
  return FUtf8 ? Utf8ToCp1251(text) : text;
}

} // namespace platform
