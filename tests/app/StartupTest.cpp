// The window's start-up from the settings file and its close.
#include "AppTestSupport.h"

#include "app/MainForm.h"
#include "app/QtText.h"
#include "link/ThreadService.h"
#include "support/SimLine.h"

#include <QAction>
#include <QHeaderView>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <filesystem>

using namespace apptest;
using app::TForm1;

namespace {

// Checks the settings of a row that the file gave nothing but its section.
void ExpectFileDefaults(const loader::TQuorlan &L)
{
  const TRS485Info &Info = *L.FDevice->FInfo;
  EXPECT_EQ(Info.GetParam(rpPortNumber), 1);
  EXPECT_EQ(Info.GetParam(rpBaudRate), 9600);
  EXPECT_EQ(Info.GetParam(rpParity), platform::ODDPARITY);
  EXPECT_EQ(Info.GetParam(rpAnswerTimeOut), 500);
  EXPECT_EQ(Info.GetParam(rpSystemTimeOut), 50);
  EXPECT_EQ(Info.GetParam(rpTimeOutMultiplier), 0);
  EXPECT_EQ(L.TcpHost(), "127.0.0.1");
  EXPECT_EQ(L.FTcpClient->Port, 5000);
  EXPECT_EQ(L.FTcpClient->ReadTimeout, 20000);
  EXPECT_EQ(L.BlockSize(), 512);
  EXPECT_TRUE(L.FUseComPort);
  EXPECT_FALSE(L.FMaxSpeed);
  EXPECT_FALSE(Info.FAlertSequence);
  EXPECT_FALSE(L.FPacketMode);
  EXPECT_EQ(L.NetAdr(), "");
}

void CloseAndDestroy(std::unique_ptr<TForm1> &Form)
{
  Form->close();
  Form.reset();
}

} // namespace

TEST(Startup, IniFileNameFromTheProgramPath)
{
  EXPECT_EQ(app::IniFileNameOf("/opt/q/Quorlan2"), "/opt/q/Quorlan2.INI");
  EXPECT_EQ(app::IniFileNameOf("/opt/q/Quorlan2.exe"), "/opt/q/Quorlan2.INI");
  EXPECT_EQ(app::IniFileNameOf("/opt/q.d/Quorlan2"), "/opt/q.d/Quorlan2.INI");
  EXPECT_EQ(app::IniFileNameOf("a.b.c"), "a.b.INI");
}

TEST(Startup, MissingAndEmptyFileGiveDefaultsAndTheTitle)
{
  const TTempDir Dir;
  for (const bool Exists : {false, true}) {
    const std::string Ini = Dir.File(Exists ? "empty.ini" : "missing.ini");
    if (Exists)
      WriteFile(Ini, "");
    TForm1 Form(Ini);
    // The write-back at start-up leaves an empty file.
    EXPECT_TRUE(std::filesystem::exists(Ini));
    EXPECT_EQ(ReadFile(Ini), "");
    EXPECT_EQ(Form.RowCount(), 0);
    EXPECT_EQ(Form.FCommandPort, 9111);
    EXPECT_EQ(Form.width(), 712);
    EXPECT_EQ(Form.height(), 395);
    for (int i = 0; i < 8; ++i)
      EXPECT_EQ(Form.ListView1->columnWidth(i), 150) << i;
    EXPECT_EQ(Form.ListView1->headerItem()->text(1), QString::fromUtf8("Тип счётчика"));
    const auto V = [](int Type) { return std::string(loader::ImageVersions[Type]); };
    EXPECT_EQ(Form.windowTitle().toStdString(), "Тест KV-750LA V=" + V(0) + ", KV-750LB V=" + V(1) +
                                                    ", KV-750LC V=" + V(2) + " KV-750LAT V=" + V(3) +
                                                    ", KV-750LCT V=" + V(4));
    EXPECT_FALSE(Form.FAdminMode);
    EXPECT_FALSE(Form.SaveFileAction->isEnabled());
    EXPECT_FALSE(Form.OpenFileAction->isEnabled());
    EXPECT_TRUE(Form.StartBootAction->isEnabled());
    EXPECT_FALSE(Form.StopBootAction->isEnabled());
    EXPECT_NE(Form.FRemoteProcesses, nullptr);
  }
}

TEST(Startup, SectionsOnlyAndBadValuesReadAsDefaults)
{
  const TTempDir Dir;
  const std::string Ini = Dir.File("q.ini");
  WriteFile(
      Ini,
      "[main]\nCOUNT=2\nHeight=0x200\nWidth=wide\nColumn[0]=0\nColumn[1]=-5\nColumn[2]=15\nColumn[3]=16\n"
      "[Objects(1)]\nBlockSize=100\nType=7\n");
  TForm1 Form(Ini);
  ASSERT_EQ(Form.RowCount(), 2);
  EXPECT_EQ(Form.height(), 512);
  EXPECT_EQ(Form.width(), 712);
  // Column widths are held to the list's minimum of 16.
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(Form.ListView1->columnWidth(i), 16) << i;
  EXPECT_EQ(Form.ListView1->columnWidth(4), 150);
  ExpectFileDefaults(*Form.Row(0)->Data());
  ExpectFileDefaults(*Form.Row(1)->Data());
  // A row made by the add action uses a TCP link, the file's default a COM link.
  Form.AddItemAction->trigger();
  ASSERT_EQ(Form.RowCount(), 3);
  const loader::TQuorlan &Added = *Form.Row(2)->Data();
  EXPECT_FALSE(Added.FUseComPort);
  EXPECT_EQ(Added.FDevice->FInfo->GetParam(rpAnswerTimeOut), 20000);
  EXPECT_EQ(Added.FDevice->FInfo->GetParam(rpSystemTimeOut), 50);
  EXPECT_EQ(Added.FTcpClient->ReadTimeout, 20000);
  EXPECT_EQ(Added.FDevice->FOwner.load(), &Added);
  // Captions are left-aligned, the sub-items of every row centred.
  for (int Row : {0, 2}) {
    EXPECT_EQ(Form.Row(Row)->textAlignment(0) & (Qt::AlignHCenter | Qt::AlignRight), 0) << Row;
    for (int i = 1; i < 8; ++i)
      EXPECT_EQ(Form.Row(Row)->textAlignment(i), Qt::AlignCenter) << Row << ":" << i;
  }
  // The first row made is selected, the later ones are not.
  EXPECT_TRUE(Form.Row(0)->isSelected());
  EXPECT_FALSE(Form.Row(2)->isSelected());
}

TEST(Startup, CountBelowOneMakesNoRowsAndIsBounded)
{
  const TTempDir Dir;
  for (const char *Count : {"0", "-3"}) {
    WriteFile(Dir.File("q.ini"), std::string("[Main]\r\nCount=") + Count + "\r\n");
    const TForm1 Form(Dir.File("q.ini"));
    EXPECT_EQ(Form.RowCount(), 0) << Count;
  }
  // Past the bound on rows (lowered here) the file's further processes are
  // not read.
  WriteFile(Dir.File("q.ini"), "[Main]\r\nCount=100000\r\n[Objects(2)]\r\nNetAdr=3\r\n");
  TForm1::ProcessLimit = 3;
  const TForm1 Form(Dir.File("q.ini"));
  TForm1::ProcessLimit = app::MaxProcessCount;
  ASSERT_EQ(Form.RowCount(), 3);
  EXPECT_EQ(Form.Row(2)->Data()->NetAdr(), "3");
}

// A file with every key set, read, and written back at close.
TEST(Startup, FullFileReadAndWrittenBackExactly)
{
  const TTempDir Dir;
  const std::string Ini = Dir.File("full.ini");
  const std::string Main = "[Main]\r\nHeight=500\r\nWidth=780\r\nPanel1.Height=200\r\n"
                           "Column[0]=110\r\nColumn[1]=111\r\nColumn[2]=112\r\nColumn[3]=113\r\n"
                           "Column[4]=114\r\nColumn[5]=115\r\nColumn[6]=116\r\nColumn[7]=117\r\nCount=2\r\n";
  const std::string Object0 =
      "[Objects(0)]\r\nNetAdr=1,2,\"3\"\r\nCOM=4\r\nBaudRate=19200\r\nParity=0\r\n"
      "AnswerTimeOut=700\r\nSystemTimeOut=40\r\nRWMTimeOut=3\r\nTCPIP.IP=10.1.2.3\r\n"
      "TCPIP.Port=4001\r\nBlockSize=128\r\nType=0\r\nMaxSpeed=1\r\nAlertSequence=1\r\n"
      "PacketMode=1\r\n";
  const std::string Object1 =
      "[Objects(1)]\r\nNetAdr=17\r\nCOM=2\r\nBaudRate=9600\r\nParity=1\r\n"
      "AnswerTimeOut=500\r\nSystemTimeOut=50\r\nRWMTimeOut=0\r\nTCPIP.IP=127.0.0.1\r\n"
      "TCPIP.Port=5000\r\nBlockSize=512\r\nType=1\r\nMaxSpeed=0\r\nAlertSequence=0\r\n"
      "PacketMode=0\r\n";
  const std::string Server = "[Server]\r\nPort=9200\r\n";
  const std::string Stale = "[Objects(2)]\r\nNetAdr=99\r\n";
  WriteFile(Ini, Main + "\r\n" + Server + "\r\n" + Object0 + "\r\n" + Object1 + "\r\n" + Stale);

  auto Form = std::make_unique<TForm1>(Ini);
  Form->show();
  EXPECT_EQ(Form->FCommandPort, 9200);
  EXPECT_EQ(Form->height(), 500);
  EXPECT_EQ(Form->width(), 780);
  for (int i = 0; i < 8; ++i)
    EXPECT_EQ(Form->ListView1->columnWidth(i), 110 + i);
  ASSERT_EQ(Form->RowCount(), 2);
  const loader::TQuorlan &L = *Form->Row(0)->Data();
  EXPECT_EQ(L.NetAdr(), "1,2,\"3\"");
  EXPECT_EQ(L.FDevice->FInfo->GetParam(rpPortNumber), 4);
  EXPECT_EQ(L.FDevice->FInfo->GetParam(rpBaudRate), 19200);
  EXPECT_EQ(L.FDevice->FInfo->GetParam(rpParity), platform::NOPARITY);
  EXPECT_EQ(L.FDevice->FInfo->GetParam(rpAnswerTimeOut), 700);
  EXPECT_EQ(L.FDevice->FInfo->GetParam(rpSystemTimeOut), 40);
  EXPECT_EQ(L.FDevice->FInfo->GetParam(rpTimeOutMultiplier), 3);
  EXPECT_EQ(L.TcpHost(), "10.1.2.3");
  EXPECT_EQ(L.FTcpClient->Port, 4001);
  EXPECT_EQ(L.BlockSize(), 128);
  EXPECT_FALSE(L.FUseComPort);
  EXPECT_TRUE(L.FMaxSpeed);
  EXPECT_TRUE(L.FDevice->FInfo->FAlertSequence);
  EXPECT_TRUE(L.FPacketMode);

  // Read back at start-up: "Main" and the process sections are rewritten
  // in place (the file's order), "Server" and the stale section stay.
  EXPECT_EQ(ReadFile(Ini), Main + "\r\n" + Server + "\r\n" + Object0 + "\r\n" + Object1 + "\r\n" + Stale);

  CloseAndDestroy(Form);
  // At close the sections are erased and written again, so they come last.
  EXPECT_EQ(ReadFile(Ini), Server + "\r\n" + Stale + "\r\n" + Main + "\r\n" + Object0 + "\r\n" + Object1);

  // A later run with one row leaves the stale sections and reads one row.
  Form = std::make_unique<TForm1>(Ini);
  Form->show();
  Form->Row(1)->setSelected(true);
  Form->Row(0)->setSelected(false);
  Form->RemoveItemActionExecute(nullptr);
  CloseAndDestroy(Form);
  const std::string After = ReadFile(Ini);
  EXPECT_NE(After.find("Count=1\r\n"), std::string::npos);
  EXPECT_NE(After.find("[Objects(1)]\r\nNetAdr=17\r\n"), std::string::npos); // stale now
  EXPECT_NE(After.find("[Server]\r\nPort=9200\r\n"), std::string::npos);
  const TForm1 Again(Ini);
  EXPECT_EQ(Again.RowCount(), 1);
  EXPECT_EQ(Again.Row(0)->Data()->NetAdr(), "1,2,\"3\"");
}

TEST(Startup, SettingsFileThatCannotBeOpenedStillGivesAWorkingWindow)
{
  const TTempDir Dir;
  const std::string Ini = Dir.File("dir.ini");
  std::filesystem::create_directory(Ini); // exists, cannot be read as a file
  TMessageBoxCatcher Boxes;
  auto Form = std::make_unique<TForm1>(Ini);
  EXPECT_EQ(Boxes.Texts().size(), 1);
  EXPECT_EQ(Form->RowCount(), 0);
  ASSERT_NE(Form->FRemoteProcesses, nullptr);
  EXPECT_FALSE(Form->windowTitle().isEmpty());
  EXPECT_TRUE(Form->StartBootAction->isEnabled());

  // At close the file still cannot be opened: the window stays open.
  Form->show();
  EXPECT_FALSE(Form->close());
  EXPECT_EQ(Boxes.Texts().size(), 2);
  EXPECT_TRUE(Form->isVisible());
  EXPECT_NE(Form->FRemoteProcesses, nullptr);

  std::filesystem::remove(Ini);
  EXPECT_TRUE(Form->close());
  EXPECT_EQ(Form->FRemoteProcesses, nullptr);
  EXPECT_NE(ReadFile(Ini).find("[Main]\r\n"), std::string::npos);
}

// A settings file that cannot be written at close (its path a folder now):
// the box says why and asks; No keeps the window open with its server, Yes
// closes without saving.
TEST(Startup, WriteErrorAtCloseAsksWhetherToCloseWithoutSaving)
{
  const TTempDir Dir;
  const std::string Ini = Dir.File("q.ini");
  auto Form = std::make_unique<TForm1>(Ini);
  Form->show();
  std::filesystem::remove(Ini);
  std::filesystem::create_directory(Ini);
  {
    TMessageBoxCatcher Boxes(QMessageBox::No);
    EXPECT_FALSE(Form->close());
    ASSERT_EQ(Boxes.Texts().size(), 1);
    EXPECT_TRUE(Boxes.Texts()[0].contains(QString::fromStdString(Ini))) << Boxes.Texts()[0].toStdString();
    EXPECT_TRUE(Boxes.Texts()[0].endsWith(QString::fromUtf8("Закрыть программу, не сохранив настройки?")));
    EXPECT_TRUE(Form->isVisible());
    EXPECT_NE(Form->FRemoteProcesses, nullptr);
  }
  TMessageBoxCatcher Boxes(QMessageBox::Yes);
  EXPECT_TRUE(Form->close());
  EXPECT_EQ(Boxes.Texts().size(), 1);
  EXPECT_EQ(Form->FRemoteProcesses, nullptr);
  EXPECT_EQ(Form->FCommandServer, nullptr);
  EXPECT_TRUE(std::filesystem::is_directory(Ini));
}

TEST(Startup, CloseRefusedWhileAProcessRuns)
{
  const TTempDir Dir;
  const std::string Ini = Dir.File("q.ini");
  auto Silent = sim::SimLine::ListenTcp(); // a gateway whose meters never answer
  auto Form = std::make_unique<TForm1>(Ini);
  Form->show();
  Form->AddItemAction->trigger();
  Form->AddItemAction->trigger();
  loader::TQuorlan &Busy = *Form->Row(1)->Data(); // not the selected row
  Busy.FTcpClient->Port = Silent->Port();
  Busy.FTcpClient->ReadTimeout = 300;
  Busy.SetNetAdr("1");
  Busy.FCloseWait = Busy.FLinkWait = Busy.FTestModeWait = Busy.FAlertWait = std::chrono::milliseconds(10);
  const std::string Before = ReadFile(Ini);
  Busy.Start();

  TMessageBoxCatcher Boxes;
  EXPECT_FALSE(Form->close());
  ASSERT_EQ(Boxes.Texts().size(), 1);
  EXPECT_EQ(Boxes.Texts()[0],
            QString::fromUtf8("Не могу закрыть приложение т.к. не все процессы остановлены!"));
  EXPECT_TRUE(Form->isVisible());
  EXPECT_EQ(ReadFile(Ini), Before);
  EXPECT_NE(Form->FRemoteProcesses, nullptr);

  Busy.OperatorStop();
  ASSERT_TRUE(WaitUntil([&Busy] { return Busy.State() == ssIdle; }, std::chrono::seconds(30)));
  EXPECT_TRUE(Form->close());
  EXPECT_NE(ReadFile(Ini).find("Count=2\r\n"), std::string::npos);
}

TEST(Startup, CloseRefusedWhileAHandedOverProcessRunsBeforeItHasARow)
{
  const TTempDir Dir;
  auto Silent = sim::SimLine::ListenTcp();
  auto Form = std::make_unique<TForm1>(Dir.File("q.ini"));
  auto Remote = platform::MakeThread<loader::TQuorlan>();
  loader::TQuorlan &Busy = *Remote;
  Busy.FUseComPort = false;
  Busy.SetTcpHost("127.0.0.1");
  Busy.FTcpClient->Port = Silent->Port();
  Busy.FTcpClient->ReadTimeout = 300;
  Busy.SetNetAdr("1");
  Busy.FCloseWait = Busy.FLinkWait = Busy.FTestModeWait = Busy.FAlertWait = std::chrono::milliseconds(10);
  Busy.Start(); // a client's start, while the loader waits for the window's timer
  Form->FRemoteProcesses->Add(Remote.release());

  TMessageBoxCatcher Boxes;
  bool CanClose = true;
  Form->FormCloseQuery(nullptr, CanClose); // no event served since the hand-over: still no row
  EXPECT_FALSE(CanClose);
  EXPECT_EQ(Boxes.Texts().size(), 1);

  Busy.OperatorStop();
  ASSERT_TRUE(WaitUntil([&Busy] { return Busy.State() == ssIdle; }, std::chrono::seconds(30)));
  EXPECT_TRUE(Form->close());
}

TEST(Startup, DestroyingTheWindowFreesEveryLoader)
{
  const TTempDir Dir;
  const std::size_t Services = ServiceList()->Count();
  {
    TForm1 Form(Dir.File("q.ini"));
    for (int i = 0; i < 3; ++i)
      Form.AddItemActionExecute(nullptr);
    // Each loader is a service with a timer service of its own.
    EXPECT_EQ(ServiceList()->Count(), Services + 6);
  }
  EXPECT_EQ(ServiceList()->Count(), Services);
}
