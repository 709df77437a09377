#pragma once
// A flag that one thread sleeps on and any thread raises: the sleeper wakes
// when the flag goes up, taking it down, or when its time has passed. A raise
// that comes before the sleep makes the sleep return at once, so no wake-up
// is lost. Built on the Linux futex: a sleep with a time limit that passes
// costs no lock and no further system call, which matters for the many timer
// threads that sleep and wake ten times a second.
#include <atomic>
#include <chrono>
#include <cstdint>

namespace platform {

class TWakeFlag {
public:
  // Any thread.
  void Raise();
  // Takes the flag down; true when it was up.
  bool Take() { return FUp.exchange(0) != 0; }

  // One thread at a time: sleeps until the flag is up and takes it down.
  void Wait();
  // The same, for at most Time: true when the flag was up, false when the
  // time passed first.
  bool WaitFor(std::chrono::nanoseconds Time);

private:
  std::atomic<std::uint32_t> FUp{0};
};

} // namespace platform
