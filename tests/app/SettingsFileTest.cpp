// The settings file at the edges: names that are not valid UTF-8, and a
// stored window size larger than the screen.
#include "AppTestSupport.h"

#include "app/MainForm.h"

#include <QScreen>
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <set>
#include <string>

extern char **environ;

using namespace apptest;
namespace fs = std::filesystem;

namespace {

std::set<std::string> NamesIn(const fs::path &Folder)
{
  std::set<std::string> Names;
  for (const fs::directory_entry &Entry : fs::directory_iterator(Folder))
    Names.insert(Entry.path().filename().string());
  return Names;
}

// Runs the program (with Arg, when given) until it has written IniFile back
// at start-up: written with LF line ends, it comes back with CR LF.
void ExpectStartUpWriteBack(std::string Program, std::string Arg, const std::string &IniFile)
{
  WriteFile(IniFile, "[Server]\nPort=0\n"); // a free port
  char *Argv[] = {Program.data(), Arg.empty() ? nullptr : Arg.data(), nullptr};
  pid_t Pid = -1;
  ASSERT_EQ(::posix_spawn(&Pid, Argv[0], nullptr, nullptr, Argv, environ), 0);
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(IniFile) == "[Server]\r\nPort=0\r\n"; }, std::chrono::seconds(30)))
    << IniFile;
  ::kill(Pid, SIGKILL);
  ::waitpid(Pid, nullptr, 0);
}

} // namespace

TEST(SettingsFile, NamesThatAreNotUtf8AreUsedAsTheyAre)
{
  const TTempDir Dir;
  // Named on the command line (a Latin-1 or Windows-1251 name): no other file is made.
  ExpectStartUpWriteBack(QUORLAN2_PROGRAM, Dir.File("set\xE9.ini"), Dir.File("set\xE9.ini"));
  EXPECT_EQ(NamesIn(Dir.Path()), std::set<std::string>{"set\xE9.ini"});

  // Beside the program, in a folder of such a name.
  const fs::path Folder = Dir.File("bin\xE9");
  fs::create_directory(Folder);
  for (const fs::directory_entry &Entry : fs::directory_iterator(fs::path(QUORLAN2_PROGRAM).parent_path()))
    if (const std::string Name = Entry.path().filename().string();
        Name == "Quorlan2" || Name.rfind("libpellaxa.so", 0) == 0)
      fs::copy(Entry.path(), Folder / Name, fs::copy_options::copy_symlinks);
  ExpectStartUpWriteBack((Folder / "Quorlan2").string(), {}, (Folder / "Quorlan2.INI").string());
  EXPECT_EQ(NamesIn(Dir.Path()), (std::set<std::string>{"bin\xE9", "set\xE9.ini"}));
}

TEST(SettingsFile, StoredWindowSizeIsHeldToTheScreen)
{
  const TTempDir Dir;
  WriteFile(Dir.File("q.ini"), "[Main]\r\nHeight=32767\r\nWidth=2147483647\r\n");
  const app::TForm1 Form(Dir.File("q.ini"));
  const QSize Screen = Form.screen()->availableGeometry().size();
  EXPECT_EQ(Form.height(), Screen.height());
  EXPECT_EQ(Form.width(), Screen.width());
}
