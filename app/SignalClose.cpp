// The main window's close after a shutdown signal: the processes are stopped
// as the operator's stop action stops them, and the window closes when the
// last has ended, while its event loop keeps going.
#include "app/MainForm.h"

#include <QApplication>
#include <QDialog>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace app {

std::size_t TForm1::BusyProcessCount() const
{
  std::size_t Busy = FDeparting.Count();
  for (int i = 0; i < RowCount(); ++i)
    if (const loader::TQuorlan *L = Row(i)->Data(); L && L->State() != ssIdle)
      ++Busy;
  if (FRemoteProcesses)
    FRemoteProcesses->ForEach([&Busy](const loader::TQuorlan &L) { Busy += L.State() != ssIdle; });
  return Busy;
}

std::size_t TForm1::StopRunningProcesses()
{
  // A process in its stop step is left to finish it: stopping it again
  // would run the step anew. One that a client started meanwhile is stopped
  // as the others were.
  const auto StopIfRunning = [](loader::TQuorlan &L) {
    const TServiceState State = L.State();
    if (State == ssStart || State == ssRun) {
      L.OperatorStop();
    }
  };
  for (int i = 0; i < RowCount(); ++i)
    if (loader::TQuorlan *L = Row(i)->Data())
      StopIfRunning(*L);
  if (FRemoteProcesses)
    FRemoteProcesses->ForEach(StopIfRunning);
  return BusyProcessCount();
}

bool TForm1::EndModalWindows()
{
  bool Any = false;
  for (int i = 0; i < 16; ++i) {
    QWidget *Modal = QApplication::activeModalWidget();
    if (!Modal)
      break;
    Any = true;
    if (auto *Dialog = qobject_cast<QDialog *>(Modal))
      Dialog->reject();
    else
      Modal->close();
  }
  return Any;
}

void TForm1::CloseBySignal(int Signal)
{
  if (FClosingBySignal) {
    std::fprintf(stderr, "Quorlan2: signal %d again: ending at once\n", Signal);
    EndAtOnce();
  }
  FClosingBySignal = true;
  FBusyLeft = StopRunningProcesses();
  FLastProgress = std::chrono::steady_clock::now();
  std::fprintf(stderr, "Quorlan2: signal %d: stopping %zu running processes, then closing\n", Signal,
               FBusyLeft);
  FSignalCloseTimer = new QTimer(this);
  FSignalCloseTimer->setInterval(100);
  connect(FSignalCloseTimer, &QTimer::timeout, this, [this] { SignalCloseStep(); });
  FSignalCloseTimer->start();
  SignalCloseStep();
}

void TForm1::SignalCloseStep()
{
  const std::size_t Busy = StopRunningProcesses();
  const auto Now = std::chrono::steady_clock::now();
  if (Busy < FBusyLeft)
    FLastProgress = Now;
  FBusyLeft = Busy;
  if (Busy > 0) {
    if (Now - FLastProgress >= SignalCloseLimit) {
      std::fprintf(stderr,
                   "Quorlan2: %zu processes still running after %lld s without progress: ending at once\n",
                   Busy, static_cast<long long>(SignalCloseLimit.count()));
      EndAtOnce();
    }
    return;
  }
  // A dialog's own event loop, or a box of a close in progress, unwinds
  // first; the next step closes.
  if (EndModalWindows() || FInClose)
    return;
  if (!close())
    return; // a process came in meanwhile: wait for it too
  FSignalCloseTimer->stop();
  // Settings that could not be written are lost: no clean end.
  QCoreApplication::exit(FSettingsNotWritten ? SettingsNotWrittenStatus : 0);
}

void TForm1::EndAtOnce()
{
  std::string Error;
  if (!SaveSettings(Error))
    std::fprintf(stderr, "Quorlan2: %s\n", Error.c_str());
  std::fflush(nullptr);
  std::_Exit(EndAtOnceStatus);
}

} // namespace app
