// The source unit read back: what the save action writes gives the image's
// bytes again, and any other text is refused with the line that is wrong.
#include "loader/BuiltinImages.h"
#include "loader/SourceUnit.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using loader::ESourceUnitError;
using loader::ReadSourceUnit;
using loader_test::ReadFile;
using loader_test::TTempDir;

namespace {

std::vector<std::string> Lines(const std::string &Text)
{
  std::vector<std::string> Result;
  for (std::size_t At = 0; At < Text.size();) {
    const std::size_t End = Text.find("\r\n", At);
    Result.push_back(Text.substr(At, End - At));
    At = End + 2;
  }
  return Result;
}

std::string Joined(const std::vector<std::string> &Lines, const std::string &End = "\r\n")
{
  std::string Text;
  for (const auto &Line : Lines)
    Text += Line + End;
  return Text;
}

// The 1-based line ReadSourceUnit refuses Text at; 0 when it takes it.
int RefusedAt(const std::string &Text, const std::string &FileName = "UsrD_v7c.pas")
{
  try {
    ReadSourceUnit(Text, FileName);
  } catch (const ESourceUnitError &Error) {
    EXPECT_NE(std::string(Error.what()), "");
    return Error.Line();
  }
  return 0;
}

} // namespace

TEST(SourceUnit, WhatTheSaveActionWritesReadsBackAsTheSameBytes)
{
  const TTempDir Dir;
  const std::string Bytes(loader::BuiltinImages()[2].UserData);
  loader::TExtDumpMem Image(0);
  Image.LoadFromStr(Bytes);
  Image.SaveToFile(Dir / "UsrD_v7c.pas");
  const std::string Text = ReadFile(Dir / "UsrD_v7c.pas");
  EXPECT_EQ(ReadSourceUnit(Text, Dir / "UsrD_v7c.pas"), Bytes);

  // Line ends turned into LF alone, and a header written under other
  // regional settings.
  std::vector<std::string> Unit = Lines(Text);
  EXPECT_EQ(ReadSourceUnit(Joined(Unit, "\n"), "UsrD_v7c.pas"), Bytes);
  Unit[0] = "Unit UsrD_v7c.pas;// Date: 2024-02-29 11:59:58 PM";
  EXPECT_EQ(ReadSourceUnit(Joined(Unit), "UsrD_v7c.pas"), Bytes);

  EXPECT_EQ(ReadSourceUnit(loader::SourceUnitText("", "UsrD_v7c.pas", "d", "t"), "UsrD_v7c.pas"), "");
}

TEST(SourceUnit, AnyOtherTextIsRefusedWithTheLineThatIsWrong)
{
  std::string Bytes;
  for (int i = 0; i < 64; ++i)
    Bytes += static_cast<char>(i * 4);
  // Lines 11 to 14 hold the data, line 22 is "end.".
  const std::vector<std::string> Good =
      Lines(loader::SourceUnitText(Bytes, "UsrD_v7c.pas", "1.2.24", "3:04:05"));
  ASSERT_EQ(Good.size(), 22u);
  ASSERT_EQ(RefusedAt(Joined(Good)), 0);

  EXPECT_EQ(RefusedAt(Joined(Good), "/images/UsrD_v7b.pas"), 1) << "a unit renamed to another image's file";
  const auto Changed = [&Good](std::size_t Line, const std::string &Text) {
    std::vector<std::string> Unit = Good;
    Unit[Line - 1] = Text;
    return Joined(Unit);
  };
  EXPECT_EQ(RefusedAt(Changed(1, "Unit UsrD_v7c.pas; // Date: 1.2.24 3:04:05")), 1);
  EXPECT_EQ(RefusedAt(Changed(3, "interface")), 3);
  EXPECT_EQ(RefusedAt(Changed(12, Good[11].substr(0, 62) + "0f+")), 12) << "lower-case hex";
  EXPECT_EQ(RefusedAt(Changed(12, Good[11].substr(0, 64) + ";")), 13) << "data after the last line";
  EXPECT_EQ(RefusedAt(Changed(14, Good[13].substr(0, 64) + "+")), 14) << "the last data line must end in ;";
  EXPECT_EQ(RefusedAt(Changed(16, Good[15] + "\r")), 16) << "a stray CR";
  EXPECT_EQ(RefusedAt(Joined(Good) + "\r\n"), 23) << "nothing after end.";
  EXPECT_EQ(RefusedAt(Joined({Good.begin(), Good.begin() + 13})), 14) << "cut short";
}
