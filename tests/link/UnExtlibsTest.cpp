#include "link/UnExtlibs.h"
#include "platform/Cp1251.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using platform::TSystemTime;
using namespace std::string_literals;

TEST(UnExtlibs, AddCheckSumAppendsLowByteFirst)
{
  const std::string digits = "123456789";
  EXPECT_EQ(AddCheckSum(digits, 1), digits + "\x37\x4B");
  EXPECT_EQ(AddCheckSum(digits, 3), digits + "\xDD");
  EXPECT_EQ(AddCheckSum("abc", 2), "abc\xD6\x9D");
  EXPECT_EQ(AddCheckSum(digits, 0), digits);
  EXPECT_EQ(AddCheckSum(digits, 6), digits);
  for (TCheckSumType type = 0; type <= 6; ++type)
    EXPECT_EQ(AddCheckSum("", type), "") << int(type);
}

TEST(UnExtlibs, TestCheckSumRoundTripsAndFindPrefersCrc)
{
  const std::string samples[] = {
      "\x00"s, "1", "123456789", "\x01\x08\x03"s, std::string(512, '\xFF'), "\xCA\x03\x00\x01\x02"s};
  for (TCheckSumType type = 1; type <= 5; ++type) {
    for (const std::string &s : samples) {
      const std::string framed = AddCheckSum(s, type);
      EXPECT_EQ(framed.size(), s.size() + static_cast<std::size_t>(BytesInCheckSum(type)));
      EXPECT_TRUE(TestCheckSum(framed, type)) << int(type) << " " << StrToHex(s, " ");
      std::string broken = framed;
      broken.back() = static_cast<char>(broken.back() ^ 0x10);
      EXPECT_FALSE(TestCheckSum(broken, type)) << int(type);
    }
  }
  EXPECT_FALSE(TestCheckSum("", 0));
  EXPECT_FALSE(TestCheckSum("", 1));
  EXPECT_EQ(FindCheckSumType(""), 0);
  EXPECT_EQ(FindCheckSumType(AddCheckSum("123456789", 1)), 1);
  EXPECT_EQ(FindCheckSumType(AddCheckSum("\x11\x22\x33\x44\x55"s, 5)), 5);
  // 00 40 + CRC 00 40: its 8-bit sum verifies too, the CRC wins.
  const std::string both = AddCheckSum("\x00\x40"s, 1);
  EXPECT_EQ(both, "\x00\x40\x00\x40"s);
  EXPECT_TRUE(TestCheckSum(both, 3));
  EXPECT_EQ(FindCheckSumType(both), 1);
}

TEST(UnExtlibs, SystemTimeToBCD)
{
  // Sunday 2024-03-10 09:05:07
  TSystemTime t{.wYear = 2024,
                .wMonth = 3,
                .wDayOfWeek = 0,
                .wDay = 10,
                .wHour = 9,
                .wMinute = 5,
                .wSecond = 7,
                .wMilliseconds = 876};
  TMeterClock clock{};
  SystemTimeToBCD(t, clock);
  EXPECT_EQ(clock, (TMeterClock{0x07, 0x05, 0x09, 0x07, 0x10, 0x03, 0x24, 0xFF}));

  // Wednesday 2099-12-31 23:59:58
  t = TSystemTime{
      .wYear = 2099, .wMonth = 12, .wDayOfWeek = 3, .wDay = 31, .wHour = 23, .wMinute = 59, .wSecond = 58};
  SystemTimeToBCD(t, clock);
  EXPECT_EQ(clock, (TMeterClock{0x58, 0x59, 0x23, 0x03, 0x31, 0x12, 0x99, 0xFF}));
}

TEST(UnExtlibs, TimeToStrMsPadsMilliseconds)
{
  const platform::TTimeLocale c("C");
  TSystemTime t{
      .wYear = 2024, .wMonth = 1, .wDayOfWeek = 2, .wDay = 2, .wHour = 12, .wMinute = 34, .wSecond = 56};
  const std::pair<int, const char *> cases[] = {{0, "12:34:56:000"},
                                                {7, "12:34:56:007"},
                                                {45, "12:34:56:045"},
                                                {100, "12:34:56:100"},
                                                {999, "12:34:56:999"}};
  for (const auto &[ms, text] : cases) {
    t.wMilliseconds = static_cast<std::uint16_t>(ms);
    EXPECT_EQ(TimeToStrMs(t, c), text);
  }
  // The user's locale: whatever its format, the stamp ends in the milliseconds.
  t.wMilliseconds = 5;
  const std::string user = TimeToStrMs(t);
  ASSERT_GE(user.size(), 4u);
  EXPECT_EQ(user.substr(user.size() - 4), ":005");
}

TEST(UnExtlibs, HexRenderings)
{
  EXPECT_EQ(StrToHex("\x01\xAB"s, " "), "01 AB ");
  EXPECT_EQ(StrToHex("\x00"s, "."), "00.");
  EXPECT_EQ(StrToHex("\x01\x02\x03"s, "."), "01.02.03.");
  EXPECT_EQ(StrToHex("\x0f\xf0"s, ""), "0FF0");
  EXPECT_EQ(StrToHex("\xde\xad"s, ", "), "DE, AD, ");
  EXPECT_EQ(StrToHex("", " "), "");
  // Past 65535 bytes every byte is still converted.
  const std::string big(70000, '\x5A');
  const std::string hex = StrToHex(big, "");
  EXPECT_EQ(hex.size(), 140000u);
  EXPECT_EQ(hex.substr(hex.size() - 4), "5A5A");

  EXPECT_EQ(StrToHexLiterals("\x0A\xFF"s), "#$0A#$FF");
  EXPECT_EQ(StrToHexLiterals("\x00"s), "#$00");
  EXPECT_EQ(StrToHexLiterals(""), "");
}

TEST(UnExtlibs, BufToStrCopiesCountBytes)
{
  const char buf[] = {'a', '\0', 'b', '\xFF'};
  EXPECT_EQ(BufToStr(buf, 4), "a\0b\xFF"s);
  EXPECT_EQ(BufToStr(buf, 0), "");
  EXPECT_EQ(BufToStr(nullptr, -3), "");
}

TEST(UnExtlibs, FitStrBothAlignments)
{
  EXPECT_EQ(FitStr("AB", 6, '0', false), "AB0000");
  EXPECT_EQ(FitStr("AB", 6, '0', true), "0000AB");
  EXPECT_EQ(FitStr("ABCDEFGH", 6, '0', false), "ABCDEF");
  EXPECT_EQ(FitStr("ABCDEFGH", 6, '0', true), "CDEFGH");
  EXPECT_EQ(FitStr("ABCDEF", 6, '0', true), "ABCDEF");
  EXPECT_EQ(FitStr("", 3, '*', true), "***");
  EXPECT_EQ(FitStr("AB", 0, '0', false), "");
  EXPECT_EQ(FitStr("AB", -4, '0', true), "");
  EXPECT_EQ(FitStr("abc", 16, '\0', false), "abc" + std::string(13, '\0'));
}

TEST(UnExtlibs, PortBusyTextFormatsThePortNumber)
{
  char text[128];
  std::snprintf(text, sizeof text, SComPortBusy, 12);
  EXPECT_EQ(std::string(text), platform::Utf8ToCp1251(" Порт COM12 занят или не существует"));
}
