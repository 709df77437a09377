#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>

using platform::TSystemTime;
using platform::TTimeLocale;

TEST(TimeLocale, CLocaleFormats)
{
  const TTimeLocale c("C");
  EXPECT_EQ(c.LongTimeFormat(), "%H:%M:%S");
  EXPECT_EQ(c.ShortDateFormat(), "%m/%d/%y");
  const TSystemTime t{
      .wYear = 2024, .wMonth = 3, .wDayOfWeek = 0, .wDay = 10, .wHour = 9, .wMinute = 5, .wSecond = 7};
  EXPECT_EQ(c.FormatTime(t), "09:05:07");
  EXPECT_EQ(c.FormatDate(t), "03/10/24");
  EXPECT_EQ(c.FormatTime({.wYear = 1999,
                          .wMonth = 12,
                          .wDayOfWeek = 5,
                          .wDay = 31,
                          .wHour = 23,
                          .wMinute = 59,
                          .wSecond = 59}),
            "23:59:59");
  EXPECT_EQ(c.FormatTime({.wYear = 2000, .wMonth = 1, .wDayOfWeek = 6, .wDay = 1}), "00:00:00");

  // A locale that does not exist gives the C formats, not a failure.
  const TTimeLocale missing("xx_NOWHERE.NOPE");
  EXPECT_EQ(missing.LongTimeFormat(), "%H:%M:%S");
  EXPECT_EQ(missing.FormatDate(t), "03/10/24");
  EXPECT_FALSE(TTimeLocale::User().LongTimeFormat().empty());
}

TEST(Clock, LocalTimeMatchesTheSystemClock)
{
  // The reading's fields are those of the local time of the second before
  // or after it (retried while the machine is too slow to tell).
  for (int attempt = 0; attempt < 5; ++attempt) {
    const std::time_t before = std::time(nullptr);
    const TSystemTime now = platform::GetLocalTime();
    const std::time_t after = std::time(nullptr);
    if (after - before > 1)
      continue;
    EXPECT_LE(now.wMilliseconds, 999);
    bool matched = false;
    for (const std::time_t second : {before, after}) {
      std::tm f{};
      localtime_r(&second, &f);
      matched = matched || (now.wYear == f.tm_year + 1900 && now.wMonth == f.tm_mon + 1 &&
                            now.wDay == f.tm_mday && now.wDayOfWeek == f.tm_wday && now.wHour == f.tm_hour &&
                            now.wMinute == f.tm_min && now.wSecond == f.tm_sec);
    }
    EXPECT_TRUE(matched);
    // Sunday is 0, as the date says.
    using namespace std::chrono;
    const weekday wd{sys_days{year{now.wYear} / month{now.wMonth} / day{now.wDay}}};
    EXPECT_EQ(now.wDayOfWeek, wd.c_encoding());
    return;
  }
  GTEST_SKIP() << "the clock could not be read within one second";
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
