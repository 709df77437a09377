#include "platform/TextFormat.h"

#include <gtest/gtest.h>

#include <string>

// A format's text comes whole, however long (no fixed buffer cuts it), and
// bytes of a Windows-1251 text pass unchanged.
TEST(TextFormat, GivesTheWholeText)
{
  EXPECT_EQ(platform::Format("COM%d busy", 12), "COM12 busy");
  EXPECT_EQ(platform::Format("%lld of %d", 4096LL, -1), "4096 of -1");
  EXPECT_EQ(platform::Format("\xCF\xEE\xF0\xF2 %s", "\xFF"), "\xCF\xEE\xF0\xF2 \xFF");
  const std::string Long(3000, 'x');
  EXPECT_EQ(platform::Format("[%s]", Long.c_str()), "[" + Long + "]");
  EXPECT_EQ(platform::Format("%s", ""), "");
}
