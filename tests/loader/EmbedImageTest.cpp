// The build's image tool: a good source unit becomes a source with the bytes
// and the version; a broken unit, an image of the wrong size or a file that
// cannot hold an image stops it at once, naming the file, and leaves its
// output as it was.
#include "loader/BuiltinImages.h"
#include "TempDir.h"
#include "support/WaitUntil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>

extern char **environ;

using loader_test::ReadFile;
using loader_test::TTempDir;
using loader_test::WriteFile;

namespace {

struct TRun {
  int Exit; // -1: killed, or ended by a signal
  std::string Errors;
};

// Runs the tool as the build does; one that has not ended within the time-out
// is killed, so that a tool that hangs fails the test instead of stopping it.
TRun Embed(const TTempDir &Dir, const std::string &Image)
{
  std::string Tool = QUORLAN2_EMBEDIMAGE, Output = Dir / "out.cpp";
  char *Argv[] = {Tool.data(), const_cast<char *>(Image.c_str()), Output.data(), nullptr};
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_addopen(&Actions, 2, (Dir / "errors").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t Pid = -1;
  const int Error = ::posix_spawn(&Pid, Argv[0], &Actions, nullptr, Argv, environ);
  posix_spawn_file_actions_destroy(&Actions);
  if (Error != 0)
    return {-1, "cannot start the tool"};
  int Status = 0;
  if (!WaitUntil([&] { return ::waitpid(Pid, &Status, WNOHANG) == Pid; }, std::chrono::seconds(10))) {
    ::kill(Pid, SIGKILL);
    ::waitpid(Pid, nullptr, 0);
    return {-1, "the tool did not end within 10 s"};
  }
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

// A FIFO would block the build, a device feed it without end, a huge file
// take all its memory: each is refused before it is read.
TEST(EmbedImage, AFileThatCannotHoldAnImageIsRefusedAtOnceNamingIt)
{
  const TTempDir Dir;
  ASSERT_EQ(::mkfifo((Dir / "UsrD_v7b.bin").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", Dir / "UsrD_v7a.bin");
  WriteFile(Dir / "UsrD_v7c.pas", "");
  std::filesystem::resize_file(Dir / "UsrD_v7c.pas", std::uintmax_t{2} << 30); // sparse
  for (const char *Name : {"UsrD_v7b.bin", "UsrD_v7a.bin", "UsrD_v7c.pas"}) {
    const TRun Run = Embed(Dir, Dir / Name);
    EXPECT_GT(Run.Exit, 0) << Name << ": " << Run.Errors;
    EXPECT_NE(Run.Errors.find(Dir / Name + ": "), std::string::npos) << Run.Errors;
  }
}
