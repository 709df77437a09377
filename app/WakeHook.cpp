#include "app/WakeHook.h"

#include "platform/Synchronize.h"

#include <QSocketNotifier>

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

namespace app {

// The counter outlives the hook for as long as a thread still holds a copy
// of it (it may be past the hook's removal, about to write): it is closed by
// the last owner only, so a late write never lands in another file.
struct TWakeHook::TCounter {
  TCounter() : Fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
  {
    if (Fd < 0)
      throw std::runtime_error("cannot make the main thread's wake-up counter");
  }
  ~TCounter() { ::close(Fd); }
  TCounter(const TCounter &) = delete;
  TCounter &operator=(const TCounter &) = delete;

  void Raise() const
  {
    const std::uint64_t one = 1;
    // A full counter (never in practice) already has the main thread woken.
    [[maybe_unused]] const ssize_t written = ::write(Fd, &one, sizeof one);
  }
  void Take() const
  {
    std::uint64_t count;
    [[maybe_unused]] const ssize_t read = ::read(Fd, &count, sizeof count);
  }

  const int Fd;
};

TWakeHook::TWakeHook()
    : FCounter(std::make_shared<TCounter>()),
      FNotifier(std::make_unique<QSocketNotifier>(FCounter->Fd, QSocketNotifier::Read))
{
  QObject::connect(FNotifier.get(), &QSocketNotifier::activated, FNotifier.get(), [counter = FCounter] {
    counter->Take();
    platform::CheckSynchronize();
  });
  platform::SetMainThread();
  platform::SetWakeMainThread([counter = FCounter] { counter->Raise(); });
}

TWakeHook::~TWakeHook()
{
  platform::SetWakeMainThread({});
  FNotifier.reset();
  platform::CheckSynchronize();
}

} // namespace app
