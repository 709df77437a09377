#include "platform/Synchronize.h"
#include "tests/platform/SynchronizeTestHook.h"

#include <gtest/gtest.h>

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
