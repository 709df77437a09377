// The settings file at the edges: names that are not valid UTF-8, a window
// larger than the screen, values out of every range, a name that is no
// regular file, a file too large to hold, and the answer time-out of a TCP
// row.
#include "AppTestSupport.h"

#include "app/MainForm.h"
#include "platform/IniFile.h"

#include <QHeaderView>
#include <QScreen>
#include <QSplitter>
#include <QTreeWidget>
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
  EXPECT_TRUE(
      WaitUntil([&] { return ReadFile(IniFile) == "[Server]\r\nPort=0\r\n"; }, std::chrono::seconds(30)))
      << IniFile;
  ::kill(Pid, SIGKILL);
  ::waitpid(Pid, nullptr, 0);
}

} // namespace

TEST(SettingsFile, NamesThatAreNotUtf8AreUsedAsTheyAre)
{
  const TTempDir Dir;
  // Named on the command line (a Latin-1 or Windows-1251 name): no other
  // file is made but its lock file, which the killed program leaves.
  ExpectStartUpWriteBack(QUORLAN2_PROGRAM, Dir.File("set\xE9.ini"), Dir.File("set\xE9.ini"));
  EXPECT_EQ(NamesIn(Dir.Path()), (std::set<std::string>{"set\xE9.ini", "set\xE9.ini.lock"}));

  // Beside the program, in a folder of such a name.
  const fs::path Folder = Dir.File("bin\xE9");
  fs::create_directory(Folder);
  for (const fs::directory_entry &Entry : fs::directory_iterator(fs::path(QUORLAN2_PROGRAM).parent_path()))
    if (const std::string Name = Entry.path().filename().string();
        Name == "Quorlan2" || Name.rfind("libpellaxa.so", 0) == 0)
      fs::copy(Entry.path(), Folder / Name, fs::copy_options::copy_symlinks);
  ExpectStartUpWriteBack((Folder / "Quorlan2").string(), {}, (Folder / "Quorlan2.INI").string());
  EXPECT_EQ(NamesIn(Dir.Path()), (std::set<std::string>{"bin\xE9", "set\xE9.ini", "set\xE9.ini.lock"}));
  EXPECT_TRUE(fs::exists(Folder / "Quorlan2.INI.lock"));
}

TEST(SettingsFile, WindowSizeStoredAndRestoredFitsTheScreen)
{
  const TTempDir Dir;
  const std::string Ini = Dir.File("q.ini");
  WriteFile(Ini, "[Main]\r\nHeight=32767\r\nWidth=2147483647\r\n");
  auto Form = std::make_unique<app::TForm1>(Ini);
  Form->show();
  const QSize Screen = Form->screen()->availableGeometry().size();
  // Once shown, its frame (the window system's part) fits the screen too.
  EXPECT_TRUE(WaitUntil([&] { return Form->frameGeometry().size() == Screen; }))
      << Form->frameGeometry().width() << "x" << Form->frameGeometry().height();
  const QSize Frame = Form->frameGeometry().size() - Form->size();

  // Made larger than the screen and closed: the size stored is the one that fits.
  Form->resize(3000, 2000);
  ASSERT_TRUE(Form->close());
  Form.reset();
  const platform::IniFile Stored(Ini);
  EXPECT_EQ(Stored.ReadInteger("Main", "Width", 0), Screen.width() - Frame.width());
  EXPECT_EQ(Stored.ReadInteger("Main", "Height", 0), Screen.height() - Frame.height());
}

// Values no window could have are held to the screen, a host name longer
// than any reads as the default; nothing overflows.
TEST(SettingsFile, ValuesOutOfRangeAreBounded)
{
  const TTempDir Dir;
  const std::string Longest(253, 'h');
  WriteFile(Dir.File("q.ini"),
            "[Main]\r\nHeight=-2147483648\r\nWidth=-2147483648\r\nPanel1.Height=-2147483648\r\n"
            "Column[0]=2147483647\r\nColumn[1]=-2147483648\r\nCount=2\r\n"
            "[Objects(0)]\r\nTCPIP.IP=" +
                Longest +
                "\r\n"
                "[Objects(1)]\r\nTCPIP.IP=" +
                Longest + "h\r\n");
  const app::TForm1 Form(Dir.File("q.ini"));
  const int Screen = Form.screen()->availableGeometry().width();
  EXPECT_GE(Form.height(), 0);
  EXPECT_GE(Form.width(), 0);
  EXPECT_EQ(Form.ListView1->columnWidth(0), Screen);
  EXPECT_EQ(Form.ListView1->columnWidth(1), Form.ListView1->header()->minimumSectionSize());
  ASSERT_EQ(Form.RowCount(), 2);
  EXPECT_EQ(Form.Row(0)->Data()->TcpHost(), Longest);
  EXPECT_EQ(Form.Row(1)->Data()->TcpHost(), "127.0.0.1");

  WriteFile(Dir.File("q.ini"), "[Main]\r\nHeight=400\r\nPanel1.Height=2147483647\r\n");
  const app::TForm1 Tall(Dir.File("q.ini"));
  const QList<int> Sizes = Tall.Splitter1->sizes();
  EXPECT_LE(Sizes.value(0) + Sizes.value(1), 400);
}

// A settings file larger than any the program writes is refused at start,
// and the close, whose write would lose it, leaves it as it is.
TEST(SettingsFile, FileTooLargeIsRefusedAndKept)
{
  const TTempDir Dir;
  const std::string Ini = Dir.File("q.ini");
  const std::string Head = "[Main]\r\nCount=2\r\n";
  const std::string Text = Head + std::string(platform::IniFile::MaxFileSize + 1 - Head.size(), ';');
  WriteFile(Ini, Text);
  TMessageBoxCatcher Boxes(QMessageBox::Yes);
  auto Form = std::make_unique<app::TForm1>(Ini);
  ASSERT_EQ(Boxes.Texts().size(), 1);
  EXPECT_TRUE(Boxes.Texts()[0].contains("16 MiB")) << Boxes.Texts()[0].toStdString();
  EXPECT_EQ(Form->RowCount(), 0);
  Form->show();
  EXPECT_TRUE(Form->close()); // asked, and closed without saving
  EXPECT_EQ(Boxes.Texts().size(), 2);
  EXPECT_TRUE(ReadFile(Ini) == Text);
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
