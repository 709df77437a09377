#include "platform/Cp1251.h"

#include <gtest/gtest.h>

using platform::Cp1251ToUtf8;
using platform::Utf8ToCp1251;

TEST(Cp1251, ConvertsCyrillicBothWays)
{
  const std::string bytes = "\xCF\xF0\xE8\xE1\xEE\xF0 \xED\xE5 \xEE\xF2\xE2\xE5\xF7\xE0\xE5\xF2";
  const std::string utf8 = "Прибор не отвечает";
  EXPECT_EQ(Cp1251ToUtf8(bytes), utf8);
  EXPECT_EQ(Utf8ToCp1251(utf8), bytes);
  EXPECT_EQ(Cp1251ToUtf8("\xA8\xB8\xB9"), "Ёё№");
}

TEST(Cp1251, EveryByteSurvivesTheRoundTripButTheUnassignedOne)
{
  for (int b = 1; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    if (b == 0x98) {
      EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(one)), "?");
      continue;
    }
    EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(one)), one) << b;
  }
}

TEST(Cp1251, UnmappableAndBrokenInputBecomesQuestionMarks)
{
  EXPECT_EQ(Utf8ToCp1251("a\xE4\xB8\xAD"
                         "b"),
            "a?b");                       // a CJK character
  EXPECT_EQ(Utf8ToCp1251("a\xC3"), "a?"); // truncated sequence
  EXPECT_EQ(Utf8ToCp1251("\xFF"), "?");
}
