#include "platform/WakeFlag.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>

namespace platform {
namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t), "a futex is a plain 32-bit word");

// Sleeps while Word holds 0, at most Time (none: no limit). Returns on a wake,
// on a signal, at once when Word is not 0, or when the time has passed.
void SleepWhileDown(std::atomic<std::uint32_t> &Word, const timespec *Time)
{
  ::syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(&Word), FUTEX_WAIT_PRIVATE, 0u, Time, nullptr, 0);
}

} // namespace

void TWakeFlag::Raise()
{
  // Only a flag that was down can have a sleeper.
  if (FUp.exchange(1) == 0)
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t *>(&FUp), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void TWakeFlag::Wait()
{
  while (!Take())
    SleepWhileDown(FUp, nullptr);
}

bool TWakeFlag::WaitFor(std::chrono::nanoseconds Time)
{
  using Clock = std::chrono::steady_clock; // the futex measures relative times on the monotonic clock too
  const Clock::time_point Deadline = Clock::now() + Time;
  for (;;) {
    if (Take())
      return true;
    const std::chrono::nanoseconds Left = Deadline - Clock::now();
    if (Left <= std::chrono::nanoseconds::zero())
      return false;
    const timespec Relative{static_cast<std::time_t>(Left.count() / 1'000'000'000),
                            static_cast<long>(Left.count() % 1'000'000'000)};
    SleepWhileDown(FUp, &Relative);
  }
}

} // namespace platform
