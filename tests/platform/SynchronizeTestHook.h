#pragma once
// Makes the test's thread the main thread, with a wake-up hook that notifies
// a condition, so that tests can serve synchronised calls in their waits.
#include "platform/Synchronize.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

class TMainThreadHook {
public:
  TMainThreadHook() : FShared(std::make_shared<TShared>())
  {
    platform::SetMainThread();
    platform::SetWakeMainThread([shared = FShared] {
      {
        const std::lock_guard guard(shared->Lock);
        ++shared->Wakes;
      }
      shared->Woken.notify_all();
    });
  }
  ~TMainThreadHook() { platform::SetWakeMainThread(nullptr); }
  TMainThreadHook(const TMainThreadHook &) = delete;
  TMainThreadHook &operator=(const TMainThreadHook &) = delete;

  // Serves synchronised calls until done() holds or the deadline passes;
  // returns done(). done() is looked at on every wake-up and every 2 ms.
  template <class Done>
  bool ServeUntil(Done done, std::chrono::milliseconds timeout = std::chrono::seconds(20))
  {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      platform::CheckSynchronize();
      if (done())
        return true;
      if (std::chrono::steady_clock::now() >= deadline)
        return false;
      std::unique_lock lock(FShared->Lock);
      const long seen = FShared->Wakes;
      FShared->Woken.wait_for(lock, std::chrono::milliseconds(2), [&] { return FShared->Wakes != seen; });
    }
  }

  long Wakes() const
  {
    const std::lock_guard guard(FShared->Lock);
    return FShared->Wakes;
  }

private:
  struct TShared {
    std::mutex Lock;
    std::condition_variable Woken;
    long Wakes = 0;
  };
  std::shared_ptr<TShared> FShared;
};
