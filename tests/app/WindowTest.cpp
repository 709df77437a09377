// The main window at work: typed commands, the timer's log display and
// actions, images, the log callback and the hand-over of remote loaders.
#include "AppTestSupport.h"

#include "app/MainForm.h"
#include "app/OpenFileLimit.h"
#include "app/QtText.h"
#include "link/ThreadService.h"
#include "loader/BuiltinImages.h"
#include "platform/TcpClient.h"
#include "platform/TextRules.h"
#include "support/SimLine.h"

#include <QAction>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextDocument>
#include <QTreeWidget>
#include <gtest/gtest.h>

#include <filesystem>

#include <sys/resource.h>
#include <unistd.h>

using namespace apptest;
using app::TForm1;

namespace {

class Window : public testing::Test {
protected:
  TTempDir Dir;
  std::unique_ptr<TForm1> Form = std::make_unique<TForm1>(Dir.File("q.ini"));

  void SetUp() override { Form->show(); }

  QStringList MemoLines() const { return Form->Memo1->toPlainText().split(QLatin1Char('\n')); }
  void Type(const QString &Text) { QTest::keyClicks(Form->Memo1, Text); }
  void Enter() { QTest::keyClick(Form->Memo1, Qt::Key_Return); }
  void SelectOnly(std::initializer_list<int> Rows)
  {
    Form->ListView1->clearSelection();
    for (const int i : Rows)
      Form->Row(i)->setSelected(true);
  }
  std::vector<std::string> LogOf(int Row) const
  {
    return platform::SplitCommaText(Form->Row(Row)->Data()->Log());
  }
};

} // namespace

TEST_F(Window, AdministratorCommandInTheMemo)
{
  Form->Memo1->setFocus();
  Type(QStringLiteral("-ADMIN Varn Ekol"));
  EXPECT_EQ(MemoLines().back(), QStringLiteral("-ADMIN *********"));
  EXPECT_EQ(Form->FAdminPassword, "Varn Ekol");
  Enter();
  EXPECT_TRUE(MemoLines().contains(QStringLiteral("OK -ADMIN *********")));
  EXPECT_TRUE(Form->FAdminMode);
  EXPECT_TRUE(loader::AdminMode());
  EXPECT_TRUE(Form->SaveFileAction->isEnabled());
  EXPECT_TRUE(Form->OpenFileAction->isEnabled());

  // A wrong phrase switches it off; Backspace hides a "*" but keeps the character.
  Form->Memo1->clear();
  Type(QStringLiteral("-ADMIN Varn Ekolx"));
  QTest::keyClick(Form->Memo1, Qt::Key_Backspace);
  EXPECT_EQ(MemoLines().back(), QStringLiteral("-ADMIN *********"));
  Enter();
  EXPECT_FALSE(Form->FAdminMode);
  EXPECT_FALSE(loader::AdminMode());
  EXPECT_FALSE(Form->SaveFileAction->isEnabled());
  EXPECT_FALSE(Form->OpenFileAction->isEnabled());

  // Enter on a bare "-ADMIN" judges the characters collected last time again.
  Form->Memo1->clear();
  Type(QStringLiteral("-ADMIN"));
  Enter();
  EXPECT_FALSE(Form->FAdminMode);
  EXPECT_TRUE(MemoLines().contains(QStringLiteral("OK -ADMIN")));

  // "-CLRSCR" clears without an echo; with a trailing blank it is only echoed.
  Form->Memo1->clear();
  Type(QStringLiteral("abc"));
  Enter();
  // Enter on a line above others: the echo goes last, and the Enter below it.
  Form->Memo1->moveCursor(QTextCursor::Start);
  QTest::keyClick(Form->Memo1, Qt::Key_End);
  Enter();
  EXPECT_EQ(Form->Memo1->toPlainText(), QStringLiteral("abc\nOK abc\n\nOK abc\n"));
  EXPECT_EQ(Form->Memo1->textCursor().position(), Form->Memo1->toPlainText().size());
  Type(QStringLiteral("-CLRSCR "));
  Enter();
  EXPECT_TRUE(MemoLines().contains(QStringLiteral("OK -CLRSCR ")));
  Enter();
  Type(QStringLiteral("-CLRSCR"));
  Enter();
  EXPECT_FALSE(Form->Memo1->toPlainText().contains(QStringLiteral("OK")));
  EXPECT_FALSE(Form->Memo1->toPlainText().contains(QStringLiteral("abc")));
}

TEST_F(Window, MemoShowsTheSelectedRowsLogAndActionsFollowIt)
{
  Form->AddItemActionExecute(nullptr);
  Form->AddItemActionExecute(nullptr);
  Form->Row(0)->Data()->AppendLog("first row");
  Form->Row(1)->Data()->AppendLog("second row");
  Form->Row(1)->Data()->FMaxSpeed = true;

  SelectOnly({1});
  Type(QStringLiteral("typed"));
  ASSERT_TRUE(WaitUntil([this] { return Form->Memo1->toPlainText() == QStringLiteral("\tsecond row"); }));
  EXPECT_TRUE(Form->TestMaxSpeedAction->isChecked());
  EXPECT_TRUE(Form->StartBootAction->isEnabled());
  EXPECT_TRUE(Form->RemoveItemAction->isEnabled());
  EXPECT_FALSE(Form->StopBootAction->isEnabled());

  SelectOnly({0});
  ASSERT_TRUE(WaitUntil([this] { return Form->Memo1->toPlainText() == QStringLiteral("\tfirst row"); }));
  EXPECT_FALSE(Form->TestMaxSpeedAction->isChecked());
  // The test action toggles the mark and the first selected row's flag.
  Form->TestMaxSpeedAction->trigger();
  EXPECT_TRUE(Form->TestMaxSpeedAction->isChecked());
  EXPECT_TRUE(Form->Row(0)->Data()->FMaxSpeed);

  // With nothing selected, start and remove are disabled and the memo stays.
  SelectOnly({});
  ASSERT_TRUE(WaitUntil([this] { return !Form->StartBootAction->isEnabled(); }));
  EXPECT_FALSE(Form->RemoveItemAction->isEnabled());
  Form->TestMaxSpeedAction->trigger(); // no row: nothing toggles
  EXPECT_TRUE(Form->TestMaxSpeedAction->isChecked());
  Form->Memo1->appendPlainText(QStringLiteral("typed"));
  QTest::qWait(250);
  EXPECT_TRUE(Form->Memo1->toPlainText().endsWith(QStringLiteral("typed")));
}

TEST_F(Window, MemoIsRewrittenOnlyWhenTheLogChangedOrTheMemoWasEdited)
{
  Form->AddItemActionExecute(nullptr);
  loader::TQuorlan &L = *Form->Row(0)->Data();
  // A no-break space and a CR inside a line do not come back from the memo as they went in.
  L.AppendLog("no-break\xA0space");
  L.AppendLog("carriage\rreturn");
  Form->Timer1Timer(nullptr);
  ASSERT_TRUE(Form->Memo1->toPlainText().startsWith(QStringLiteral("\tno-break")));

  // The operator's caret stays where it was put while the log stays the same.
  Form->Memo1->moveCursor(QTextCursor::Start);
  const int Revision = Form->Memo1->document()->revision();
  for (int i = 0; i < 3; ++i)
    Form->Timer1Timer(nullptr);
  EXPECT_EQ(Form->Memo1->document()->revision(), Revision);
  EXPECT_EQ(Form->Memo1->textCursor().position(), 0);

  // A new log line is shown at the next tick, and so is the log over typed text.
  L.AppendLog("more");
  Form->Timer1Timer(nullptr);
  EXPECT_TRUE(Form->Memo1->toPlainText().endsWith(QStringLiteral("\tmore")));
  Form->Memo1->insertPlainText(QStringLiteral("typed"));
  Form->Timer1Timer(nullptr);
  EXPECT_FALSE(Form->Memo1->toPlainText().contains(QStringLiteral("typed")));
  EXPECT_TRUE(Form->Memo1->toPlainText().endsWith(QStringLiteral("\tmore")));

  // Lines appended to the log are appended to the memo; after a line with a
  // quote in it, and after a clearing, the memo still reads as the whole log.
  const auto WholeLog = [&L] {
    QStringList Lines;
    for (const std::string &Line : platform::SplitCommaText(L.Log()))
      Lines << app::ToQt(Line);
    return Lines.join(QLatin1Char('\n'));
  };
  for (const char *Line : {"", "a", "b", "with \"quote\", inside", "c", "", "d"}) {
    L.AppendLog(Line); // the empty line clears the log
    Form->Timer1Timer(nullptr);
    EXPECT_EQ(Form->Memo1->toPlainText(), WholeLog()) << Line;
  }
}

// A row as its loader sees it, counting the refreshes (each reads the caption).
class TCountingRow : public loader::TListRow {
public:
  explicit TCountingRow(loader::TListRow *Row) : FRow(Row) {}
  std::string Caption() const override { return ++Refreshes, FRow->Caption(); }
  void SetCaption(const std::string &Text) override { FRow->SetCaption(Text); }
  std::string SubItem(int Index) const override { return FRow->SubItem(Index); }
  void SetSubItem(int Index, const std::string &Text) override { FRow->SetSubItem(Index, Text); }
  mutable std::atomic<int> Refreshes{0};

private:
  loader::TListRow *FRow;
};

// An idle row hands no refresh to the main thread until something it shows
// has changed.
TEST_F(Window, AnIdleRowIsRefreshedOnlyWhenItsTextsChange)
{
  Form->AddItemActionExecute(nullptr);
  loader::TQuorlan &L = *Form->Row(0)->Data();
  TCountingRow Row(L.FListItem);
  L.FListItem = &Row;
  ASSERT_TRUE(WaitUntil([&] { return Row.Refreshes > 0; })) << "a new row is shown once";
  const int Refreshes = Row.Refreshes;
  WaitUntil([] { return false; }, std::chrono::milliseconds(350));
  EXPECT_EQ(Row.Refreshes, Refreshes);
  L.FTcpClient->Port = 4077; // wakes the row's sleeping timer
  EXPECT_TRUE(WaitUntil([&] { return Form->Row(0)->text(0).endsWith(QStringLiteral(":4077")); }));
  L.FListItem = Form->Row(0);
}

TEST_F(Window, RemoveDeletesSelectedRowsAndFreesTheirLoaders)
{
  for (int i = 0; i < 5; ++i)
    Form->AddItemActionExecute(nullptr);
  const std::size_t Services = ServiceList()->Count();
  loader::TQuorlan *Kept[3] = {Form->Row(0)->Data(), Form->Row(1)->Data(), Form->Row(2)->Data()};
  SelectOnly({3, 4});
  Form->RemoveItemActionExecute(nullptr);
  ASSERT_EQ(Form->RowCount(), 3);
  EXPECT_EQ(ServiceList()->Count(), Services - 4); // two loaders with their timers
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Form->Row(i)->Data(), Kept[i]);
  EXPECT_TRUE(Form->Row(2)->isSelected());

  SelectOnly({0, 2});
  Form->RemoveItemActionExecute(nullptr);
  ASSERT_EQ(Form->RowCount(), 1);
  EXPECT_EQ(Form->Row(0)->Data(), Kept[1]);
  EXPECT_TRUE(Form->Row(0)->isSelected());

  Form->RemoveItemActionExecute(nullptr);
  EXPECT_EQ(Form->RowCount(), 0);
  EXPECT_EQ(ServiceList()->Count(), Services - 10);
}

TEST_F(Window, SplitterAcceptsOnlyAPanelAbove100Pixels)
{
  int Size = 100;
  bool Accept = true;
  Form->Splitter1CanResize(nullptr, Size, Accept);
  EXPECT_FALSE(Accept);
  Size = 101;
  Form->Splitter1CanResize(nullptr, Size, Accept);
  EXPECT_TRUE(Accept);
}

TEST_F(Window, RemoteLoadersGetRowsAndKeepTheirSettings)
{
  auto L = platform::MakeThread<loader::TQuorlan>();
  L->FDevice->FInfo->SetParam(rpPortNumber, 7);
  L->SetNetAdr("5,6");
  loader::TQuorlan *Raw = L.get();
  Form->FRemoteProcesses->Add(L.release());
  ASSERT_TRUE(WaitUntil([this] { return Form->RowCount() == 1; }));
  EXPECT_EQ(Form->Row(0)->Data(), Raw);
  EXPECT_EQ(Raw->FListItem, Form->Row(0));
  EXPECT_EQ(Form->FRemoteProcesses->Count(), 0);
  EXPECT_TRUE(Raw->FUseComPort);                                  // not the window's TCP default
  EXPECT_EQ(Raw->FDevice->FInfo->GetParam(rpAnswerTimeOut), 150); // nor its answer time-out
  EXPECT_EQ(Raw->NetAdr(), "5,6");
  // Its row refresh shows its port.
  ASSERT_TRUE(WaitUntil([this] { return Form->Row(0)->text(0).startsWith(QStringLiteral("COM7")); }));

  // A loader handed over just before the close is freed with the list.
  const std::size_t Services = ServiceList()->Count();
  Form->FRemoteProcesses->Add(platform::MakeThread<loader::TQuorlan>().release());
  EXPECT_EQ(ServiceList()->Count(), Services + 2);
  app::TCloseAction Action = app::TCloseAction::caHide;
  Form->FormClose(nullptr, Action);
  EXPECT_EQ(ServiceList()->Count(), Services);
}

TEST(WindowServer, RemoteClientGetsAProcessRowAndDrivesIt)
{
  TTempDir Dir;
  WriteFile(Dir.File("q.ini"), "[Server]\r\nPort=0\r\n"); // a free port
  app::TForm1::CommandServerEnabled = true;
  TForm1 Form(Dir.File("q.ini"));
  app::TForm1::CommandServerEnabled = false;
  ASSERT_TRUE(Form.FCommandServer && Form.FCommandServer->Active());

  platform::TcpClient Client;
  Client.Host = "127.0.0.1";
  Client.Port = Form.FCommandServer->BoundPort();
  Client.ReadTimeout = 100;
  Client.Connect();
  std::string Received;
  const auto Reply = [&](const std::string &Line) {
    Received.clear();
    if (!Line.empty())
      Client.Write(Line + "\r\n");
    WaitUntil([&] {
      Received += Client.ReadAvailable();
      return Received.find("\r\n") != std::string::npos;
    });
    return Received;
  };
  EXPECT_EQ(Reply(""), "204 Quorlan2 ready\r\n");
  ASSERT_TRUE(WaitUntil([&] { return Form.RowCount() == 1; }))
      << "the window timer adopts the connection's loader";
  EXPECT_EQ(Reply("SET NETADR=7,8"), "200 Ok\r\n");
  EXPECT_EQ(Form.Row(0)->Data()->NetAdr(), "7,8");
  EXPECT_EQ(Reply("GET STATUS"), "STATUS=IDLE\r\n");
  EXPECT_EQ(Reply("QUIT"), "201 Goodbye\r\n");

  app::TCloseAction Action = app::TCloseAction::caHide;
  Form.FormClose(nullptr, Action);
  EXPECT_FALSE(Form.FCommandServer) << "closing stops and frees the server";
  EXPECT_EQ(Form.RowCount(), 1) << "the row outlives the connection";
}

// The window's bound on rows holds for connections too: past it a client
// is refused and no loader is made; a deleted row makes room again.
TEST(WindowServer, ConnectionsPastTheRowBoundAreRefused)
{
  TTempDir Dir;
  WriteFile(Dir.File("q.ini"), "[Server]\r\nPort=0\r\n");
  app::TForm1::CommandServerEnabled = true;
  app::TForm1::ProcessLimit = 2;
  TForm1 Form(Dir.File("q.ini"));
  app::TForm1::CommandServerEnabled = false;
  app::TForm1::ProcessLimit = app::MaxProcessCount;
  ASSERT_TRUE(Form.FCommandServer && Form.FCommandServer->Active());
  Form.AddItemActionExecute(nullptr);
  Form.Row(0)->Data()->SetNetAdr("5");

  const auto Greeting = [&Form] {
    auto Client = std::make_unique<platform::TcpClient>();
    Client->Host = "127.0.0.1";
    Client->Port = Form.FCommandServer->BoundPort();
    Client->ReadTimeout = 100;
    Client->Connect();
    std::string Received;
    WaitUntil([&] {
      Received += Client->ReadAvailable();
      return Received.find("\r\n") != std::string::npos;
    });
    return std::make_pair(std::move(Client), Received);
  };
  auto [First, FirstGreeting] = Greeting();
  EXPECT_EQ(FirstGreeting, "204 Quorlan2 ready\r\n");
  ASSERT_TRUE(WaitUntil([&] { return Form.RowCount() == 2; }));
  auto [Over, Refusal] = Greeting();
  EXPECT_EQ(Refusal, "401 Execute error\r\n");
  EXPECT_TRUE(WaitUntil([&] {
    try {
      Over->ReadAvailable();
    } catch (const platform::TcpError &) {
      return true;
    }
    return !Over->Connected();
  })) << "the refused client is closed";
  WaitUntil([] { return false; }, std::chrono::milliseconds(200)); // a timer tick or two
  EXPECT_EQ(Form.RowCount(), 2) << "no loader for the refused client";
  EXPECT_EQ(Form.Row(0)->Data()->NetAdr(), "5");

  Form.ListView1->clearSelection();
  Form.Row(0)->setSelected(true);
  Form.RemoveItemActionExecute(nullptr);
  auto [Again, AgainGreeting] = Greeting();
  EXPECT_EQ(AgainGreeting, "204 Quorlan2 ready\r\n");
  EXPECT_TRUE(WaitUntil([&] { return Form.RowCount() == 2; }));
}

TEST_F(Window, DeviceLogLines)
{
  Form->AddItemActionExecute(nullptr);
  loader::TQuorlan &L = *Form->Row(0)->Data();
  const std::int32_t Index = L.FDevice->DeviceIndex();
  ASSERT_GE(Index, 0);

  L.FDevice->FInfo->SetParam(rpPortNumber, 3);
  L.FDevice->FError = 253;
  Form->DeviceLog(Index, 0, "general", 7);
  L.FDevice->FError = 255;
  Form->DeviceLog(Index, 0, "no answer", 9);
  Form->DeviceLog(Index, 0, "", 0);   // empty: nothing
  Form->DeviceLog(Index, 1, "TX", 2); // administrator mode off: nothing
  Form->DeviceLog(Index, 2, "RX", 2);
  Form->DeviceLog(Index, 3, "wait", 4);
  Form->DeviceLog(Index + 1000, 0, "none", 4); // no such device
  Form->SetAdminMode(true);
  Form->DeviceLog(Index, 1, "TX", 2);
  Form->DeviceLog(Index, 2, "RX", 2);
  Form->SetAdminMode(false);
  // A port that does not open says why, as the system puts it.
  ::setenv("QUORLAN2_COM_DIR", Dir.Path().c_str(), 1);
  ASSERT_EQ(::symlink("/", Dir.File("com3").c_str()), 0);
  L.FDevice->SetActive(true);

  const std::string Busy = "\t" + app::FromQt(QString::fromUtf8(" Порт COM3 занят или не существует"));
  EXPECT_EQ(platform::SplitCommaText(L.Log()),
            (std::vector<std::string>{Busy, "\tno answer", "\tTX", "\tRX", "\t ", Busy + " (Is a directory)"}));
}

TEST_F(Window, ImageFileOpensIntoTheImageItsExtensionNames)
{
  const std::string Image = std::string(300, '\x11');
  WriteFile(Dir.File("new.v7b"), Image);
  WriteFile(Dir.File("new.tsk"), Image);
  Form->SetAdminMode(true);
  const auto Open = [this](const std::string &Name) {
    QTimer::singleShot(50, Form->OpenDialog(), [this, Name] {
      auto *Edit = Form->OpenDialog()->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
      ASSERT_NE(Edit, nullptr);
      Edit->setText(QString::fromStdString(Dir.File(Name)));
      QTest::keyClick(Edit, Qt::Key_Return);
      if (Form->OpenDialog()->isVisible()) { // not taken: fail instead of hanging
        ADD_FAILURE() << "the dialog did not take " << Name;
        Form->OpenDialog()->reject();
      }
    });
    Form->OpenFileAction->trigger();
  };
  const std::string Before = *loader::DumpMem[1]->Snapshot();
  // Each filter shows its pattern once.
  const auto *Types = Form->OpenDialog()->findChild<QComboBox *>(QStringLiteral("fileTypeCombo"));
  ASSERT_NE(Types, nullptr);
  EXPECT_EQ(Types->itemText(1), QStringLiteral("Binary file format (*.V7A)"));

  Open("new.tsk"); // no image of that extension: nothing loaded, saving disabled
  EXPECT_EQ(*loader::DumpMem[1]->Snapshot(), Before);
  EXPECT_FALSE(Form->SaveFileAction->isEnabled());

  Open("new.v7b");
  const std::string After = *loader::DumpMem[1]->Snapshot();
  EXPECT_EQ(After.size(), std::size_t(loader::DumpMemSize));
  EXPECT_EQ(After.substr(0, 300), Image);
  EXPECT_EQ(After[300], '\xFF');
  EXPECT_TRUE(Form->SaveFileAction->isEnabled());

  // The built-in image comes back for the other tests.
  loader::DumpMem[1]->LoadFromStr(Before);
}

TEST_F(Window, SaveWritesMissingSourceUnitsAndReportsFailures)
{
  Form->FImageSourceDir = Dir.Path();
  WriteFile(Dir.File("UsrD_v7b.pas"), "keep");
  TMessageBoxCatcher Boxes;
  Form->SaveFileActionExecute(nullptr);
  EXPECT_TRUE(Boxes.Texts().isEmpty());
  EXPECT_EQ(ReadFile(Dir.File("UsrD_v7b.pas")), "keep");
  for (const char *Name : {"UsrD_v7a.pas", "UsrD_v7c.pas", "UsrD_v7at.pas", "UsrD_v7ct.pas"})
    EXPECT_GT(std::filesystem::file_size(Dir.File(Name)), 131072u) << Name;

  // A folder that does not exist: nothing is written, and the operator hears of it.
  Form->FImageSourceDir = Dir.File("missing");
  Form->SaveFileActionExecute(nullptr);
  ASSERT_EQ(Boxes.Texts().size(), 1);
  EXPECT_TRUE(Boxes.Texts()[0].contains(QStringLiteral("UsrD_v7ct.pas")));
  EXPECT_TRUE(Boxes.Texts()[0].startsWith(QString::fromUtf8("Не удалось записать")));

  // A folder that has the name of a unit: that unit is named, the others are written.
  const TTempDir Other;
  std::filesystem::create_directory(Other.File("UsrD_v7b.pas"));
  Form->FImageSourceDir = Other.Path();
  Form->SaveFileActionExecute(nullptr);
  ASSERT_EQ(Boxes.Texts().size(), 2);
  EXPECT_TRUE(Boxes.Texts()[1].contains(QString::fromStdString(Other.File("UsrD_v7b.pas"))));
  EXPECT_FALSE(Boxes.Texts()[1].contains(QStringLiteral("UsrD_v7a.pas")));
  EXPECT_TRUE(std::filesystem::is_regular_file(Other.File("UsrD_v7ct.pas")));
}

TEST_F(Window, StartAndStopOnlyTheSelectedRows)
{
  // A gateway that takes the connection and never answers keeps a started
  // row busy until it is stopped.
  const auto Gateway = sim::SimLine::ListenTcp();
  for (int i = 0; i < 3; ++i)
    Form->AddItemActionExecute(nullptr);
  for (int i = 0; i < 3; ++i) {
    loader::TQuorlan &L = *Form->Row(i)->Data();
    L.FTcpClient->Port = Gateway->Port();
    L.FTcpClient->ReadTimeout = 50;
    L.SetNetAdr("5");
    L.FCloseWait = std::chrono::milliseconds(0);
  }
  SelectOnly({0, 2});
  Form->StartBootAction->trigger();
  EXPECT_NE(Form->Row(0)->Data()->State(), ssIdle);
  EXPECT_EQ(Form->Row(1)->Data()->State(), ssIdle);
  EXPECT_NE(Form->Row(2)->Data()->State(), ssIdle);
  Form->StopBootActionExecute(nullptr);
  EXPECT_TRUE(Form->Row(0)->Data()->FStopRequested);
  EXPECT_FALSE(Form->Row(1)->Data()->FStopRequested);
  ASSERT_TRUE(WaitUntil(
      [this] { return Form->Row(0)->Data()->State() == ssIdle && Form->Row(2)->Data()->State() == ssIdle; },
      std::chrono::seconds(30)));
}

// With no descriptor left for a row's link the start leaves the row idle,
// its log says why, and one message says how many rows were left out.
TEST_F(Window, StartLeavesOutRowsThatWouldFindNoDescriptor)
{
  Form->AddItemActionExecute(nullptr);
  Form->AddItemActionExecute(nullptr);
  Form->Row(0)->setSelected(true);
  Form->Row(1)->setSelected(true);
  rlimit Saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &Saved), 0);
  rlimit Low = Saved;
  // Room for the window's reserve and one TCP row at most.
  Low.rlim_cur =
      static_cast<rlim_t>(app::OpenFileLimit() - app::FreeDescriptors() + app::WindowDescriptorReserve + 1);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &Low), 0);
  {
    TMessageBoxCatcher Boxes;
    Form->StartBootActionExecute(nullptr);
    ::setrlimit(RLIMIT_NOFILE, &Saved);
    ASSERT_EQ(Boxes.Texts().size(), 1);
    EXPECT_TRUE(Boxes.Texts()[0].startsWith(QString::fromUtf8("Не запущено процессов: ")))
        << Boxes.Texts()[0].toStdString();
  }
  EXPECT_EQ(Form->Row(1)->Data()->State(), ssIdle);
  EXPECT_NE(
      app::ToQt(Form->Row(1)->Data()->Log()).indexOf(QString::fromUtf8("не хватает дескрипторов файлов")),
      -1);
}
