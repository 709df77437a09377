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
#include <vector>

extern char **environ;

using namespace apptest;
namespace fs = std::filesystem;

namespace {

// The program, run with the given arguments until the object goes.
class TProgram {
public:
  TProgram(std::string Path, std::vector<std::string> Args) : FArgs(std::move(Args))
  {
    FArgs.insert(FArgs.begin(), std::move(Path));
    std::vector<char *> Argv;
    for (std::string &Arg : FArgs)
      Argv.push_back(Arg.data());
    Argv.push_back(nullptr);
    if (::posix_spawn(&FPid, Argv[0], nullptr, nullptr, Argv.data(), environ) != 0)
      FPid = -1;
  }
  ~TProgram()
  {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
  }
  TProgram(const TProgram &) = delete;
  TProgram &operator=(const TProgram &) = delete;
  bool Started() const { return FPid > 0; }

private:
  std::vector<std::string> FArgs;
  pid_t FPid = -1;
};

std::set<std::string> NamesIn(const std::string &Folder)
{
  std::set<std::string> Names;
  for (const fs::directory_entry &Entry : fs::directory_iterator(Folder))
    Names.insert(Entry.path().filename().string());
  return Names;
}

// Starts the program and waits until it has written its settings file back
// at start-up: the file is written with LF line ends and comes back with CR LF.
void ExpectStartUpWriteBack(const std::string &Program, const std::vector<std::string> &Args,
                            const std::string &IniFile)
{
  WriteFile(IniFile, "[Server]\nPort=0\n"); // a free port
  const TProgram Running(Program, Args);
  ASSERT_TRUE(Running.Started());
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(IniFile) == "[Server]\r\nPort=0\r\n"; }, std::chrono::seconds(30)))
    << IniFile;
}

} // namespace

TEST(SettingsFile, NamesThatAreNotUtf8AreUsedAsTheyAre)
{
  const TTempDir Dir;
  // Named on the command line (a Latin-1 or Windows-1251 name).
  const std::string Named = Dir.File("set\xE9.ini");
  ExpectStartUpWriteBack(QUORLAN2_PROGRAM, {Named}, Named);
  EXPECT_EQ(NamesIn(Dir.Path()), std::set<std::string>{"set\xE9.ini"}); // no other file made

  // Beside the program, in a folder of such a name.
  const fs::path Folder = Dir.File("bin\xE9");
  fs::create_directory(Folder);
  for (const fs::directory_entry &Entry : fs::directory_iterator(fs::path(QUORLAN2_PROGRAM).parent_path())) {
    const std::string Name = Entry.path().filename().string();
    if (Name != "Quorlan2" && Name.rfind("libpellaxa.so", 0) != 0)
      continue;
    std::error_code Error;
    fs::create_hard_link(Entry.path(), Folder / Name, Error);
    if (Error)
      fs::copy_file(Entry.path(), Folder / Name); // a link is a file here too
  }
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
