#pragma once
// SIGTERM, SIGHUP and SIGINT (a logout, a shutdown, Ctrl+C in the terminal)
// do not end the program where it stands: they are read on the main thread,
// from a signalfd that a socket notifier watches, and handed to whoever made
// the reader, which closes the program as the operator would.
//
// For that the three signals must be blocked in every thread, so that none
// of them is delivered to a thread's default action: BlockShutdownSignals()
// runs first in main, before any thread exists, and every thread made later
// inherits the blocked set.
#include <functional>
#include <memory>

class QSocketNotifier;

namespace app {

// Blocks the three signals in the calling thread (and so in the threads it
// makes from now on).
void BlockShutdownSignals();

class TShutdownSignals {
public:
  using THandler = std::function<void(int Signal)>;

  // On the main thread, once the QApplication exists. Each signal that comes
  // reaches Handler on the main thread, from the event loop. When no
  // signalfd can be made, the signals are unblocked again and end the
  // program as they would without this reader.
  explicit TShutdownSignals(THandler Handler);
  ~TShutdownSignals();
  TShutdownSignals(const TShutdownSignals &) = delete;
  TShutdownSignals &operator=(const TShutdownSignals &) = delete;

  bool Active() const { return FFd >= 0; }

private:
  void ReadSignals();

  THandler FHandler;
  int FFd = -1;
  std::unique_ptr<QSocketNotifier> FNotifier;
};

} // namespace app
