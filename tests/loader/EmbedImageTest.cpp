// The build's image tool: a good source unit becomes a source with the bytes
// and the version; a broken unit or an image of the wrong size stops it,
// naming the file, and leaves its output as it was.
#include "loader/BuiltinImages.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

using loader_test::ReadFile;
using loader_test::TTempDir;
using loader_test::WriteFile;

namespace {

struct TRun {
  int Exit;
  std::string Errors;
};

TRun Embed(const TTempDir &Dir, const std::string &Image)
{
  const std::string Command = std::string("'") + QUORLAN2_EMBEDIMAGE + "' '" + Image + "' '" +
                              (Dir / "out.cpp") + "' 2>'" + (Dir / "errors") + "'";
  const int Status = std::system(Command.c_str());
  return {WIFEXITED(Status) ? WEXITSTATUS(Status) : -1, ReadFile(Dir / "errors")};
}

std::string SourceUnit(const std::string &Bytes, const std::string &File)
{
  loader::TExtDumpMem Image(0);
  Image.LoadFromStr(Bytes);
  Image.SaveToFile(File);
  return ReadFile(File);
}

} // namespace

TEST(EmbedImage, ASavedUnitBecomesTheImageAndItsVersion)
{
  const TTempDir Dir;
  std::string Bytes(loader::BuiltinImages()[0].UserData);
  Bytes.replace(0x5000, 3, "\x34\x00\x36", 3);
  SourceUnit(Bytes, Dir / "UsrD_v7a.pas");
  const TRun Run = Embed(Dir, Dir / "UsrD_v7a.pas");
  EXPECT_EQ(Run.Exit, 0) << Run.Errors;
  const std::string Source = ReadFile(Dir / "out.cpp");
  EXPECT_NE(Source.find("UsrD_v7a_version[VersionSize] = \"34.00.36.\";"), std::string::npos);
  EXPECT_NE(Source.find("0x34,0x00,0x36,"), std::string::npos);

  // The build runs it every time: an output that holds the same is left
  // alone, so that nothing is compiled again.
  const auto Old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24 * 365);
  std::filesystem::last_write_time(Dir / "out.cpp", Old);
  EXPECT_EQ(Embed(Dir, Dir / "UsrD_v7a.pas").Exit, 0);
  EXPECT_EQ(std::filesystem::last_write_time(Dir / "out.cpp"), Old);
}

TEST(EmbedImage, ABrokenUnitOrAWrongSizeStopsItNamingTheFile)
{
  const TTempDir Dir;
  WriteFile(Dir / "out.cpp", "old");
  WriteFile(Dir / "UsrD_v7c.bin", std::string(1000, '\x11'));
  TRun Run = Embed(Dir, Dir / "UsrD_v7c.bin");
  EXPECT_NE(Run.Exit, 0);
  EXPECT_NE(Run.Errors.find(Dir / "UsrD_v7c.bin" + ": the image is 1000 bytes long"), std::string::npos)
      << Run.Errors;

  std::string Text = SourceUnit(std::string(loader::DumpMemSize, '\x22'), Dir / "UsrD_v7b.pas");
  Text.replace(Text.find("#$22"), 4, "#$2G"); // in line 11, the first data line
  WriteFile(Dir / "UsrD_v7b.pas", Text);
  Run = Embed(Dir, Dir / "UsrD_v7b.pas");
  EXPECT_NE(Run.Exit, 0);
  EXPECT_NE(Run.Errors.find(Dir / "UsrD_v7b.pas" + ":11: "), std::string::npos) << Run.Errors;

  EXPECT_EQ(ReadFile(Dir / "out.cpp"), "old") << "a failed run leaves its output as it was";
  EXPECT_FALSE(std::filesystem::exists(Dir / "out.cpp.part"));
}
