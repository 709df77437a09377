// The settings file at the edges: names that are not valid UTF-8, a stored
// window size larger than the screen, a name that is no regular file, and
// the answer time-out of a TCP row.
#include "AppTestSupport.h"

#include "app/MainForm.h"

#include <QScreen>
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <memory>
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

TEST(SettingsFile, APipeAsSettingsFileIsRefusedWithoutBlocking)
{
  const TTempDir Dir;
  const std::string Fifo = Dir.File("fifo.ini");
  ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
  TMessageBoxCatcher Boxes;
  auto Form = std::make_unique<app::TForm1>(Fifo);
  ASSERT_EQ(Boxes.Texts().size(), 1);
  EXPECT_TRUE(Boxes.Texts()[0].contains("not a regular file")) << Boxes.Texts()[0].toStdString();
  EXPECT_EQ(Form->RowCount(), 0);
  Form->show();
  Form->close(); // whatever the close makes of it, it does not wait for a writer
  ASSERT_EQ(Boxes.Texts().size(), 2);
  EXPECT_TRUE(Boxes.Texts()[1].contains("not a regular file")) << Boxes.Texts()[1].toStdString();
  EXPECT_EQ(fs::status(Fifo).type(), fs::file_type::fifo);
}

TEST(SettingsFile, ATcpRowWaitsForAnswersAsLongAsItsStoredAnswerTimeOut)
{
  const TTempDir Dir;
  const std::string Ini = Dir.File("q.ini");
  WriteFile(Ini, "[Main]\r\nCount=2\r\n[Objects(0)]\r\nType=0\r\nAnswerTimeOut=3000\r\n");
  for (int Start = 0; Start < 2; ++Start) { // as read, and after the close wrote it back
    SCOPED_TRACE(Start);
    auto Form = std::make_unique<app::TForm1>(Ini);
    ASSERT_EQ(Form->RowCount(), 2);
    EXPECT_EQ(Form->Row(0)->Data()->FDevice->FInfo->GetParam(rpAnswerTimeOut), 3000);
    EXPECT_EQ(Form->Row(0)->Data()->FTcpClient->ReadTimeout, 3000);
    // A section without one keeps the window's own wait at first; the close
    // then stores the 500 that the row shows, and that holds from then on.
    EXPECT_EQ(Form->Row(1)->Data()->FTcpClient->ReadTimeout, Start == 0 ? 20000 : 500);
    Form->close();
  }
  // What the close wrote: the one time-out for both.
  EXPECT_NE(ReadFile(Ini).find("[Objects(0)]\r\nNetAdr=\r\nCOM=1\r\nBaudRate=9600\r\nParity=1\r\n"
                               "AnswerTimeOut=3000\r\n"),
            std::string::npos);
}
