#pragma once
// The Qt event loop serves the calls that other threads hand to the main
// thread: while a TWakeHook lives, each queued call posts a run of
// platform::CheckSynchronize() to the application object.
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
};

} // namespace app
