// The main window with many processes updating simulated meters at once
// (half on pty lines, half on TCP gateways; no pacing, no fixed waits): how
// responsive the main thread stays. A 10 ms timer measures how late the event
// loop serves it; the window's 100 ms timer tick and the batches of row
// refreshes (the calls the loaders hand to the main thread) are timed; every
// row's writes are counted. Once every run has ended, the same is measured
// with nothing changing: the rows should then write no text at all. Every
// meter must end with the exact image of its type.
//
// The simulated meters stand for devices at the far end of a wire, but their
// threads run in this process; they are made first and run at a lower
// priority (nice +10 by default, as the loaders' threads do), so that they
// compete with the window no more than the loaders themselves.
//
// Target: with 256 processes the 10 ms timer is served with a 99th
// percentile lateness of at most 50 ms.
//
//   WindowRefreshBench [processes=50, up to the bound on rows] [meters per process=3]
//                      [nice of the simulated meters' threads=10]
#include "app/MainForm.h"
#include "app/WakeHook.h"
#include "loader/BuiltinImages.h"
#include "loader/ExtDumpMem.h"
#include "platform/Synchronize.h"
#include "support/SimLine.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration D) { return std::chrono::duration<double, std::milli>(D).count(); }

// The main thread's own processor time in milliseconds: on a loaded machine
// the wall-clock figures include time the thread waited for a processor.
double CpuMs()
{
  timespec T{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &T);
  return static_cast<double>(T.tv_sec) * 1e3 + static_cast<double>(T.tv_nsec) / 1e6;
}

// A row as the loader sees it, counting what the loader does to it: every
// refresh reads the caption once, every changed text is one write.
class TCountingRow : public loader::TListRow {
public:
  explicit TCountingRow(loader::TListRow *Row) : FRow(Row) {}
  std::string Caption() const override { return ++Refreshes, FRow->Caption(); }
  void SetCaption(const std::string &Text) override { ++Writes, FRow->SetCaption(Text); }
  std::string SubItem(int Index) const override { return FRow->SubItem(Index); }
  void SetSubItem(int Index, const std::string &Text) override { ++Writes, FRow->SetSubItem(Index, Text); }
  mutable long Refreshes = 0;
  long Writes = 0;

private:
  loader::TListRow *FRow;
};

// Durations in milliseconds; median, 99th percentile and maximum.
struct TSamples {
  std::vector<double> Values;
  void Add(double V) { Values.push_back(V); }
  void Clear() { Values.clear(); }
  double At(double Fraction) const
  {
    if (Values.empty())
      return 0;
    std::vector<double> Sorted = Values;
    std::sort(Sorted.begin(), Sorted.end());
    return Sorted[std::min(Sorted.size() - 1,
                           static_cast<std::size_t>(Fraction * static_cast<double>(Sorted.size())))];
  }
  void Print(const char *Name) const
  {
    std::printf("  %-34s n=%-6zu median %7.3f  p99 %7.3f  max %7.3f ms\n", Name, Values.size(), At(0.5),
                At(0.99), Values.empty() ? 0.0 : *std::max_element(Values.begin(), Values.end()));
  }
};

struct TMeasure {
  TSamples Lateness, WindowTick, RowBatch, WindowTickCpu, RowBatchCpu;
  long Refreshes = 0, Writes = 0, MemoWrites = 0;
  void Clear() { *this = TMeasure(); }
};

// The machine's load averages, to go with the figures.
std::string LoadAverage()
{
  std::ifstream File("/proc/loadavg");
  std::string One, Five, Fifteen;
  File >> One >> Five >> Fifteen;
  return One + " " + Five + " " + Fifteen;
}

// The main thread's time on a processor and waiting for one, in ms
// (/proc/self/task/<tid>/schedstat: nanoseconds).
std::pair<double, double> MainThreadSchedule()
{
  std::ifstream File("/proc/self/task/" + std::to_string(::gettid()) + "/schedstat");
  double Run = 0, Wait = 0;
  File >> Run >> Wait;
  return {Run / 1e6, Wait / 1e6};
}

// Serves the event loop until Done holds or the time-out has passed.
bool ServeUntil(const std::function<bool()> &Done, std::chrono::milliseconds Timeout)
{
  // The loop sleeps between events as the program's own does: a
  // processEvents with a time limit would never wait, and a main thread that
  // never sleeps is served by the scheduler as a busy one.
  const auto Deadline = Clock::now() + Timeout;
  while (!Done()) {
    if (Clock::now() >= Deadline)
      return false;
    QEventLoop Loop;
    QTimer::singleShot(5, &Loop, &QEventLoop::quit);
    Loop.exec();
  }
  return true;
}

} // namespace

int main(int argc, char **argv)
{
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  const int Processes =
      argc > 1 ? std::clamp(std::atoi(argv[1]), 2, static_cast<int>(app::MaxProcessCount)) : 50;
  const int MetersEach = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  const int MeterNice = argc > 3 ? std::clamp(std::atoi(argv[3]), 0, 19) : 10;
  QApplication Application(argc, argv);
  TMeasure M;
  const loader::TLoaderUnits Units;
  const app::TWakeHook WakeHook;
  // In place of the program's hook (one wake-up of the event loop per batch
  // of queued calls), one that times the run of each batch.
  platform::SetWakeMainThread([&M] {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [&M] {
          const auto Start = Clock::now();
          const double Cpu = CpuMs();
          if (platform::CheckSynchronize()) {
            M.RowBatch.Add(Ms(Clock::now() - Start));
            M.RowBatchCpu.Add(CpuMs() - Cpu);
          }
        },
        Qt::QueuedConnection);
  });

  char Pattern[] = "/tmp/quorlan2-bench-XXXXXX";
  const std::string Dir = ::mkdtemp(Pattern);
  ::setenv("QUORLAN2_COM_DIR", Dir.c_str(), 1);

  // Half the processes on pty lines, half on TCP gateways, each line with
  // its own meters at addresses 1..MetersEach.
  std::vector<std::unique_ptr<sim::SimLine>> Lines;
  std::vector<std::pair<std::shared_ptr<sim::SimMeter>, int>> Meters; // and their types
  for (int i = 0; i < Processes; ++i) {
    Lines.push_back(i % 2 == 0 ? sim::SimLine::OpenPty(Dir, i + 1) : sim::SimLine::ListenTcp());
    for (int A = 1; A <= MetersEach; ++A) {
      const int Type = (i + A) % 5;
      Meters.emplace_back(
          Lines.back()->AddMeter(sim::MeterConfig::ForType(Type, static_cast<std::uint8_t>(A))), Type);
    }
  }
  // Every thread so far but this one serves simulated meters.
  for (const auto &Task : std::filesystem::directory_iterator("/proc/self/task"))
    if (const int Tid = std::atoi(Task.path().filename().c_str()); Tid != ::gettid())
      ::setpriority(PRIO_PROCESS, static_cast<id_t>(Tid), MeterNice);
  std::string Addresses;
  for (int A = 1; A <= MetersEach; ++A)
    Addresses += (A > 1 ? "," : "") + std::to_string(A);

  std::vector<std::unique_ptr<TCountingRow>> Rows; // outlive the window's loaders
  app::TForm1::CommandServerEnabled = false;
  auto Form = std::make_unique<app::TForm1>(Dir + "/bench.ini");
  Form->resize(1000, 700);
  Form->show();
  for (int i = 0; i < Processes; ++i) {
    loader::TQuorlan &L = *Form->AddProcess(nullptr)->Data();
    L.FUseComPort = i % 2 == 0;
    L.FDevice->FInfo->SetParam(rpPortNumber, i + 1);
    L.FTcpClient->Port = Lines[static_cast<std::size_t>(i)]->Port();
    L.SetNetAdr(Addresses);
    L.FTestModeWait = L.FCloseWait = L.FAlertWait = L.FLinkWait = std::chrono::milliseconds(0);
    Rows.push_back(std::make_unique<TCountingRow>(L.FListItem));
    L.FListItem = Rows.back().get();
  }
  // The first row is selected, so every window tick compares its log.
  QObject::connect(Form->Memo1, &QPlainTextEdit::textChanged, [&M] { ++M.MemoWrites; });

  // The window's 100 ms tick, timed: the same call on the same thread.
  Form->Timer1->stop();
  QTimer Tick;
  Tick.setTimerType(Qt::PreciseTimer);
  Tick.setInterval(100);
  QObject::connect(&Tick, &QTimer::timeout, [&] {
    const auto Start = Clock::now();
    const double Cpu = CpuMs();
    Form->Timer1Timer(Form->Timer1);
    M.WindowTick.Add(Ms(Clock::now() - Start));
    M.WindowTickCpu.Add(CpuMs() - Cpu);
  });
  Tick.start();
  // The probe: a 10 ms timer, and how late the event loop serves it.
  QTimer Probe;
  Probe.setTimerType(Qt::PreciseTimer);
  Probe.setInterval(10);
  auto Last = Clock::now();
  QObject::connect(&Probe, &QTimer::timeout, [&] {
    const auto Now = Clock::now();
    M.Lateness.Add(std::max(0.0, Ms(Now - Last) - 10.0));
    Last = Now;
  });
  Probe.start();

  const auto AllIdle = [&] {
    for (int i = 0; i < Form->RowCount(); ++i)
      if (Form->Row(i)->Data()->State() != ssIdle)
        return false;
    return true;
  };
  const auto Totals = [&](long &Refreshes, long &Writes) {
    Refreshes = Writes = 0;
    for (const auto &Row : Rows)
      Refreshes += Row->Refreshes, Writes += Row->Writes;
  };
  const auto Report = [&](const char *Phase, double Seconds) {
    long Refreshes = 0, Writes = 0;
    Totals(Refreshes, Writes);
    std::printf("%s (%.1f s)\n", Phase, Seconds);
    M.Lateness.Print("10 ms timer lateness");
    M.WindowTick.Print("window timer tick (100 ms)");
    M.WindowTickCpu.Print("  its processor time");
    M.RowBatch.Print("row refresh batch (queued calls)");
    M.RowBatchCpu.Print("  its processor time");
    const long R = Refreshes - M.Refreshes, W = Writes - M.Writes;
    std::printf("  row refreshes %ld, text writes %ld (%.3f per refresh), memo writes %ld\n", R, W,
                R ? static_cast<double>(W) / static_cast<double>(R) : 0.0, M.MemoWrites);
  };

  ServeUntil([] { return false; }, std::chrono::milliseconds(500)); // the window settles
  M.Clear();
  Totals(M.Refreshes, M.Writes);
  std::printf(
      "%d processes (%d pty lines, %d TCP gateways), %d meters each (their threads at nice %d), no waits; "
      "load average %s\n",
      Processes, (Processes + 1) / 2, Processes / 2, MetersEach, MeterNice, LoadAverage().c_str());
  Form->ListView1->selectAll();
  Form->StartBootActionExecute(Form->StartBootAction);
  Form->ListView1->clearSelection();
  Form->Row(0)->setSelected(true);
  QElapsedTimer Phase;
  Phase.start();
  const auto Schedule = MainThreadSchedule();
  const bool Ended = ServeUntil(AllIdle, std::chrono::minutes(5));
  const auto ScheduleEnd = MainThreadSchedule();
  Report(Ended ? "Running, until every run ended" : "Running (not ended after 5 minutes)",
         Phase.elapsed() / 1000.0);
  std::printf("  main thread on a processor %.0f ms, waiting for one %.0f ms\n",
              ScheduleEnd.first - Schedule.first, ScheduleEnd.second - Schedule.second);
  const double RunningP99 = M.Lateness.At(0.99);
  std::printf("  10 ms timer p99 lateness %.1f ms: %s (target at most 50 ms)\n", RunningP99,
              RunningP99 <= 50.0 ? "met" : "NOT met");

  ServeUntil([] { return false; }, std::chrono::milliseconds(500)); // the last refreshes
  M.Clear();
  Totals(M.Refreshes, M.Writes);
  Phase.restart();
  ServeUntil([] { return false; }, std::chrono::seconds(3));
  Report("Idle afterwards, nothing changing", Phase.elapsed() / 1000.0);

  int Done = 0;
  for (int i = 0; i < Form->RowCount(); ++i)
    Done += Form->Row(i)->text(7) == QString::fromUtf8("Тестирование выполнено");
  std::printf("rows done: %d of %d\n", Done, Processes);
  int Exact = 0;
  for (const auto &[Meter, Type] : Meters) {
    const std::string Image = *loader::DumpMem[static_cast<std::size_t>(Type)]->Snapshot();
    Exact += Meter->Memory().substr(sim::SimMeter::kWriteStart) == Image.substr(sim::SimMeter::kWriteStart);
  }
  std::printf("meters holding the exact image: %d of %zu\n", Exact, Meters.size());
  std::printf("load average at the end %s\n", LoadAverage().c_str());

  Probe.stop();
  Tick.stop();
  Form.reset();
  Lines.clear();
  std::filesystem::remove_all(Dir);
  return Ended && Done == Processes && Exact == static_cast<int>(Meters.size()) ? 0 : 1;
}
