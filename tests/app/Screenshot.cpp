// The README's pictures, drawn on the offscreen platform:
// `test_app --screenshot=docs/MainWindow.png` draws the window with four
// processes updating simulated meters (two done, two half-way through their
// blocks), `test_app --dialog-screenshot=docs/SettingsDialog.png` the
// connection settings dialog of the second process.
#include "AppTestSupport.h"

#include "app/ComAndTCPClient.h"
#include "app/MainForm.h"
#include "link/MeterProtocol.h"
#include "support/SimLine.h"

#include <QAction>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTreeWidget>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace apptest {
namespace {

// The window with four processes: COM1 (addresses 1,2,3), COM4 (17), a TCP
// gateway on 127.0.0.1:GatewayPort (5) and COM2 (9,10,11).
std::unique_ptr<app::TForm1> ExampleWindow(const TTempDir &Dir, int GatewayPort)
{
  WriteFile(Dir.File("Quorlan2.INI"),
            "[Main]\r\nHeight=440\r\nWidth=1030\r\nPanel1.Height=190\r\n"
            "Column[0]=170\r\nColumn[1]=90\r\nColumn[2]=110\r\nColumn[3]=115\r\nColumn[4]=120\r\n"
            "Column[5]=140\r\nColumn[6]=60\r\nColumn[7]=200\r\nCount=4\r\n"
            "[Objects(0)]\r\nNetAdr=1,2,3\r\nCOM=1\r\n"
            "[Objects(1)]\r\nNetAdr=17\r\nCOM=4\r\nBaudRate=19200\r\n"
            "[Objects(2)]\r\nNetAdr=5\r\nType=0\r\nTCPIP.IP=127.0.0.1\r\nTCPIP.Port=" +
                std::to_string(GatewayPort) +
                "\r\nAnswerTimeOut=20000\r\n"
                "[Objects(3)]\r\nNetAdr=9,10,11\r\nCOM=2\r\nAnswerTimeOut=20000\r\n");
  auto Form = std::make_unique<app::TForm1>(Dir.File("Quorlan2.INI"));
  Form->show();
  for (int i = 0; i < Form->RowCount(); ++i)
    Form->Row(i)->Data()->UpdateRow();
  return Form;
}

// Holds a meter's answer to its Nth block write until released, so that its
// process is caught half-way through the image.
class THold {
public:
  explicit THold(int Block) : FBlock(Block) {}
  void Attach(sim::SimMeter &Meter)
  {
    Meter.SetOverride([this](const std::string &Request) -> std::optional<std::string> {
      const std::size_t L = protocol::PrefixLength(Request);
      if (Request.size() > L && Request[L] == '\x07' && ++FWrites == FBlock) {
        std::unique_lock Lock(FLock);
        FReleased.wait_for(Lock, std::chrono::seconds(30), [this] { return FRelease; });
      }
      return std::nullopt;
    });
  }
  bool Reached() const { return FWrites >= FBlock; }
  void Release()
  {
    std::lock_guard Lock(FLock);
    FRelease = true;
    FReleased.notify_all();
  }

private:
  const int FBlock;
  std::atomic<int> FWrites{0};
  std::mutex FLock;
  std::condition_variable FReleased;
  bool FRelease = false;
};

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
  ::setenv("QUORLAN2_COM_DIR", Dir.Path().c_str(), 1);
  const auto Com1 = sim::SimLine::OpenPty(Dir.Path(), 1);
  for (int Address = 1; Address <= 3; ++Address)
    Com1->AddMeter(sim::MeterConfig::ForType(Address - 1, static_cast<std::uint8_t>(Address)));
  const auto Com4 = sim::SimLine::OpenPty(Dir.Path(), 4);
  Com4->AddMeter(sim::MeterConfig::ForType(3, 17));
  const auto Gateway = sim::SimLine::ListenTcp();
  THold Hold5(70), Hold10(160);
  Hold5.Attach(*Gateway->AddMeter(sim::MeterConfig::ForType(4, 5)));
  const auto Com2 = sim::SimLine::OpenPty(Dir.Path(), 2);
  Com2->AddMeter(sim::MeterConfig::ForType(0, 9));
  Hold10.Attach(*Com2->AddMeter(sim::MeterConfig::ForType(2, 10)));
  Com2->AddMeter(sim::MeterConfig::ForType(1, 11));

  const auto Form = ExampleWindow(Dir, Gateway->Port());
  const auto Released = [&] { Hold5.Release(), Hold10.Release(); };
  Form->ListView1->selectAll();
  bool Shown = WaitUntil([&Form] { return Form->StartBootAction->isEnabled(); });
  Form->StartBootAction->trigger();
  Form->ListView1->clearSelection();
  Form->Row(3)->setSelected(true);
  const auto Done = [&Form](int Row) {
    return Form->Row(Row)->Data()->State() == ssIdle &&
           Form->Row(Row)->text(7) == QString::fromUtf8("Тестирование выполнено");
  };
  Shown = Shown && WaitUntil([&] { return Done(0) && Done(1) && Hold5.Reached() && Hold10.Reached(); },
                             std::chrono::seconds(90));
  WaitUntil([] { return false; }, std::chrono::milliseconds(400)); // the rows' and the memo's next refresh
  const int Result =
      Shown ? Saved(Form->grab(), FileName) : (std::printf("the processes did not get there\n"), 1);
  Released();
  WaitUntil(
      [&Form] {
        for (int i = 0; i < Form->RowCount(); ++i)
          if (Form->Row(i)->Data()->State() != ssIdle)
            return false;
        return true;
      },
      std::chrono::seconds(90));
  return Result;
}

int TakeDialogScreenshot(const std::string &FileName)
{
  const TTestUnits Units;
  const TTempDir Dir;
  const auto Form = ExampleWindow(Dir, 4001);
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
