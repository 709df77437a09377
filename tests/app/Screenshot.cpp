// The README's picture of the window: `test_app --screenshot=docs/MainWindow.png`
// draws the window on the offscreen platform with three processes and a log.
#include "AppTestSupport.h"

#include "app/MainForm.h"

#include <QPixmap>
#include <QPlainTextEdit>
#include <QTreeWidget>

#include <cstdio>

namespace apptest {

int TakeScreenshot(const std::string &FileName)
{
  const TTestUnits Units;
  const TTempDir Dir;
  WriteFile(Dir.File("Quorlan2.INI"),
            "[Main]\r\nHeight=420\r\nWidth=900\r\nPanel1.Height=190\r\n"
            "Column[0]=190\r\nColumn[1]=90\r\nColumn[2]=100\r\nColumn[3]=90\r\nColumn[4]=100\r\n"
            "Column[5]=130\r\nColumn[6]=60\r\nColumn[7]=200\r\nCount=3\r\n"
            "[Objects(0)]\r\nNetAdr=1,2,3\r\nCOM=1\r\n"
            "[Objects(1)]\r\nNetAdr=17\r\nCOM=4\r\nBaudRate=19200\r\n"
            "[Objects(2)]\r\nNetAdr=5\r\nType=0\r\nTCPIP.IP=192.168.0.20\r\nTCPIP.Port=4001\r\n");
  app::TForm1 Form(Dir.File("Quorlan2.INI"));
  Form.show();
  for (int i = 0; i < Form.RowCount(); ++i)
    Form.Row(i)->Data()->UpdateRow();
  Form.Row(0)->Data()->AppendLog("12:00:01:250 : COM1 opened");
  Form.Row(0)->Data()->AppendLog("12:00:01:400 : meter 1 answers");
  WaitUntil([&Form] { return !Form.Memo1->toPlainText().isEmpty(); }, std::chrono::seconds(2));
  const bool Saved = Form.grab().save(QString::fromStdString(FileName), "PNG");
  std::printf("%s %s\n", Saved ? "saved" : "could not save", FileName.c_str());
  return Saved ? 0 : 1;
}

} // namespace apptest
