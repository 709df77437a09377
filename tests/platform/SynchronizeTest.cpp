#include "platform/Synchronize.h"
#include "tests/platform/SynchronizeTestHook.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

TEST(Synchronize, RunsAtOnceOnTheMainThreadAndOnTheMainThreadWhenQueued)
{
  TMainThreadHook hook;
  ASSERT_TRUE(platform::IsMainThread());
  ASSERT_TRUE(platform::HasWakeMainThread());

  bool ranAtOnce = false;
  platform::Synchronize([&] { ranAtOnce = true; });
  EXPECT_TRUE(ranAtOnce);
  EXPECT_FALSE(platform::CheckSynchronize()) << "nothing was queued";

  std::thread::id ranOn;
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    EXPECT_FALSE(platform::IsMainThread());
    platform::Synchronize([&] { ranOn = std::this_thread::get_id(); });
    returned = true; // only once the main thread has run the call
  });
  EXPECT_TRUE(hook.ServeUntil([&] { return returned.load(); }));
  worker.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
  EXPECT_GE(hook.Wakes(), 1) << "queuing a call wakes the main thread";
}

TEST(Synchronize, RaisesTheHandlersExceptionAgainInTheCallingThread)
{
  TMainThreadHook hook;
  std::atomic<bool> returned{false};
  std::string caught;
  std::thread worker([&] {
    try {
      platform::Synchronize([] { throw std::runtime_error("handler failed"); });
    } catch (const std::runtime_error &error) {
      caught = error.what();
    }
    returned = true;
  });
  EXPECT_TRUE(hook.ServeUntil([&] { return returned.load(); }));
  worker.join();
  EXPECT_EQ(caught, "handler failed");
  // On the main thread the exception simply passes through.
  EXPECT_THROW(platform::Synchronize([] { throw std::runtime_error("x"); }), std::runtime_error);
}

TEST(Synchronize, ServesManyThreadsOneCallAtATimeOnlyOnTheMainThread)
{
  TMainThreadHook hook;
  int counter = 0; // touched only on the main thread: no lock needed
  constexpr int threads = 6, calls = 40;
  std::atomic<int> done{0};
  std::atomic<bool> checkRefused{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&] {
      try {
        platform::CheckSynchronize();
      } catch (const std::logic_error &) {
        checkRefused = true;
      }
      for (int c = 0; c < calls; ++c)
        platform::Synchronize([&] { ++counter; });
      ++done;
    });
  EXPECT_TRUE(hook.ServeUntil([&] { return done.load() == threads; }));
  for (auto &worker : workers)
    worker.join();
  EXPECT_EQ(counter, threads * calls);
  EXPECT_TRUE(checkRefused.load()) << "CheckSynchronize belongs to the main thread";
}

TEST(Synchronize, AQueuedCallWaitsWithoutHookUntilTheMainThreadServes)
{
  platform::SetMainThread();
  platform::SetWakeMainThread(nullptr);
  EXPECT_FALSE(platform::HasWakeMainThread());
  std::atomic<bool> ran{false}, returned{false};
  std::thread worker([&] {
    platform::Synchronize([&] { ran = true; });
    returned = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!returned && std::chrono::steady_clock::now() < deadline) {
    platform::CheckSynchronize();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  worker.join();
  EXPECT_TRUE(ran.load());
}

namespace {

long VoluntarySwitchesOfThisThread()
{
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return usage.ru_nvcsw;
}

} // namespace

// Every row's loader hands a refresh to the main thread each 100 ms: with
// hundreds of rows, a completion that woke every waiting thread, or a wake-up
// of the main thread per call, would cost the square of the row count.
TEST(Synchronize, ACompletionWakesItsOwnCallerOnlyAndABatchWakesTheMainThreadOnce)
{
  TMainThreadHook hook;
  constexpr int threads = 48, calls = 10;
  std::atomic<int> done{0};
  std::atomic<long> switches{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&] {
      const long before = VoluntarySwitchesOfThisThread();
      for (int c = 0; c < calls; ++c)
        platform::Synchronize([] {});
      switches += VoluntarySwitchesOfThisThread() - before;
      ++done;
    });
  long passes = 0; // ServeUntil looks at done() once per CheckSynchronize
  EXPECT_TRUE(hook.ServeUntil([&] {
    ++passes;
    return done.load() == threads;
  }));
  for (auto &worker : workers)
    worker.join();
  // A caller sleeps about once per call, plus a few times on the queue's lock;
  // woken by every completion it would sleep some forty times per call here.
  EXPECT_LT(switches.load(), 8L * threads * calls);
  // A new wake-up needs a pass that took the queue since the last one.
  EXPECT_LE(hook.Wakes(), passes + 1);
}
