#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

using platform::TSystemTime;
using platform::TTimeLocale;

namespace {

TSystemTime Make(int y, int mo, int d, int dow, int h, int mi, int s, int ms)
{
  TSystemTime t;
  t.wYear = static_cast<std::uint16_t>(y);
  t.wMonth = static_cast<std::uint16_t>(mo);
  t.wDay = static_cast<std::uint16_t>(d);
  t.wDayOfWeek = static_cast<std::uint16_t>(dow);
  t.wHour = static_cast<std::uint16_t>(h);
  t.wMinute = static_cast<std::uint16_t>(mi);
  t.wSecond = static_cast<std::uint16_t>(s);
  t.wMilliseconds = static_cast<std::uint16_t>(ms);
  return t;
}

} // namespace

TEST(TimeLocale, CLocaleFormats)
{
  const TTimeLocale c("C");
  EXPECT_EQ(c.LongTimeFormat(), "%H:%M:%S");
  EXPECT_EQ(c.ShortDateFormat(), "%m/%d/%y");
  const TSystemTime t = Make(2024, 3, 10, 0, 9, 5, 7, 123);
  EXPECT_EQ(c.FormatTime(t), "09:05:07");
  EXPECT_EQ(c.FormatDate(t), "03/10/24");
  EXPECT_EQ(c.FormatTime(Make(1999, 12, 31, 5, 23, 59, 59, 999)), "23:59:59");
  EXPECT_EQ(c.FormatTime(Make(2000, 1, 1, 6, 0, 0, 0, 0)), "00:00:00");

  // A locale that does not exist gives the C formats, not a failure.
  const TTimeLocale missing("xx_NOWHERE.NOPE");
  EXPECT_EQ(missing.LongTimeFormat(), "%H:%M:%S");
  EXPECT_EQ(missing.FormatDate(t), "03/10/24");
  EXPECT_FALSE(TTimeLocale::User().LongTimeFormat().empty());
}

TEST(Clock, LocalTimeMatchesTheSystemClock)
{
  const std::time_t before = std::time(nullptr);
  const TSystemTime now = platform::GetLocalTime();
  const std::time_t after = std::time(nullptr);
  EXPECT_LE(now.wMilliseconds, 999);
  EXPECT_LE(now.wSecond, 59);
  // The fields name a moment between the two readings.
  std::tm fields{};
  fields.tm_year = now.wYear - 1900;
  fields.tm_mon = now.wMonth - 1;
  fields.tm_mday = now.wDay;
  fields.tm_hour = now.wHour;
  fields.tm_min = now.wMinute;
  fields.tm_sec = now.wSecond;
  fields.tm_isdst = -1;
  const std::time_t moment = std::mktime(&fields);
  EXPECT_GE(moment, before - 1);
  EXPECT_LE(moment, after + 1);
  // Sunday is 0, as the date says.
  using namespace std::chrono;
  const weekday wd{sys_days{year{now.wYear} / month{now.wMonth} / day{now.wDay}}};
  EXPECT_EQ(now.wDayOfWeek, wd.c_encoding());
}

TEST(Clock, MonotonicMillisecondsNeverGoBack)
{
  std::int64_t last = platform::MonotonicMilliseconds();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::int64_t now = platform::MonotonicMilliseconds();
    ASSERT_GE(now, last);
    last = now;
  }
  EXPECT_GE(platform::MonotonicMilliseconds() - last, 0);
}
