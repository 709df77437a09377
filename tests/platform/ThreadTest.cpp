#include "platform/Thread.h"
#include "tests/platform/SynchronizeTestHook.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

using platform::MakeThread;
using platform::TThread;

namespace {

// A descendant whose members are built after the base and used by the thread
// until it is told to end: a loop that started in the base constructor, or
// a base destructor that joined the thread, would be seen by the sanitizers.
class TSummingThread : public TThread {
public:
  TSummingThread(const TCreateKey &key, int count) : TThread(key), FText("sum:")
  {
    SuspendedWhileBuilt = Suspended();
    FValues.resize(count);
    std::iota(FValues.begin(), FValues.end(), 1);
  }

  bool SuspendedWhileBuilt = false;
  std::atomic<long> Sum{-1};
  std::atomic<bool> Ran{false};

protected:
  ~TSummingThread() override = default;

  void Execute() override
  {
    Ran = true;
    long sum = 0;
    for (int value : FValues)
      sum += value;
    Sum = sum;
    std::unique_lock lock(FLock);
    while (!Terminated()) {
      FText += '.'; // keeps using the descendant's members until the end
      FChanged.wait(lock);
    }
    FValues.clear();
  }

  void TerminatedSet() override
  {
    {
      const std::lock_guard guard(FLock);
    }
    FChanged.notify_all();
  }

private:
  std::vector<int> FValues;
  std::string FText;
  std::mutex FLock;
  std::condition_variable FChanged;
};

class TEndsAtOnce : public TThread {
public:
  enum class TKind { Plain, TerminatedWhileBuilt, Raises, WaitsForItself };

  TEndsAtOnce(const TCreateKey &key, TKind kind) : TThread(key), FKind(kind)
  {
    if (kind == TKind::TerminatedWhileBuilt)
      Terminate();
  }

  std::atomic<bool> Ran{false};
  std::atomic<bool> SelfWaitRefused{false};
  std::atomic<int> MainThreadCalls{0};

protected:
  void Execute() override
  {
    Ran = true;
    if (FKind == TKind::Raises)
      throw std::runtime_error("escapes Execute");
    if (FKind == TKind::WaitsForItself) {
      try {
        WaitFor();
      } catch (const std::logic_error &) {
        SelfWaitRefused = true;
      }
    }
    for (int i = 0; i < 3; ++i)
      platform::Synchronize([this] {
        if (platform::IsMainThread())
          ++MainThreadCalls;
      });
  }

private:
  const TKind FKind;
};

} // namespace

TEST(Thread, StartsOnlyWhenBuiltAndEndsBeforeTheDescendantDies)
{
  for (int round = 0; round < 40; ++round) {
    auto thread = MakeThread<TSummingThread>(1000);
    EXPECT_TRUE(thread->SuspendedWhileBuilt);
    EXPECT_FALSE(thread->Suspended());
    if (round % 2 == 0) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (thread->Sum.load() < 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
      EXPECT_EQ(thread->Sum.load(), 500500);
    }
    // Freed here, often before the thread has even begun: the deleter ends
    // and joins it while the whole object is alive.
  }
}

TEST(Thread, TerminatedBeforeItBeginsNeverRunsExecute)
{
  TMainThreadHook hook;
  auto thread = MakeThread<TEndsAtOnce>(TEndsAtOnce::TKind::TerminatedWhileBuilt);
  thread->WaitFor();
  EXPECT_TRUE(thread->Finished());
  EXPECT_FALSE(thread->Ran.load());
  thread->WaitFor(); // a second wait returns at once
}

TEST(Thread, WaitOnTheMainThreadServesTheThreadsSynchronisedCalls)
{
  platform::SetMainThread();
  platform::SetWakeMainThread(nullptr); // the wait serves the queue by itself
  auto thread = MakeThread<TEndsAtOnce>(TEndsAtOnce::TKind::Plain);
  thread->WaitFor();
  EXPECT_EQ(thread->MainThreadCalls.load(), 3);

  // The same when the wait is the deleter's.
  auto freed = MakeThread<TEndsAtOnce>(TEndsAtOnce::TKind::Plain);
  freed.reset();
}

TEST(Thread, ExceptionsAndSelfWaitsStayInsideTheThread)
{
  TMainThreadHook hook;
  auto raising = MakeThread<TEndsAtOnce>(TEndsAtOnce::TKind::Raises);
  raising->WaitFor();
  EXPECT_TRUE(raising->Ran.load());
  EXPECT_TRUE(raising->Finished());

  auto selfWaiting = MakeThread<TEndsAtOnce>(TEndsAtOnce::TKind::WaitsForItself);
  selfWaiting->WaitFor();
  EXPECT_TRUE(selfWaiting->SelfWaitRefused.load());
}

TEST(Thread, WaitFromAnotherThreadAndTerminateFromMany)
{
  auto thread = MakeThread<TSummingThread>(10);
  std::vector<std::thread> terminators;
  for (int i = 0; i < 4; ++i)
    terminators.emplace_back([&] { thread->Terminate(); });
  std::thread waiter([&] { thread->WaitFor(); });
  for (auto &terminator : terminators)
    terminator.join();
  waiter.join();
  EXPECT_TRUE(thread->Finished());
  EXPECT_TRUE(thread->Terminated());
}

namespace {
class TFreedTheWrongWay : public TThread {
public:
  explicit TFreedTheWrongWay(const TCreateKey &key) : TThread(key) {}
  ~TFreedTheWrongWay() override = default; // public: lets the test bypass the deleter

protected:
  void Execute() override
  {
    while (!Terminated())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
};
} // namespace

TEST(ThreadDeathTest, DestroyingARunningThreadPastItsDeleterAbortsLoudly)
{
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer rightly reports the race this misuse makes";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        auto thread = MakeThread<TFreedTheWrongWay>();
        delete thread.release();
      },
      "destroyed while its thread runs");
}
