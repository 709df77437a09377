#include "link/ThreadService.h"
#include "tests/link/ThreadServiceProbe.h"

#include <gtest/gtest.h>

#include <algorithm>

using platform::MakeThread;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// A timer that counts the passes of its run step.
class TCountingTimer : public TThreadTimer {
public:
  explicit TCountingTimer(const TCreateKey &key) : TThreadTimer(key) {}
  std::atomic<int> Passes{0};

protected:
  void DoRun() override
  {
    ++Passes;
    TThreadTimer::DoRun();
  }
};

} // namespace

TEST(ThreadTimer, CallsNoEarlierThanTheIntervalAfterStartAndAfterThePreviousCallReturned)
{
  TMainThreadHook hook;
  auto timer = MakeThread<TThreadTimer>();
  struct TCall {
    Clock::time_point Entered, Returned;
    std::thread::id Thread;
  };
  std::vector<TCall> calls; // written on the main thread only
  timer->FInterval = 40;
  timer->FOnTimer = [&] {
    TCall call{Clock::now(), {}, std::this_thread::get_id()};
    std::this_thread::sleep_for(6ms);
    call.Returned = Clock::now();
    calls.push_back(call);
  };
  const Clock::time_point started = Clock::now();
  timer->Start();
  ASSERT_TRUE(hook.ServeUntil([&] { return calls.size() >= 4; }));
  timer->Stop();
  ASSERT_TRUE(hook.ServeUntil([&] { return timer->State() == ssIdle; }));

  EXPECT_GE(calls[0].Entered - started, 40ms);
  for (std::size_t i = 1; i < calls.size(); ++i)
    EXPECT_GE(calls[i].Entered - calls[i - 1].Returned, 40ms) << "call " << i;
  for (const TCall &call : calls)
    EXPECT_EQ(call.Thread, std::this_thread::get_id()) << "the handler runs on the main thread";
}

TEST(ThreadTimer, IntervalZeroCallsOnEveryPass)
{
  TMainThreadHook hook;
  auto timer = MakeThread<TCountingTimer>();
  std::atomic<int> calls{0};
  timer->FSynchronized = false;
  timer->FOnTimer = [&] { ++calls; };
  timer->Start();
  ASSERT_TRUE(WaitUntil([&] { return calls >= 30; }));
  timer->Stop();
  ASSERT_TRUE(WaitUntil([&] { return timer->State() == ssIdle; }));
  EXPECT_EQ(calls.load(), timer->Passes.load());
}

// A handler that has nothing to do lets the timer sleep, without a pass,
// until a Wake; a Wake that comes while the handler looks keeps it awake.
TEST(ThreadTimer, AHeldTimerSleepsUntilWoken)
{
  TMainThreadHook hook;
  auto timer = MakeThread<TCountingTimer>();
  std::atomic<int> calls{0};
  timer->FSynchronized = false;
  timer->FInterval = 5;
  timer->FOnTimer = [&] {
    const std::uint64_t mark = timer->WakeMark();
    if (++calls == 2)
      timer->Wake(); // a change while the handler looks
    timer->Hold(mark);
  };
  timer->Start();
  ASSERT_TRUE(WaitUntil([&] { return calls == 1 && timer->Held(); }));
  const int passes = timer->Passes;
  WaitUntil([] { return false; }, 200ms); // forty periods
  EXPECT_EQ(calls.load(), 1);
  EXPECT_LE(timer->Passes.load(), passes + 1) << "a held timer makes no passes";

  timer->Wake();
  ASSERT_TRUE(WaitUntil([&] { return calls == 3 && timer->Held(); })) << "woken, and kept awake once";
  timer->Stop();
  ASSERT_TRUE(WaitUntil([&] { return timer->State() == ssIdle; }));
  timer->Start(); // a new start clears the hold
  EXPECT_TRUE(WaitUntil([&] { return calls == 4; }));
}

TEST(ThreadTimer, AHandlerExceptionStopsTheTimerUntilTheNextStart)
{
  TMainThreadHook hook;
  auto timer = MakeThread<TCountingTimer>();
  std::atomic<int> calls{0}, errors{0};
  timer->FSynchronized = false;
  timer->FOnTimer = [&] {
    if (++calls == 2)
      throw std::runtime_error("handler failed");
  };
  timer->FOnError = [&] { ++errors; };
  timer->FInterval = 5;
  timer->Start();
  ASSERT_TRUE(WaitUntil([&] { return errors == 1 && timer->State() == ssIdle; }));
  EXPECT_EQ(calls.load(), 2);
  const int passes = timer->Passes;

  timer->Start();
  ASSERT_TRUE(WaitUntil([&] { return calls >= 4; }));
  EXPECT_GT(timer->Passes.load(), passes);
  EXPECT_EQ(errors.load(), 1);
}

TEST(ThreadTimer, NoEventIsFiredWithoutAWakeUpHook)
{
  platform::SetMainThread();
  platform::SetWakeMainThread(nullptr);
  std::atomic<int> events{0};
  for (const bool synchronized : {true, false}) {
    auto timer = MakeThread<TCountingTimer>();
    timer->FSynchronized = synchronized;
    timer->FOnTimer = [&] { ++events; };
    timer->FOnStateChange = [&] { ++events; };
    timer->FOnError = [&] { ++events; };
    timer->Start();
    ASSERT_TRUE(WaitUntil([&] { return timer->Passes >= 20; }));
    timer->Stop();
    ASSERT_TRUE(WaitUntil([&] { return timer->State() == ssIdle; }));

    auto record = std::make_shared<TProbeRecord>();
    auto options = std::make_shared<TProbeService::TOptions>();
    options->RaiseInRun = 1;
    auto service = MakeThread<TProbeService>(record, options);
    service->FSynchronized = synchronized;
    service->FOnStateChange = [&] { ++events; };
    service->FOnError = [&] { ++events; };
    service->Start();
    ASSERT_TRUE(WaitUntil([&] { return record->Stops >= 1 && service->State() == ssIdle; }));
  }
  EXPECT_EQ(events.load(), 0);
}

TEST(ThreadTimer, EventsRunOnTheMainThreadOrOnTheFiringThread)
{
  TMainThreadHook hook;
  const auto mainThread = std::this_thread::get_id();
  auto timer = MakeThread<TThreadTimer>();
  std::mutex lock;
  std::vector<std::thread::id> threads;
  auto note = [&] {
    const std::lock_guard guard(lock);
    threads.push_back(std::this_thread::get_id());
  };
  auto seen = [&] {
    const std::lock_guard guard(lock);
    return threads;
  };
  timer->FOnStateChange = note;
  timer->FOnTimer = [&] {
    note();
    throw std::runtime_error("stop");
  };
  timer->FOnError = note;

  // Synchronised: state changes, the handler and the error, all on the main thread.
  timer->Start();
  ASSERT_TRUE(hook.ServeUntil([&] { return timer->State() == ssIdle && seen().size() >= 6; }));
  for (const auto &thread : seen())
    EXPECT_EQ(thread, mainThread);
  // Start, ssRun, handler, error, ssStop, ssIdle.
  EXPECT_EQ(seen().size(), 6u);

  // Not synchronised: Start's change on the caller, the rest on the timer's thread.
  {
    const std::lock_guard guard(lock);
    threads.clear();
  }
  timer->FSynchronized = false;
  timer->Start();
  ASSERT_TRUE(WaitUntil([&] { return timer->State() == ssIdle && seen().size() >= 6; }));
  const auto threadsSeen = seen();
  EXPECT_EQ(std::count(threadsSeen.begin(), threadsSeen.end(), mainThread), 1);
}

namespace {

// Like the loader: its constructor starts its timer, whose handler refreshes
// the descendant's own members on the main thread every pass.
class TRowService : public TThreadService {
public:
  explicit TRowService(const TCreateKey &key) : TThreadService(key), FRow(8, 0)
  {
    FTimer->FInterval = 0;
    FTimer->FOnTimer = [this] { RefreshRow(); };
    FTimer->Start();
  }
  std::atomic<int> Refreshes{0};

protected:
  ~TRowService() override = default;
  void DoStop() override
  {
    // A stop step that waits for the main thread, as a loader's log line would.
    platform::Synchronize([this] { FRow[1] += 1; });
    TThreadService::DoStop();
  }

private:
  void RefreshRow()
  {
    FRow[0] += 1;
    ++Refreshes;
  }
  std::vector<int> FRow;
};

} // namespace

TEST(ThreadTimer, SynchronisedCallsAreServedWhileTheMainThreadWaitsForAService)
{
  TMainThreadHook hook;
  for (int round = 0; round < 20; ++round) {
    auto service = MakeThread<TRowService>();
    service->Start();
    if (round % 2 == 0) {
      ASSERT_TRUE(hook.ServeUntil([&] { return service->Refreshes >= 2; }));
    }
    // Freed on the main thread without serving first: the waits for the
    // service's thread and its timer's serve the refreshes and DoStop's call.
  }
}
