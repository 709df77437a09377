#include "platform/WakeFlag.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;

// A raise is never lost: one that comes before the sleep ends it at once,
// and is taken by it; one that comes during the sleep wakes the sleeper.
TEST(WakeFlag, RaisesAreTakenOnceAndWakeTheSleeper)
{
  platform::TWakeFlag Flag;
  EXPECT_FALSE(Flag.WaitFor(1ms)) << "down: the time passes";
  Flag.Raise();
  Flag.Raise();
  EXPECT_TRUE(Flag.WaitFor(0ns));
  EXPECT_FALSE(Flag.Take()) << "two raises before a wait are one";

  for (const bool Limited : {false, true}) {
    std::atomic<bool> Woken{false};
    std::thread Sleeper([&] {
      if (Limited)
        EXPECT_TRUE(Flag.WaitFor(1h));
      else
        Flag.Wait();
      Woken = true;
    });
    std::this_thread::sleep_for(5ms); // most likely asleep by now; either way it must wake
    Flag.Raise();
    Sleeper.join();
    EXPECT_TRUE(Woken);
    EXPECT_FALSE(Flag.Take());
  }
}
