// What idle process rows cost, and how long closing takes with them.
//
// For each row count the program's main window is made from a settings file
// with that many idle TCP rows (and its command server, on a free port), as
// at start-up. Once it has settled, the processor time of the whole process
// and of the main thread alone is read from /proc/self/stat and
// /proc/self/task/<tid>/stat over the measuring period, while the window's
// event loop runs as the program's does. Then the window is closed as the
// operator would close it: the settings are written, the command server
// stops, and every row and loader is freed, as at the program's end.
//
// Targets: 1,000 idle rows at most 5 % of one core for the process (an idle
// row's threads sleep until something it shows changes) and 15 % for the
// main thread; 256 idle rows at most 8 % for the process; closing with 1,000
// rows at most 5 s; the cost per row may not grow by more than half from 16
// to 1,000 rows (looked at only where 16 rows cost a measurable amount).
//
//   IdleRowsBench [seconds=10] [row counts=0 16 256 1000]
#include "app/MainForm.h"
#include "app/WakeHook.h"
#include "link/DeviceList.h"
#include "link/ThreadService.h"
#include "loader/BuiltinImages.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration D) { return std::chrono::duration<double>(D).count(); }

// User plus system time in seconds from a stat file of /proc (fields 14 and
// 15, in clock ticks; the name in field 2 may hold blanks, so the fields are
// counted after its closing parenthesis).
double CpuSeconds(const std::string &StatFile)
{
  std::ifstream File(StatFile);
  const std::string Text((std::istreambuf_iterator<char>(File)), std::istreambuf_iterator<char>());
  std::istringstream Fields(Text.substr(Text.rfind(')') + 2));
  std::string Field;
  double Ticks = 0;
  for (int i = 3; i <= 15 && Fields >> Field; ++i)
    if (i >= 14)
      Ticks += std::stod(Field);
  return Ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::string FirstLine(const std::string &FileName)
{
  std::ifstream File(FileName);
  std::string Line;
  std::getline(File, Line);
  return Line;
}

std::string LoadAverage()
{
  std::istringstream Line(FirstLine("/proc/loadavg"));
  std::string One, Five, Fifteen;
  Line >> One >> Five >> Fifteen;
  return One + " " + Five + " " + Fifteen;
}

int ThreadCount()
{
  std::ifstream File("/proc/self/status");
  for (std::string Line; std::getline(File, Line);)
    if (Line.rfind("Threads:", 0) == 0)
      return std::atoi(Line.c_str() + 8);
  return 0;
}

// Runs the event loop for a while, as the program's message loop runs.
void Serve(std::chrono::milliseconds Time)
{
  QEventLoop Loop;
  QTimer::singleShot(Time, &Loop, &QEventLoop::quit);
  Loop.exec();
}

// A settings file with Rows idle TCP processes.
void WriteSettings(const std::string &FileName, int Rows)
{
  std::ofstream File(FileName, std::ios::binary);
  File << "[Main]\r\nCount=" << Rows << "\r\n[Server]\r\nPort=0\r\n";
  for (int i = 0; i < Rows; ++i)
    File << "[Objects(" << i << ")]\r\nNetAdr=" << (i % 250) + 1
         << "\r\nTCPIP.IP=127.0.0.1\r\nTCPIP.Port=" << 20000 + i << "\r\nType=0\r\n";
}

struct TFigures {
  int Rows = 0;
  double Process = 0, Main = 0;                    // per cent of one core
  double Start = 0, CloseWrite = 0, CloseFree = 0; // seconds
  bool Written = false;
};

TFigures Measure(int Rows, std::chrono::seconds Period, const std::string &Dir)
{
  TFigures F;
  F.Rows = Rows;
  const std::string Ini = Dir + "/idle" + std::to_string(Rows) + ".ini";
  WriteSettings(Ini, Rows);
  app::TForm1::CommandServerEnabled = true;
  const auto Made = Clock::now();
  auto Form = std::make_unique<app::TForm1>(Ini);
  F.Start = Seconds(Clock::now() - Made);
  Form->show();
  Serve(std::chrono::milliseconds(2000)); // every row shown once, the threads settled

  const std::string MainStat = "/proc/self/task/" + std::to_string(::gettid()) + "/stat";
  const std::string Load = LoadAverage();
  const auto Begin = Clock::now();
  const double Process0 = CpuSeconds("/proc/self/stat"), Main0 = CpuSeconds(MainStat);
  Serve(Period);
  const double Wall = Seconds(Clock::now() - Begin);
  F.Process = 100.0 * (CpuSeconds("/proc/self/stat") - Process0) / Wall;
  F.Main = 100.0 * (CpuSeconds(MainStat) - Main0) / Wall;
  const int Threads = ThreadCount();

  const auto Closing = Clock::now();
  Form->close(); // the settings written, the command server stopped
  const auto Closed = Clock::now();
  Form.reset(); // every row and loader freed, as at the program's end
  TerminateAllServices();
  F.CloseWrite = Seconds(Closed - Closing);
  F.CloseFree = Seconds(Clock::now() - Closed);
  std::ifstream Written(Ini);
  for (std::string Line; std::getline(Written, Line);)
    F.Written = F.Written || Line.rfind("Count=" + std::to_string(Rows), 0) == 0;

  std::printf("%5d rows %5d threads  process %6.2f %%  main thread %6.2f %%  start %6.3f s  close %6.3f s "
              "(settings %.3f s, freeing %.3f s)%s  load %s\n",
              Rows, Threads, F.Process, F.Main, F.Start, F.CloseWrite + F.CloseFree, F.CloseWrite,
              F.CloseFree, F.Written ? "" : "  SETTINGS NOT WRITTEN", Load.c_str());
  std::fflush(stdout);
  return F;
}

const char *Verdict(bool Met) { return Met ? "met" : "NOT met"; }

} // namespace

int main(int argc, char **argv)
{
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  const std::chrono::seconds Period(argc > 1 ? std::max(1, std::atoi(argv[1])) : 10);
  std::vector<int> Counts;
  for (int i = 2; i < argc; ++i)
    Counts.push_back(std::atoi(argv[i]));
  if (Counts.empty())
    Counts = {0, 16, 256, 1000};

  ServiceList();
  (void)DeviceList.load();
  int Result = 0;
  {
    const loader::TLoaderUnits Units;
    QApplication Application(argc, argv);
    const app::TWakeHook WakeHook; // the program's own
    char Pattern[] = "/tmp/quorlan2-idle-XXXXXX";
    const std::string Dir = ::mkdtemp(Pattern);
    std::printf("idle TCP rows, %lld s each, on %ld processors\n", static_cast<long long>(Period.count()),
                ::sysconf(_SC_NPROCESSORS_ONLN));
    std::vector<TFigures> All;
    for (const int Rows : Counts)
      All.push_back(Measure(Rows, Period, Dir));
    std::filesystem::remove_all(Dir);

    // Per row: the whole cost divided by the rows, and the cost above the
    // window without rows (when that was measured) divided by the rows.
    const TFigures *Base = nullptr, *Small = nullptr, *Large = nullptr;
    for (const TFigures &F : All) {
      if (F.Rows == 0)
        Base = &F;
      if (F.Rows == 16)
        Small = &F;
      if (F.Rows == 1000)
        Large = &F;
      if (F.Rows > 0)
        std::printf("%5d rows: per row %.4f %% of a core (above no rows: %.4f %%)\n", F.Rows,
                    F.Process / F.Rows, Base ? (F.Process - Base->Process) / F.Rows : 0.0);
      if (!F.Written)
        Result = 1;
    }
    for (const TFigures &F : All) {
      if (F.Rows == 1000) {
        std::printf(
            "1000 rows: process %.2f %% (target at most 5 %%): %s; main thread %.2f %% (at most 15 %%): %s; "
            "close %.3f s (at most 5 s): %s\n",
            F.Process, Verdict(F.Process <= 5), F.Main, Verdict(F.Main <= 15), F.CloseWrite + F.CloseFree,
            Verdict(F.CloseWrite + F.CloseFree <= 5));
      }
      if (F.Rows == 256)
        std::printf("256 rows: process %.2f %% (target at most 8 %%): %s\n", F.Process,
                    Verdict(F.Process <= 8));
    }
    // Below a tick of processor time in the whole period a cost per row
    // says nothing.
    if (Small && Large && Small->Process * Seconds(Period) / 100 >= 2.0 / ::sysconf(_SC_CLK_TCK)) {
      const double Growth = (Large->Process / Large->Rows) / (Small->Process / Small->Rows);
      std::printf("cost per row, 1000 rows against 16: %.2fx (target at most 1.5x): %s", Growth,
                  Verdict(Growth <= 1.5));
      if (Base)
        std::printf("; above no rows %.2fx", ((Large->Process - Base->Process) / Large->Rows) /
                                                 ((Small->Process - Base->Process) / Small->Rows));
      std::printf("\n");
    }
  }
  FinalizeDeviceList();
  TerminateAllServices();
  return Result;
}
