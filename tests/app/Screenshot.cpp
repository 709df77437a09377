// The README's pictures, drawn on the offscreen platform:
// `test_app --screenshot=docs/MainWindow.png` draws the window with three
// processes and a log, `test_app --dialog-screenshot=docs/SettingsDialog.png`
// the connection settings dialog of the second process.
#include "AppTestSupport.h"

#include "app/ComAndTCPClient.h"
#include "app/MainForm.h"

#include <QAction>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTreeWidget>

#include <cstdio>

namespace apptest {
namespace {

std::unique_ptr<app::TForm1> ExampleWindow(const TTempDir &Dir)
{
  WriteFile(Dir.File("Quorlan2.INI"),
            "[Main]\r\nHeight=420\r\nWidth=900\r\nPanel1.Height=190\r\n"
            "Column[0]=190\r\nColumn[1]=90\r\nColumn[2]=100\r\nColumn[3]=90\r\nColumn[4]=100\r\n"
            "Column[5]=130\r\nColumn[6]=60\r\nColumn[7]=200\r\nCount=3\r\n"
            "[Objects(0)]\r\nNetAdr=1,2,3\r\nCOM=1\r\n"
            "[Objects(1)]\r\nNetAdr=17\r\nCOM=4\r\nBaudRate=19200\r\n"
            "[Objects(2)]\r\nNetAdr=5\r\nType=0\r\nTCPIP.IP=192.168.0.20\r\nTCPIP.Port=4001\r\n");
  auto Form = std::make_unique<app::TForm1>(Dir.File("Quorlan2.INI"));
  Form->show();
  for (int i = 0; i < Form->RowCount(); ++i)
    Form->Row(i)->Data()->UpdateRow();
  return Form;
}

int Saved(const QPixmap &Picture, const std::string &FileName)
{
  const bool Done = Picture.save(QString::fromStdString(FileName), "PNG");
  std::printf("%s %s\n", Done ? "saved" : "could not save", FileName.c_str());
  return Done ? 0 : 1;
}

} // namespace

int TakeScreenshot(const std::string &FileName)
{
  const TTestUnits Units;
  const TTempDir Dir;
  const auto Form = ExampleWindow(Dir);
  Form->Row(0)->Data()->AppendLog("12:00:01:250 : COM1 opened");
  Form->Row(0)->Data()->AppendLog("12:00:01:400 : meter 1 answers");
  WaitUntil([&Form] { return !Form->Memo1->toPlainText().isEmpty(); }, std::chrono::seconds(2));
  return Saved(Form->grab(), FileName);
}

int TakeDialogScreenshot(const std::string &FileName)
{
  const TTestUnits Units;
  const TTempDir Dir;
  const auto Form = ExampleWindow(Dir);
  auto *Dialog = new app::TfrmComAndTCPClient(Form.get());
  Form->ListView1->clearSelection();
  Form->Row(1)->setSelected(true);
  int Result = 1;
  QTimer Poll;
  Poll.setInterval(50);
  QObject::connect(&Poll, &QTimer::timeout, [&] {
    if (!Dialog->isVisible())
      return;
    Poll.stop();
    Result = Saved(Dialog->grab(), FileName);
    Dialog->reject();
  });
  Poll.start();
  QTimer::singleShot(std::chrono::seconds(10), Dialog, &QDialog::reject); // never left open
  Form->SetOnAction->trigger();
  return Result;
}

} // namespace apptest
