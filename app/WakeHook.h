#pragma once
// The Qt event loop serves the calls that other threads hand to the main
// thread: while a TWakeHook lives, the first call of each batch makes the
// event loop run platform::CheckSynchronize().
//
// Worker threads never call Qt for it: they only write to an event counter
// (eventfd) that a socket notifier of the main thread watches. No Qt object
// or event is made on a worker thread, and a wake-up allocates nothing.
#include <memory>

class QSocketNotifier;

namespace app {

class TWakeHook {
public:
  // Makes the calling thread the main thread and installs the hook; the
  // QApplication must exist.
  TWakeHook();
  // Removes the hook and runs what is still queued.
  ~TWakeHook();
  TWakeHook(const TWakeHook &) = delete;
  TWakeHook &operator=(const TWakeHook &) = delete;

private:
  struct TCounter;
  std::shared_ptr<TCounter> FCounter; // the hook's copies keep it open
  std::unique_ptr<QSocketNotifier> FNotifier;
};

} // namespace app
