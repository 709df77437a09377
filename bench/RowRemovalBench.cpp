// Removing a running row while its gateway is silent: the loader still has
// to end its run (its stop step waits for answers that never come), and the
// window must go on meanwhile. A 10 ms probe timer on the window measures
// how late the event loop serves it from just before the removal until the
// loader has been freed.
//
// Target: the probe's 99th percentile lateness at most 50 ms with an answer
// time-out of 20000 ms.
//
//   RowRemovalBench [answer time-out, ms=20000] [longest wait for the loader's end, s=180]
#include "app/MainForm.h"
#include "app/WakeHook.h"
#include "loader/BuiltinImages.h"
#include "support/SimLine.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration D) { return std::chrono::duration<double, std::milli>(D).count(); }

double Percentile(std::vector<double> Values, double P)
{
  if (Values.empty())
    return 0;
  std::sort(Values.begin(), Values.end());
  const auto Index = static_cast<std::size_t>(P * static_cast<double>(Values.size() - 1) + 0.5);
  return Values[std::min(Index, Values.size() - 1)];
}

// Serves the event loop until Done holds or Timeout has passed.
template <class Done> bool Serve(Done done, Clock::duration Timeout)
{
  const auto Deadline = Clock::now() + Timeout;
  while (!done()) {
    if (Clock::now() >= Deadline)
      return false;
    QCoreApplication::processEvents(
        QEventLoop::WaitForMoreEvents); // the window timer wakes it at least every 100 ms
  }
  return true;
}

} // namespace

int main(int argc, char **argv)
{
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  const int AnswerTimeOut = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
  const int LongestWait = argc > 2 ? std::max(1, std::atoi(argv[2])) : 180;
  QApplication Application(argc, argv);
  const loader::TLoaderUnits Units;
  const app::TWakeHook WakeHook;
  app::TForm1::CommandServerEnabled = false;

  char Pattern[] = "/tmp/quorlan2-bench-XXXXXX";
  const std::string Dir = ::mkdtemp(Pattern);
  auto Gateway = sim::SimLine::ListenTcp(); // takes the connection, never answers
  int Result = 0;
  {
    app::TForm1 Form(Dir + "/q.ini");
    Form.show();
    Form.AddItemActionExecute(nullptr);
    loader::TQuorlan &L = *Form.Row(0)->Data();
    L.FTcpClient->Port = Gateway->Port();
    L.FTcpClient->ReadTimeout = AnswerTimeOut;
    L.FDevice->FInfo->SetParam(rpAnswerTimeOut, AnswerTimeOut);
    L.SetNetAdr("1");
    L.Start();
    // The loader waits for its first answer.
    if (!Serve([&Gateway] { return !Gateway->Received().empty(); }, std::chrono::seconds(30))) {
      std::fprintf(stderr, "the loader never reached the gateway\n");
      return 1;
    }
    Serve([] { return false; }, std::chrono::milliseconds(500));

    std::vector<double> Lateness;
    auto Last = Clock::now();
    QTimer Probe;
    Probe.setTimerType(Qt::PreciseTimer);
    Probe.setInterval(10);
    QObject::connect(&Probe, &QTimer::timeout, [&] {
      const auto Now = Clock::now();
      Lateness.push_back(std::max(0.0, Ms(Now - Last) - 10.0));
      Last = Now;
    });
    Probe.start();
    Serve([] { return false; }, std::chrono::milliseconds(200));

    const auto Removal = Clock::now();
    Form.RemoveItemActionExecute(nullptr);
    const double RemoveCall = Ms(Clock::now() - Removal);
    const bool Ended =
        Serve([&Form] { return Form.FDeparting.Count() == 0; }, std::chrono::seconds(LongestWait));
    const double EndedAfter = Ms(Clock::now() - Removal);
    Probe.stop();

    std::printf("answer time-out %d ms: removal call %.1f ms, loader %s after %.1f s\n", AnswerTimeOut,
                RemoveCall, Ended ? "freed" : "still ending", EndedAfter / 1000.0);
    std::printf("probe timer (10 ms): %zu ticks, lateness median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                Lateness.size(), Percentile(Lateness, 0.5), Percentile(Lateness, 0.99),
                Lateness.empty() ? 0.0 : *std::max_element(Lateness.begin(), Lateness.end()));
    Result = Percentile(Lateness, 0.99) <= 50.0 ? 0 : 2;
    if (!Ended)
      Result = 3;
  }
  std::error_code Ignored;
  std::filesystem::remove_all(Dir, Ignored);
  return Result;
}
