#include "link/ThreadService.h"
#include "tests/link/ThreadServiceProbe.h"

#include <gtest/gtest.h>

#include <random>

using platform::MakeThread;
using Strings = std::vector<std::string>;

namespace {

struct TProbe {
  std::shared_ptr<TProbeRecord> Record = std::make_shared<TProbeRecord>();
  std::shared_ptr<TProbeService::TOptions> Options = std::make_shared<TProbeService::TOptions>();
  platform::TThreadPtr<TProbeService> Service;

  explicit TProbe(bool terminateWhileBuilt = false)
      : Service(MakeThread<TProbeService>(Record, Options, terminateWhileBuilt))
  {
  }
  bool WaitIdle()
  {
    return WaitUntil([&] { return Service->State() == ssIdle; });
  }
};

// Records the state at every state change, on the thread that makes it. The
// state is read when the event fires, so a test must hold the service at a
// gate where another change could come in between.
struct TStateRecorder {
  std::mutex Lock;
  std::vector<TServiceState> States;

  void Attach(TCustomThreadService &service)
  {
    service.FSynchronized = false;
    service.FOnStateChange = [this, &service] {
      const std::lock_guard guard(Lock);
      States.push_back(service.State());
    };
  }
  std::vector<TServiceState> Take()
  {
    const std::lock_guard guard(Lock);
    return std::exchange(States, {});
  }
  bool WaitFor(std::size_t count)
  {
    return WaitUntil([&] {
      const std::lock_guard guard(Lock);
      return States.size() >= count;
    });
  }
};

} // namespace

TEST(ThreadService, EveryTransitionOfTheStateTable)
{
  // The probe's steps hold at gates, so each state can be seen while it lasts.
  TProbe probe;
  TProbeService &service = *probe.Service;
  TGate &startGate = probe.Options->StartGate;
  TGate &stopGate = probe.Options->StopGate;
  EXPECT_EQ(service.State(), ssIdle) << "a new service is idle";

  // ssIdle --Stop--> ssStop --DoStop--> ssIdle
  stopGate.Close();
  service.Stop();
  ASSERT_TRUE(stopGate.WaitForArrival());
  EXPECT_EQ(service.State(), ssStop);
  service.Start(); // nothing in ssStop
  EXPECT_EQ(service.State(), ssStop);
  stopGate.Open();
  ASSERT_TRUE(probe.WaitIdle());

  // ssIdle --Start--> ssStart --DoStart--> ssRun
  startGate.Close();
  service.Start();
  ASSERT_TRUE(startGate.WaitForArrival());
  EXPECT_EQ(service.State(), ssStart);
  service.Start(); // nothing in ssStart
  EXPECT_EQ(service.State(), ssStart);
  startGate.Open();
  ASSERT_TRUE(WaitUntil([&] { return probe.Record->Runs >= 2; }));
  EXPECT_EQ(service.State(), ssRun);
  service.Start(); // nothing in ssRun
  EXPECT_EQ(service.State(), ssRun);

  // ssRun --Stop--> ssStop --DoStop--> ssIdle
  stopGate.Close();
  service.Stop();
  ASSERT_TRUE(stopGate.WaitForArrival());
  EXPECT_EQ(service.State(), ssStop);
  stopGate.Open();
  ASSERT_TRUE(probe.WaitIdle());

  // ssRun --terminate request--> ssStop --DoStop--> ssIdle --terminate request--> end
  const int runs = probe.Record->Runs;
  service.Start();
  ASSERT_TRUE(WaitUntil([&] { return probe.Record->Runs > runs; }));
  stopGate.Close();
  service.Terminate();
  ASSERT_TRUE(stopGate.WaitForArrival());
  EXPECT_EQ(service.State(), ssStop);
  stopGate.Open();
  ASSERT_TRUE(WaitUntil([&] { return service.Finished(); }));
  EXPECT_EQ(service.State(), ssIdle);
  EXPECT_EQ(probe.Record->Steps(), (Strings{"stop", "start", "run", "stop", "start", "run", "stop"}));
  EXPECT_FALSE(probe.Record->RunOutsideAStart.load());
}

TEST(ThreadService, StepsAreCalledOnEveryPassWhileTheirStateLasts)
{
  TProbe probe;
  probe.Options->StartRepeats = 2;
  probe.Options->StopRepeats = 3;
  probe.Service->Start();
  ASSERT_TRUE(WaitUntil([&] { return probe.Record->Runs >= 5; }));
  probe.Service->Stop();
  ASSERT_TRUE(probe.WaitIdle());
  EXPECT_EQ(probe.Record->Steps(),
            (Strings{"start", "start", "start", "run", "stop", "stop", "stop", "stop"}));
  EXPECT_EQ(probe.Service->Blocks(), 0);
  EXPECT_FALSE(probe.Record->RunOutsideAStart.load());
}

TEST(ThreadService, AStopThatArrivesWhileAStepRunsIsNotLost)
{
  TMainThreadHook hook;
  TProbe probe;
  TStateRecorder recorder;
  recorder.Attach(*probe.Service);
  probe.Options->StartGate.Close();
  probe.Service->Start();
  ASSERT_TRUE(probe.Options->StartGate.WaitForArrival());
  probe.Service->Stop();  // while DoStart runs
  probe.Service->Start(); // in ssStop: nothing
  EXPECT_EQ(probe.Service->State(), ssStop);
  probe.Options->StartGate.Open();
  ASSERT_TRUE(probe.WaitIdle());
  EXPECT_EQ(probe.Record->Steps(), (Strings{"start", "stop"}));
  EXPECT_EQ(probe.Record->Runs.load(), 0);
  // DoStart's own ssRun gave way to the command. The event of a change
  // fires just after the change is seen: wait for the last one.
  ASSERT_TRUE(recorder.WaitFor(3));
  EXPECT_EQ(recorder.Take(), (std::vector<TServiceState>{ssStart, ssStop, ssIdle}));
}

TEST(ThreadService, StartAndStopFromOtherThreads)
{
  TProbe probe;
  std::vector<std::thread> commanders;
  for (int t = 0; t < 4; ++t)
    commanders.emplace_back([&, t] {
      std::minstd_rand random(t + 1);
      for (int i = 0; i < 300; ++i) {
        if (random() % 2)
          probe.Service->Start();
        else
          probe.Service->Stop();
        const TServiceState state = probe.Service->State();
        EXPECT_LE(static_cast<int>(state), static_cast<int>(ssIdle));
        if (i % 16 == 0)
          std::this_thread::sleep_for(std::chrono::microseconds(300));
      }
    });
  for (auto &commander : commanders)
    commander.join();
  std::thread([&] { probe.Service->Stop(); }).join();
  ASSERT_TRUE(probe.WaitIdle());
  // Still commanded by other threads after all that.
  const int runs = probe.Record->Runs;
  std::thread([&] { probe.Service->Start(); }).join();
  ASSERT_TRUE(WaitUntil([&] { return probe.Record->Runs > runs; }));
  std::thread([&] { probe.Service->Stop(); }).join();
  ASSERT_TRUE(probe.WaitIdle());
  EXPECT_FALSE(probe.Record->RunOutsideAStart.load()) << "DoRun only follows a DoStart";
  EXPECT_EQ(probe.Record->Steps().back(), "stop");
}

TEST(ThreadService, AnExceptionInEachStep)
{
  TMainThreadHook hook;
  TProbe probe;
  std::atomic<int> errors{0};
  probe.Service->FSynchronized = false;
  probe.Service->FOnError = [&] { ++errors; };

  // In DoStart and in DoRun: exactly one DoStop, on the very next pass, with
  // no pause in between.
  probe.Options->RaiseInStart = 1;
  probe.Service->Start();
  ASSERT_TRUE(probe.WaitIdle());
  EXPECT_EQ(probe.Record->Entries(), (Strings{"start!", "stop"}));
  EXPECT_EQ(errors.load(), 1);

  probe.Record->Clear();
  probe.Options->RaiseInRun = 1;
  probe.Service->Start();
  ASSERT_TRUE(probe.WaitIdle());
  EXPECT_EQ(probe.Record->Entries(), (Strings{"start", "pause", "run!", "stop"}));
  EXPECT_EQ(errors.load(), 2);

  // In DoStop: the state stays ssStop and DoStop comes again.
  probe.Record->Clear();
  probe.Options->RaiseInStop = 2;
  probe.Service->Stop();
  ASSERT_TRUE(probe.WaitIdle());
  EXPECT_EQ(probe.Record->Steps(), (Strings{"stop!", "stop!", "stop"}));
  EXPECT_EQ(errors.load(), 4);

  // The thread lives on.
  probe.Service->Start();
  ASSERT_TRUE(WaitUntil([&] { return probe.Service->State() == ssRun; }));
}

TEST(ThreadService, AStopStepThatKeepsRaisingIsBackedOffAndACommandCutsTheWaitShort)
{
  TProbe probe;
  probe.Options->StopRaisesForever = true;
  probe.Service->Stop();
  ASSERT_TRUE(WaitUntil([&] { return probe.Record->Stops >= 8; }));
  // By now the waits between tries have grown to tens of milliseconds;
  // without them the loop would have called DoStop many thousand times.
  const int before = probe.Record->Stops;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_LT(probe.Record->Stops - before, 1000);
  EXPECT_EQ(probe.Service->State(), ssStop);

  probe.Options->StopRaisesForever = false;
  probe.Service->Stop(); // wakes the loop at once rather than after the back-off
  ASSERT_TRUE(probe.WaitIdle());
}

TEST(ThreadService, ATerminateRequestInStartStillRunsDoStartThenStops)
{
  TProbe probe;
  probe.Options->StartGate.Close();
  probe.Service->Start();
  ASSERT_TRUE(probe.Options->StartGate.WaitForArrival());
  probe.Service->Terminate();
  probe.Options->StartGate.Open();
  ASSERT_TRUE(WaitUntil([&] { return probe.Service->Finished(); }));
  EXPECT_EQ(probe.Record->Steps(), (Strings{"start", "stop"}));
  EXPECT_EQ(probe.Service->State(), ssIdle);
  EXPECT_TRUE(probe.Service->FTimer->Terminated()) << "the service's end asks its timer to end";
  EXPECT_TRUE(WaitUntil([&] { return probe.Service->FTimer->Finished(); }));
}

TEST(ThreadService, DestroyingIdleRunningAndNeverStartedServices)
{
  TMainThreadHook hook;
  const auto mainThread = std::this_thread::get_id();
  {
    TProbe idle;
    auto record = idle.Record;
    idle.Service.reset();
    EXPECT_EQ(record->Steps(), Strings{});
  }
  {
    TProbe running;
    running.Service->Start();
    ASSERT_TRUE(WaitUntil([&] { return running.Record->Runs >= 3; }));
    auto record = running.Record;
    running.Service.reset();
    const Strings steps = record->Steps();
    ASSERT_EQ(steps, (Strings{"start", "run", "stop"})) << "a running service passes through DoStop";
    EXPECT_NE(record->StopThread, mainThread) << "DoStop runs on the service's own thread";
  }
  {
    TProbe neverStarted(true);
    EXPECT_FALSE(neverStarted.Service->FTimer->Terminated());
    auto record = neverStarted.Record;
    neverStarted.Service.reset(); // its timer is ended by the service's freeing
    EXPECT_EQ(record->Entries(), Strings{}) << "no step";
  }
}

TEST(ThreadService, ServiceListHoldsEveryLiveServiceAndTerminateAllAsksThemToEnd)
{
  ASSERT_NE(ServiceList(), nullptr);
  EXPECT_EQ(ServiceList()->Count(), 0u);
  TerminateAllServices(); // empty list: nothing

  TProbe first;
  auto second = MakeThread<TCustomThreadService>();
  EXPECT_FALSE(first.Service->Terminated());
  std::vector<TCustomThreadService *> listed;
  ServiceList()->LockList([&](std::vector<TCustomThreadService *> &items) { listed = items; });
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed[0], first.Service->FTimer.get()) << "the timer is listed before its service";
  EXPECT_EQ(listed[1], first.Service.get());
  EXPECT_EQ(listed[2], second.get());

  first.Service->Start();
  ASSERT_TRUE(WaitUntil([&] { return first.Record->Runs >= 1; }));
  TerminateAllServices();
  EXPECT_TRUE(first.Service->Terminated());
  EXPECT_TRUE(first.Service->FTimer->Terminated());
  EXPECT_TRUE(second->Terminated());
  EXPECT_TRUE(WaitUntil([&] { return first.Service->Finished() && second->Finished(); }));
  EXPECT_EQ(first.Record->Steps(), (Strings{"start", "run", "stop"}));

  first.Service.reset();
  second.reset();
  EXPECT_EQ(ServiceList()->Count(), 0u);
}

namespace {
platform::TThreadPtr<TProbeService> *LeftAtExit = nullptr;

void CheckAfterTheListClosed()
{
  // The list's closing ran before this (it was registered later).
  bool ok = ServiceList() == nullptr && (*LeftAtExit)->Terminated();
  TerminateAllServices(); // no list: nothing
  LeftAtExit->reset();    // a service that outlived the list frees cleanly
  {
    auto late = MakeThread<TCustomThreadService>();
    late->Start();
    ok = ok && WaitUntil([&] { return late->State() == ssRun; });
  }
  std::_Exit(ok ? 0 : 3);
}
} // namespace

TEST(ThreadServiceDeathTest, TheListClosesAtExitAndTerminateAllThenDoesNothing)
{
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::atexit(CheckAfterTheListClosed); // before the list is made
        auto record = std::make_shared<TProbeRecord>();
        auto options = std::make_shared<TProbeService::TOptions>();
        LeftAtExit = new platform::TThreadPtr<TProbeService>(MakeThread<TProbeService>(record, options));
        (*LeftAtExit)->Start();
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}
