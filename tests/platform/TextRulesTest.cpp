#include "platform/TextRules.h"

#include <gtest/gtest.h>

using platform::SplitCommaText;
using Items = std::vector<std::string>;

TEST(CommaText, SplitsPlainQuotedAndEmptyItems)
{
  EXPECT_EQ(SplitCommaText(""), Items{});
  EXPECT_EQ(SplitCommaText("   "), Items{});
  EXPECT_EQ(SplitCommaText("1,2,3"), (Items{"1", "2", "3"}));
  EXPECT_EQ(SplitCommaText("  1 , 2\t,3  "), (Items{"1", "2", "3"}));
  // Two words separated by a blank are two items; two commas leave an empty one.
  EXPECT_EQ(SplitCommaText("a b"), (Items{"a", "b"}));
  EXPECT_EQ(SplitCommaText("a,,b"), (Items{"a", "", "b"}));
  // Only a comma that is the very last character adds an empty item.
  EXPECT_EQ(SplitCommaText("a,"), (Items{"a", ""}));
  EXPECT_EQ(SplitCommaText("a, "), (Items{"a"}));
  EXPECT_EQ(SplitCommaText(","), (Items{"", ""}));
}

TEST(CommaText, QuotedItemsKeepBlanksAndCommasAndUndoubleQuotes)
{
  EXPECT_EQ(SplitCommaText("\"1, 2\",3"), (Items{"1, 2", "3"}));
  EXPECT_EQ(SplitCommaText("\"say \"\"hi\"\"\""), (Items{"say \"hi\""}));
  // Text right after a closing quote starts an item of its own.
  EXPECT_EQ(SplitCommaText("\"ab\"cd,e"), (Items{"ab", "cd", "e"}));
  // An unterminated quote runs to the end of the text.
  EXPECT_EQ(SplitCommaText("\"abc"), (Items{"abc"}));
  EXPECT_EQ(SplitCommaText("\"\",x"), (Items{"", "x"}));
  // Log lines: each in quotes, a TAB inside stays, quotes are not doubled.
  EXPECT_EQ(SplitCommaText("\"\tline 1\",\"\tline 2\""), (Items{"\tline 1", "\tline 2"}));
}

TEST(CommaText, BytesAboveAsciiAreOrdinaryCharactersAndNulEndsTheText)
{
  const std::string cyrillic = "\xC2\xCD\xC8\xCC\xC0\xCD\xC8\xC5"; // a word in Windows-1251
  EXPECT_EQ(SplitCommaText(cyrillic + ",x"), (Items{cyrillic, "x"}));
  EXPECT_EQ(SplitCommaText(std::string("a,b\0,c", 6)), (Items{"a", "b"}));
}

TEST(IntegerText, DecimalAndHexadecimalForms)
{
  std::int32_t v = 0;
  EXPECT_TRUE(platform::TryStrToInt("42", v));
  EXPECT_EQ(v, 42);
  EXPECT_TRUE(platform::TryStrToInt("   -17", v));
  EXPECT_EQ(v, -17);
  EXPECT_TRUE(platform::TryStrToInt("+5", v));
  EXPECT_EQ(v, 5);
  for (const char *text : {"$1F", "x1f", "X1F", "0x1F", "0X1f"}) {
    EXPECT_TRUE(platform::TryStrToInt(text, v)) << text;
    EXPECT_EQ(v, 31) << text;
  }
  EXPECT_TRUE(platform::TryStrToInt("-$10", v));
  EXPECT_EQ(v, -16);
  EXPECT_TRUE(platform::TryStrToInt("$FFFFFFFF", v));
  EXPECT_EQ(v, -1);
  EXPECT_TRUE(platform::TryStrToInt("2147483647", v));
  EXPECT_EQ(v, 2147483647);
  EXPECT_TRUE(platform::TryStrToInt("-2147483648", v));
  EXPECT_EQ(v, INT32_MIN);
}

TEST(IntegerText, RejectsEverythingElse)
{
  std::int32_t v = 7;
  for (const char *text : {"", " ", "-", "$", "0x", "12 ", "1.5", "12a", "\t12", "2147483648", "-2147483649",
                           "$100000000", "0x1G", "--1", "1e3"}) {
    EXPECT_FALSE(platform::TryStrToInt(text, v)) << '"' << text << '"';
  }
  EXPECT_EQ(v, 7);
  EXPECT_EQ(platform::StrToIntDef("junk", -1), -1);
  EXPECT_EQ(platform::StrToIntDef("9111", -1), 9111);
}

TEST(IntegerText, SixtyFourBitVariantHasTheWiderRange)
{
  std::int64_t v = 0;
  EXPECT_TRUE(platform::TryStrToInt64("4294967296", v));
  EXPECT_EQ(v, 4294967296LL);
  EXPECT_TRUE(platform::TryStrToInt64("$FFFFFFFFFFFFFFFF", v));
  EXPECT_EQ(v, -1);
  EXPECT_TRUE(platform::TryStrToInt64("-9223372036854775808", v));
  EXPECT_EQ(v, INT64_MIN);
  EXPECT_FALSE(platform::TryStrToInt64("9223372036854775808", v));
  EXPECT_FALSE(platform::TryStrToInt64("$10000000000000000", v));
}

TEST(Trim, RemovesBlanksAndControlCharactersAtBothEnds)
{
  EXPECT_EQ(platform::Trim("\r\n GET STATUS \r\n"), "GET STATUS");
  EXPECT_EQ(platform::Trim(std::string_view("\0x\0", 3)), "x");
  EXPECT_EQ(platform::Trim(" \t "), "");
}
