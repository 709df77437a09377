#pragma once
// Worker threads driven by a one-byte state.
//
// A TCustomThreadService is a thread whose loop reads its state and calls one
// step per pass: DoStart in ssStart, DoRun in ssRun, DoStop in ssStop, nothing
// in ssIdle. Other threads command it only through Start and Stop and watch it
// only through State(). Steps move the state on themselves (the base DoStart
// sets ssRun, the base DoStop sets ssIdle). An exception escaping a pass fires
// FOnError and moves ssStart/ssRun to ssStop; it never ends the thread. The
// terminate request turns ssRun into ssStop and ends the thread from ssIdle,
// so a running service always passes through DoStop before its thread ends.
//
// Making and freeing: platform::MakeThread<T>() and the TThreadPtr it returns
// (platform/Thread.h). A descendant's constructor takes the TCreateKey first:
//
//   class TMyService : public TThreadService {
//   public:
//     explicit TMyService(const TCreateKey &key) : TThreadService(key) { ... }
//   protected:
//     ~TMyService() override = default;
//     void DoStart() override; void DoRun() override; void DoStop() override;
//   };
//   auto service = platform::MakeThread<TMyService>();
//
// The loop starts only when the most-derived constructor has finished, and
// the service's thread has ended (passing through DoStop when it was running)
// before any destructor runs, so steps may use the descendant's members freely.
//
// Pacing: after a pass that ran a step the loop pauses 1 ms (one block per pass
// while running). An idle service sleeps until Start, Stop or the terminate
// request wakes it, and a running timer sleeps until its period is due; a
// command always cuts the pause short and is acted on at the next pass.
//
// Commands and steps: a command (Start or Stop from another thread) that
// arrives while a step runs wins over the state that step then sets in the
// same pass; the next pass acts on the command.
#include "platform/Thread.h"
#include "platform/ThreadList.h"
#include "platform/WakeFlag.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

enum TServiceState : std::uint8_t {
  ssStart = 0, // start requested
  ssRun = 1,   // running
  ssStop = 2,  // stop requested
  ssIdle = 3,  // idle; the initial state
};

using TNotifyEvent = std::function<void()>;

class TCustomThreadService : public platform::TThread {
public:
  explicit TCustomThreadService(const TCreateKey &key);

  // The current state; any thread may poll it.
  TServiceState State() const { return FState.load(); }

  // Assign the events while the service is idle, before its first Start.
  TNotifyEvent FOnStateChange; // fired by SetState after every change
  TNotifyEvent FOnError;       // fired when an exception escapes a pass
  // True: events run on the main thread through platform::Synchronize;
  // false: on the thread that fires them.
  std::atomic<bool> FSynchronized{true};

  // ssIdle -> ssStart; nothing in any other state.
  virtual void Start();
  // Any state -> ssStop.
  virtual void Stop();

  // Stores the state and fires FOnStateChange. On the service's own thread a
  // state set by a step gives way to a command that arrived during the pass.
  void SetState(TServiceState state);

  // Fires an event: nothing while the thread is not started, when the event
  // is empty or when the main thread has no wake-up hook; otherwise through
  // the synchronised call when FSynchronized holds (the handler's exception is
  // raised again here), else directly on this thread.
  void CallEvent(const TNotifyEvent &event);

protected:
  ~TCustomThreadService() override;

  // The steps, on the service's own thread.
  virtual void DoStart(); // base: SetState(ssRun)
  virtual void DoRun();   // base: nothing
  virtual void DoStop();  // base: SetState(ssIdle)

  // The service loop.
  void Execute() override;

  // How long the loop pauses after a pass that leaves the service busy: 1 ms.
  // An idle service waits for a command instead, and so does one whose
  // delay is Forever.
  virtual std::chrono::nanoseconds PassDelay() const;
  static constexpr std::chrono::nanoseconds Forever = std::chrono::nanoseconds::max();

  // Called first when the object is freed, before its thread is asked to
  // end: a descendant tells a step in progress how to end (on the freeing
  // thread; the service's thread may be running a step meanwhile).
  virtual void BeforeEnd() {}

  // Called by Start on the commanding thread, under the state's lock, when
  // it takes the service from idle to ssStart: before any step can see the
  // new state. Quick, no throw, no call back into the service.
  virtual void StartTaken() {}

  // In a step, on the service's own thread: a Stop that came in during this
  // pass is taken as done with by the step, and the state goes back to what
  // it was before that Stop, so that the state the step sets next stands.
  // True when there was such a Stop.
  bool TakeStopCommand();

  // In a step, on the service's own thread: whether a Stop has come in
  // during this pass (and was not taken back by TakeStopCommand).
  bool StopCommanded();

  void TerminatedSet() final;
  // Cuts the loop's current or next pause short.
  void WakeLoop();
  void AfterConstruction() final;
  // Ends and waits for the service's thread, takes it off ServiceList, then
  // ends the threads it owns (EndOwnedThreads), all with the object whole.
  void BeforeDestruction() final;

private:
  // Ends and waits for threads the service owns whose work may reach into
  // the descendant (a timer whose handler uses the descendant's members).
  virtual void EndOwnedThreads() {}

  bool StoreState(TServiceState state, bool onlyFromIdle);
  TServiceState BeginPass();
  void Pause(std::chrono::nanoseconds delay);

  std::atomic<TServiceState> FState{ssIdle};

  // Guards the state's writes.
  std::mutex FStateLock;
  bool FCommanded = false;               // another thread wrote the state during this pass
  TServiceState FBeforeCommand = ssIdle; // the state that the first of them replaced
  // Cuts the loop's current or next pause short.
  platform::TWakeFlag FWakeUp;
};

// A service whose run step calls FOnTimer once per period of FInterval ms.
// The owner sets FInterval and FOnTimer while the timer is idle, then calls
// Start; Stop returns it to idle. The first call comes FInterval ms after the
// start, each further one FInterval ms after the previous call returned. An
// exception of the handler stops the timer until the next Start. Periods are
// measured with a monotonic clock, so setting the wall clock has no effect.
class TThreadTimer : public TCustomThreadService {
public:
  using TClock = std::chrono::steady_clock;

  explicit TThreadTimer(const TCreateKey &key);

  std::atomic<std::uint32_t> FInterval{0}; // period in milliseconds
  TNotifyEvent FOnTimer;                   // handler called once per period

  // Begins a new period now.
  void ResetTime();

  // A handler that finds nothing to do may let the timer sleep: Hold, from
  // the handler, with the mark it took (WakeMark) before it looked. The
  // timer then calls it no more until a Wake comes after that mark; a Wake
  // that came while the handler looked keeps it from sleeping at all. A
  // woken timer calls the handler when its period is due, at once when the
  // period has passed while it slept. Start clears the hold.
  std::uint64_t WakeMark() const { return FWakes.load(); }
  void Hold(std::uint64_t Mark);
  // Any thread: ends a hold (or keeps the next from taking hold).
  void Wake();
  // True while the timer sleeps in a hold.
  bool Held() const;

protected:
  ~TThreadTimer() override = default;

  void DoStart() override;
  void DoRun() override;
  std::chrono::nanoseconds PassDelay() const override;

private:
  std::atomic<TClock::time_point> FStartTime{}; // when the current period began
  static constexpr std::uint64_t NotHeld = ~std::uint64_t{0};
  std::atomic<std::uint64_t> FWakes{0};
  std::atomic<std::uint64_t> FHeldAt{NotHeld}; // the mark of the hold, if any
};

// A service with a timer thread of its own. The timer is made (its thread
// idling) before the service's own thread; when the service's loop ends it
// asks the timer's thread to end; freeing the service ends and waits for its
// own thread first and then for the timer's, both before any destructor runs,
// so a timer handler that uses the descendant's members is safe to the end.
class TThreadService : public TCustomThreadService {
public:
  explicit TThreadService(const TCreateKey &key);

  const platform::TThreadPtr<TThreadTimer> FTimer;

protected:
  ~TThreadService() override;

  void Execute() final;

private:
  void EndOwnedThreads() final;
};

// Every live service of the process, timers included. It refers to them and
// owns none; a service joins it when its thread starts and leaves it before
// it is destroyed. Made at first use, before the first service; at exit it
// asks every service still listed to end and closes.
using TServiceList = platform::TThreadList<TCustomThreadService>;

// The list, or nullptr once it has been closed at exit.
TServiceList *ServiceList();

// Sets the terminate request of every listed service (no wait, no free).
// Does nothing once the list has been closed.
void TerminateAllServices();
