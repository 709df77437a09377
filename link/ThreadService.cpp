#include "link/ThreadService.h"

#include "platform/Synchronize.h"

#include <algorithm>
#include <cstdlib>

using namespace std::chrono_literals;

namespace {

// The process-wide list of services. Its storage is never freed: a service
// that outlives the list's closing at exit (one freed by a later static
// destructor or by a thread still running) must find valid memory; a closed
// list is simply no longer used.
struct TServiceListUnit {
  TServiceList List;
  std::atomic<bool> Closed{false};
};

void FinalizeServiceList();

TServiceListUnit &ServiceListUnit()
{
  // Made at first use, which comes before the first service is listed. The
  // closing at exit is registered in the same step, so it runs after the
  // destructor of every static object whose constructor made a service.
  static TServiceListUnit *const unit = [] {
    auto *made = new TServiceListUnit;
    std::atexit(FinalizeServiceList);
    return made;
  }();
  return *unit;
}

void FinalizeServiceList()
{
  try {
    TerminateAllServices();
  } catch (...) {
  }
  TServiceListUnit &unit = ServiceListUnit();
  unit.Closed.store(true);
  try {
    unit.List.Clear();
  } catch (...) {
  }
}

// After a stop step has raised twice in a row the loop waits 1 ms before the
// next try, and twice as long after each further failure, up to one second.
std::chrono::nanoseconds StopFailureBackOff(unsigned failures)
{
  if (failures < 2)
    return 0ns;
  const unsigned shift = std::min(failures - 2, 10u);
  return std::min<std::chrono::nanoseconds>(1ms * (1u << shift), 1000ms);
}

} // namespace

TServiceList *ServiceList()
{
  TServiceListUnit &unit = ServiceListUnit();
  return unit.Closed.load() ? nullptr : &unit.List;
}

void TerminateAllServices()
{
  TServiceList *list = ServiceList();
  if (list == nullptr)
    return;
  list->LockList([](std::vector<TCustomThreadService *> &services) {
    for (TCustomThreadService *service : services)
      service->Terminate();
  });
}

// ---------------------------------------------------------------------------
// TCustomThreadService

TCustomThreadService::TCustomThreadService(const TCreateKey &key) : TThread(key) {}

TCustomThreadService::~TCustomThreadService() = default;

void TCustomThreadService::AfterConstruction()
{
  if (TServiceList *list = ServiceList())
    list->Add(this);
  TThread::AfterConstruction();
}

void TCustomThreadService::BeforeDestruction()
{
  BeforeEnd();
  TThread::BeforeDestruction();
  if (TServiceList *list = ServiceList())
    list->Remove(this);
  EndOwnedThreads();
}

void TCustomThreadService::TerminatedSet() { WakeLoop(); }

void TCustomThreadService::WakeLoop() { FWakeUp.Raise(); }

bool TCustomThreadService::StoreState(TServiceState state, bool onlyFromIdle)
{
  const bool own = IsCurrentThread();
  {
    const std::lock_guard guard(FStateLock);
    if (onlyFromIdle && FState.load() != ssIdle)
      return false;
    if (own) {
      // A command that came in during this pass stands; the pass's own
      // next state is dropped and the next pass acts on the command.
      if (FCommanded)
        return false;
    } else {
      if (!FCommanded)
        FBeforeCommand = FState.load();
      FCommanded = true;
    }
    if (onlyFromIdle)
      StartTaken();
    FState.store(state);
  }
  if (!own)
    FWakeUp.Raise();
  return true;
}

void TCustomThreadService::SetState(TServiceState state)
{
  if (StoreState(state, false))
    CallEvent(FOnStateChange);
}

bool TCustomThreadService::TakeStopCommand()
{
  {
    const std::lock_guard guard(FStateLock);
    if (!FCommanded || FState.load() != ssStop)
      return false;
    FCommanded = false;
    FState.store(FBeforeCommand);
  }
  CallEvent(FOnStateChange);
  return true;
}

bool TCustomThreadService::StopCommanded()
{
  const std::lock_guard guard(FStateLock);
  return FCommanded && FState.load() == ssStop;
}

void TCustomThreadService::Start()
{
  if (StoreState(ssStart, true))
    CallEvent(FOnStateChange);
}

void TCustomThreadService::Stop() { SetState(ssStop); }

void TCustomThreadService::CallEvent(const TNotifyEvent &event)
{
  if (Suspended() || !event || !platform::HasWakeMainThread())
    return;
  if (FSynchronized.load())
    platform::Synchronize(event);
  else
    event();
}

void TCustomThreadService::DoStart() { SetState(ssRun); }

void TCustomThreadService::DoRun() {}

void TCustomThreadService::DoStop() { SetState(ssIdle); }

std::chrono::nanoseconds TCustomThreadService::PassDelay() const { return 1ms; }

TServiceState TCustomThreadService::BeginPass()
{
  const std::lock_guard guard(FStateLock);
  FCommanded = false;
  return FState.load();
}

void TCustomThreadService::Pause(std::chrono::nanoseconds delay)
{
  // A command or the terminate request stores first and raises the flag
  // after, so one that comes after these looks still finds the flag up.
  if (FState.load() == ssIdle) {
    if (Terminated())
      return; // the next pass leaves the loop
    // Nothing to do until a command or the terminate request comes.
    FWakeUp.Wait();
  } else if (delay == Forever) {
    FWakeUp.Wait();
  } else if (delay > 0ns) {
    FWakeUp.WaitFor(delay);
  } else {
    FWakeUp.Take();
  }
}

void TCustomThreadService::Execute()
{
  unsigned stopFailures = 0;
  for (;;) {
    TServiceState state = ssIdle;
    try {
      state = BeginPass();
      switch (state) {
      case ssStart:
        DoStart();
        break;
      case ssRun:
        if (Terminated())
          SetState(ssStop);
        else
          DoRun();
        break;
      case ssStop:
        DoStop();
        break;
      case ssIdle:
        if (Terminated())
          return;
        break;
      }
      stopFailures = 0;
    } catch (...) {
      try {
        CallEvent(FOnError);
      } catch (...) {
      }
      try {
        const TServiceState now = FState.load();
        if (now == ssStart || now == ssRun)
          SetState(ssStop);
      } catch (...) {
      }
      // The next pass begins at once; only a stop step that keeps raising
      // is slowed down.
      stopFailures = state == ssStop ? stopFailures + 1 : 0;
      Pause(StopFailureBackOff(stopFailures));
      continue;
    }
    Pause(FState.load() == ssIdle ? 0ns : PassDelay());
  }
}

// ---------------------------------------------------------------------------
// TThreadTimer

TThreadTimer::TThreadTimer(const TCreateKey &key) : TCustomThreadService(key) {}

void TThreadTimer::ResetTime() { FStartTime.store(TClock::now()); }

void TThreadTimer::Hold(std::uint64_t Mark) { FHeldAt.store(Mark); }

void TThreadTimer::Wake()
{
  // The mark moves before the loop is woken: a hold taken with an older mark
  // no longer holds when the loop looks again.
  ++FWakes;
  WakeLoop();
}

bool TThreadTimer::Held() const { return FHeldAt.load() == FWakes.load(); }

void TThreadTimer::DoStart()
{
  FHeldAt.store(NotHeld);
  // Periods of many timers may end a little late together rather than each
  // on its own: fewer wake-ups of the system for the same calls.
  platform::SetCurrentThreadTimerSlack(std::chrono::milliseconds(1));
  ResetTime();
  TCustomThreadService::DoStart();
}

void TThreadTimer::DoRun()
{
  if (Terminated() || Held())
    return;
  FHeldAt.store(NotHeld);
  const TClock::time_point t = TClock::now();
  if (t - FStartTime.load() >= std::chrono::milliseconds(FInterval.load())) {
    CallEvent(FOnTimer);
    ResetTime();
  }
  TCustomThreadService::DoRun();
}

std::chrono::nanoseconds TThreadTimer::PassDelay() const
{
  const std::chrono::nanoseconds pass = TCustomThreadService::PassDelay();
  if (State() != ssRun || Terminated())
    return pass;
  if (Held())
    return Forever; // until a Wake, Stop or the terminate request
  // Sleep until the period is due; Stop or the terminate request cut it short.
  const TClock::time_point due = FStartTime.load() + std::chrono::milliseconds(FInterval.load());
  return std::max<std::chrono::nanoseconds>(due - TClock::now(), pass);
}

// ---------------------------------------------------------------------------
// TThreadService

TThreadService::TThreadService(const TCreateKey &key)
    : TCustomThreadService(key), FTimer(platform::MakeThread<TThreadTimer>())
{
}

TThreadService::~TThreadService() = default;

void TThreadService::Execute()
{
  TCustomThreadService::Execute();
  FTimer->Terminate();
}

void TThreadService::EndOwnedThreads()
{
  // The timer's handler may still be on its way (queued for the main thread);
  // it must run, or be dropped, before the descendant's members die.
  FTimer->Terminate();
  FTimer->WaitFor();
}
