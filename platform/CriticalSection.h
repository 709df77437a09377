#pragma once
// A critical section: a lock the same thread may enter again, with a
// try-enter that never blocks (the device log uses it to drop a line rather
// than wait for a busy port).
#include <mutex>

namespace platform {

class TCriticalSection {
public:
  void Enter() { FLock.lock(); }
  void Leave() { FLock.unlock(); }
  // True when the section was entered; false at once when another thread holds it.
  bool TryEnter() { return FLock.try_lock(); }

  // The standard names, so that std::lock_guard and std::unique_lock work.
  void lock() { Enter(); }
  void unlock() { Leave(); }
  bool try_lock() { return TryEnter(); }

private:
  std::recursive_mutex FLock;
};

} // namespace platform
