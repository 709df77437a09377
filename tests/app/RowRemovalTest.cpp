// Removing a running row: the row goes at once, its loader ends its run out
// of the window's way, and the window counts it as running until it is freed.
#include "AppTestSupport.h"

#include "app/MainForm.h"
#include "support/SimLine.h"

#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>

using namespace apptest;
using app::TForm1;

namespace {

// Holds the meter's answers back until released (at the latest when it goes).
struct TAnswerGate {
  std::promise<void> Open;
  std::shared_future<void> Opened = Open.get_future().share();
  std::atomic<int> Held{0};
  std::once_flag Released;
  void Release()
  {
    std::call_once(Released, [this] { Open.set_value(); });
  }
  ~TAnswerGate() { Release(); }
};

} // namespace

TEST(RowRemoval, ARunningRowGoesAtOnceAndTheWindowGoesOnWhileItsLoaderEnds)
{
  const TTempDir Dir;
  auto Gateway = sim::SimLine::ListenTcp();
  const auto Meter = Gateway->AddMeter(sim::MeterConfig::ForType(0, 5));
  auto Form = std::make_unique<TForm1>(Dir.File("q.ini"));
  TAnswerGate Gate;
  Meter->SetOverride([&Gate](const std::string &) -> std::optional<std::string> {
    ++Gate.Held;
    Gate.Opened.wait();
    return std::nullopt; // the meter's own answer
  });
  Form->show();
  Form->AddItemActionExecute(nullptr);
  loader::TQuorlan &L = *Form->Row(0)->Data();
  L.FTcpClient->Port = Gateway->Port();
  L.SetNetAdr("5");
  L.FCloseWait = L.FLinkWait = L.FTestModeWait = L.FAlertWait = std::chrono::milliseconds(10);
  L.Start();
  // The loader waits for its first answer (20 s answer time-out).
  ASSERT_TRUE(WaitUntil([&Gate] { return Gate.Held > 0; }));

  Form->RemoveItemActionExecute(nullptr);
  EXPECT_EQ(Form->RowCount(), 0);
  EXPECT_EQ(Form->FDeparting.Count(), 1u);
  EXPECT_EQ(Form->FProcessPlaces.Taken(), 1) << "the place goes back when the loader is freed";
  int Ticks = 0;
  QObject::connect(Form->Timer1, &QTimer::timeout, Form.get(), [&Ticks] { ++Ticks; });
  EXPECT_TRUE(WaitUntil([&Ticks] { return Ticks >= 3; })) << "the window's timer is served";
  EXPECT_EQ(Form->FDeparting.Count(), 1u);
  {
    TMessageBoxCatcher Boxes;
    EXPECT_FALSE(Form->close()) << "a departing loader counts as a running process";
    EXPECT_EQ(Boxes.Texts().size(), 1);
  }

  Gate.Release();
  ASSERT_TRUE(WaitUntil([&Form] { return Form->FDeparting.Count() == 0; }, std::chrono::seconds(60)));
  EXPECT_EQ(Form->FProcessPlaces.Taken(), 0);
  EXPECT_FALSE(Meter->InTestMode());
  EXPECT_TRUE(Form->close());
}
