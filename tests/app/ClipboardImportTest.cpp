// New processes from the clipboard: which lines become rows, what each row
// takes from its line and from the focused process, and how a short line
// ends the import.
#include "AppTestSupport.h"

#include "app/MainForm.h"
#include "app/QtText.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QMenu>
#include <QToolBar>
#include <QTreeWidget>
#include <gtest/gtest.h>

using namespace apptest;
using app::TForm1;

namespace {

class ClipboardImport : public testing::Test {
protected:
  TTempDir Dir;
  std::unique_ptr<TForm1> Form = std::make_unique<TForm1>(Dir.File("q.ini"));

  void SetUp() override { Form->show(); }

  // Puts Text (UTF-8) on the clipboard and imports it from the popup menu.
  void Import(const QString &Text)
  {
    QGuiApplication::clipboard()->setText(Text);
    Form->AddObjectsFromBufferAction->trigger();
  }
  loader::TQuorlan &L(int Row) { return *Form->Row(Row)->Data(); }
  TRS485Info &Info(int Row) { return *L(Row).FDevice->FInfo; }
};

// An object line with the port in item 6 and Item8 as item 8.
QString ObjectLine(const QString &Port, const QString &Item8)
{
  return QStringLiteral("Object,1,name,x,y,z,%1,7,%2").arg(Port, Item8);
}

} // namespace

TEST_F(ClipboardImport, OneLineTakesTheFocusedProcessAsTemplate)
{
  EXPECT_TRUE(Form->PopupMenu1->actions().contains(Form->AddObjectsFromBufferAction));
  EXPECT_FALSE(Form->ToolBar1->actions().contains(Form->AddObjectsFromBufferAction));
  EXPECT_TRUE(Form->AddObjectsFromBufferAction->isEnabled());

  Form->AddItemAction->trigger(); // selected, but not focused
  Form->AddItemAction->trigger();
  loader::TQuorlan &T = L(1);
  T.FUseComPort = true;
  Info(1).SetParam(rpPortNumber, 9);
  Info(1).SetParam(rpBaudRate, 19200);
  Info(1).SetParam(rpAnswerTimeOut, 1234);
  Info(1).SetParam(rpSystemTimeOut, 77);
  Info(1).SetParam(rpTimeOutMultiplier, 5);
  T.FTcpClient->ReadTimeout = 999;
  T.FTcpClient->Port = 4001;
  T.SetTcpHost("10.0.0.5");
  T.FPacketMode = true;
  T.SetBlockSize(64);
  Info(1).FAlertSequence = true;
  T.FMaxSpeed = true;
  T.SetNetAdr("8");
  Form->ListView1->setCurrentItem(Form->Row(1), 0, QItemSelectionModel::NoUpdate);
  ASSERT_TRUE(Form->Row(0)->isSelected());

  // One line without CR LF; item 8 is a single quote, three letters, "=",
  // the address list and a single quote.
  Import(ObjectLine(QStringLiteral("5000"), QStringLiteral("'abc=17'")));
  ASSERT_EQ(Form->RowCount(), 3);
  loader::TQuorlan &N = L(2);
  EXPECT_EQ(N.FTcpClient->Port, 5000);
  EXPECT_EQ(N.NetAdr(), "17");
  EXPECT_EQ(Info(2).GetParam(rpAnswerTimeOut), 1234);
  EXPECT_EQ(Info(2).GetParam(rpSystemTimeOut), 77);
  EXPECT_EQ(N.FTcpClient->ReadTimeout, 999);
  EXPECT_EQ(N.TcpHost(), "10.0.0.5");
  EXPECT_TRUE(N.FUseComPort);
  EXPECT_TRUE(N.FPacketMode);
  EXPECT_EQ(N.BlockSize(), 64);
  EXPECT_TRUE(Info(2).FAlertSequence);
  // Never copied: port number, speed, parity, multiplier, maximum speed.
  EXPECT_EQ(Info(2).GetParam(rpPortNumber), 1);
  EXPECT_EQ(Info(2).GetParam(rpBaudRate), 9600);
  EXPECT_EQ(Info(2).GetParam(rpParity), platform::NOPARITY);
  EXPECT_EQ(Info(2).GetParam(rpTimeOutMultiplier), 0);
  EXPECT_FALSE(N.FMaxSpeed);

  // Without a focused row the first selected one is the template.
  Form->ListView1->setCurrentItem(nullptr);
  Form->ListView1->selectionModel()->select(Form->ListView1->indexFromItem(Form->Row(1)),
                                            QItemSelectionModel::Select | QItemSelectionModel::Rows);
  ASSERT_EQ(Form->ListView1->currentItem(), nullptr);
  Import(ObjectLine(QStringLiteral("1"), QStringLiteral("'abc=1'")));
  ASSERT_EQ(Form->RowCount(), 4);
  EXPECT_TRUE(L(3).FUseComPort);
  EXPECT_EQ(L(3).FTcpClient->ReadTimeout, 999);
  EXPECT_EQ(Info(3).GetParam(rpAnswerTimeOut), 1234);
}

TEST_F(ClipboardImport, WhichLinesAndWhichAddressForms)
{
  Form->AddItemAction->trigger();
  const QStringList Lines = {
      ObjectLine(QStringLiteral("$1388"), QStringLiteral("\"'abc=1,2,3'\"")), // quoted: the whole list
      ObjectLine(QStringLiteral("5001"), QStringLiteral("'abc=1,2,3'")),      // cut at the first comma
      ObjectLine(QStringLiteral("5002"), QStringLiteral("'ab=5'")),
      ObjectLine(QStringLiteral("5003"), QStringLiteral("'abcd=5'")),
      ObjectLine(QStringLiteral("5004"), QStringLiteral("'abc=''")),
      ObjectLine(QStringLiteral("port"), QStringLiteral("\"'obj= 7 '\"")), // blanks cut; no port
      QStringLiteral("object,1,2,3,4,5,6000,7,'abc=9'"),                   // lower case: skipped
      QStringLiteral("Objects,1,2,3,4,5,6001,7,'abc=9'"),
      QString(), // an empty line
      QString::fromUtf8("Объект,1,2,3,4,5,6002,7,'abc=9'"),
      QStringLiteral("Object,1,Sub,,,,4001,,\"'adr=1,2,3'\""), // empty items count too
      // Text copied from an editor here ends its lines with LF alone: the
      // clipboard boundary makes them CR LF, so both lines come in.
      ObjectLine(QStringLiteral("5005"), QStringLiteral("'abc=4'")) + QLatin1Char('\n') +
          ObjectLine(QStringLiteral("5006"), QStringLiteral("'abc=6'")),
  };
  Import(Lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n"));
  ASSERT_EQ(Form->RowCount(), 1 + 9);
  const std::vector<std::pair<int, std::string>> Expected = {
      {5000, "1,2,3"}, {5001, ""},      {5002, ""},  {5003, ""},  {5004, ""},
      {0, "7"},        {4001, "1,2,3"}, {5005, "4"}, {5006, "6"},
  };
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(L(i + 1).FTcpClient->Port, Expected[i].first) << i;
    EXPECT_EQ(L(i + 1).NetAdr(), Expected[i].second) << i;
  }

  // An empty clipboard adds nothing.
  Import(QString());
  EXPECT_EQ(Form->RowCount(), 10);
}

TEST_F(ClipboardImport, WithoutRowsTheWindowDefaultsAndTenLinesInOrder)
{
  QStringList Lines;
  for (int i = 0; i < 10; ++i)
    Lines << ObjectLine(QString::number(7000 + i), QStringLiteral("'adr=%1'").arg(i + 1));
  Import(Lines.join(QStringLiteral("\r\n")));
  ASSERT_EQ(Form->RowCount(), 10);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(L(i).FTcpClient->Port, 7000 + i);
    EXPECT_EQ(L(i).NetAdr(), std::to_string(i + 1));
    EXPECT_FALSE(L(i).FUseComPort);
    EXPECT_EQ(L(i).TcpHost(), "127.0.0.1");
    EXPECT_EQ(Info(i).GetParam(rpAnswerTimeOut), 20000);
    EXPECT_EQ(Info(i).GetParam(rpSystemTimeOut), 50);
    EXPECT_EQ(L(i).FTcpClient->ReadTimeout, 20000);
    EXPECT_EQ(L(i).BlockSize(), 512);
  }
  EXPECT_TRUE(Form->Row(0)->isSelected());
}

TEST_F(ClipboardImport, AShortLineEndsTheImport)
{
  Form->AddItemAction->trigger();
  L(0).FDevice->FInfo->SetParam(rpAnswerTimeOut, 3333);
  TMessageBoxCatcher Boxes;
  Import(ObjectLine(QStringLiteral("5000"), QStringLiteral("'abc=1'")) +
         QStringLiteral("\r\nObject,1,2\r\n") +
         ObjectLine(QStringLiteral("5002"), QStringLiteral("'abc=3'")));
  // The short line's row stays, with the template's settings and no port.
  ASSERT_EQ(Form->RowCount(), 3);
  EXPECT_EQ(Boxes.Texts(), QStringList{QStringLiteral("List index out of bounds (6)")});
  EXPECT_EQ(L(1).NetAdr(), "1");
  EXPECT_EQ(L(2).FTcpClient->Port, 0);
  EXPECT_EQ(Info(2).GetParam(rpAnswerTimeOut), 3333);
  EXPECT_EQ(L(2).NetAdr(), "");

  // Seven items: the port is set, item 8 is missing.
  Import(QStringLiteral("Object,1,2,3,4,5,5100\r\n") +
         ObjectLine(QStringLiteral("5101"), QStringLiteral("'abc=3'")));
  ASSERT_EQ(Form->RowCount(), 4);
  EXPECT_EQ(Boxes.Texts().back(), QStringLiteral("List index out of bounds (8)"));
  EXPECT_EQ(L(3).FTcpClient->Port, 5100);
  EXPECT_EQ(L(3).NetAdr(), "");
}

// The bound on rows (lowered here): the import adds up to it and says how
// many objects came in and why the rest did not; the rows already there stay
// as they were, and so does the list at the add action. A deleted row makes
// room again.
TEST(ClipboardImportBound, StopsAtTheBoundAndSaysWhy)
{
  const TTempDir Dir;
  TForm1::ProcessLimit = 3;
  TForm1 Form(Dir.File("q.ini"));
  TForm1::ProcessLimit = app::MaxProcessCount;
  Form.AddItemAction->trigger();
  Form.Row(0)->Data()->SetNetAdr("42");
  QStringList Lines;
  for (int i = 0; i < 5; ++i)
    Lines << ObjectLine(QString::number(7000 + i), QStringLiteral("'adr=%1'").arg(i + 1))
          << QStringLiteral("text");
  QGuiApplication::clipboard()->setText(Lines.join(QStringLiteral("\r\n")));
  TMessageBoxCatcher Boxes;
  Form.AddObjectsFromBufferAction->trigger();
  ASSERT_EQ(Form.RowCount(), 3);
  EXPECT_EQ(Form.Row(0)->Data()->NetAdr(), "42");
  EXPECT_EQ(Form.Row(1)->Data()->FTcpClient->Port, 7000);
  EXPECT_EQ(Form.Row(2)->Data()->NetAdr(), "2");
  EXPECT_EQ(Boxes.Texts(),
            QStringList{QString::fromUtf8("Добавлено процессов: 2 из 5. Остальные не добавлены: "
                                          "в списке может быть не более 3 процессов.")});

  Form.AddItemAction->trigger();
  EXPECT_EQ(Form.RowCount(), 3);
  EXPECT_EQ(Boxes.Texts().back(),
            QString::fromUtf8("Процесс не добавлен: в списке может быть не более 3 процессов."));

  Form.ListView1->clearSelection();
  Form.Row(1)->setSelected(true);
  Form.RemoveItemActionExecute(nullptr);
  Form.AddItemAction->trigger();
  EXPECT_EQ(Form.RowCount(), 3);
  EXPECT_EQ(Boxes.Texts().size(), 2);
}
