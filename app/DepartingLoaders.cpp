#include "app/DepartingLoaders.h"

#include "platform/Synchronize.h"

namespace app {

TDepartingLoaders::~TDepartingLoaders()
{
  WaitAll();
  {
    const std::lock_guard Guard(FLock);
    FEnding = true;
  }
  FAdded.notify_all();
  if (FThread.joinable())
    FThread.join();
}

void TDepartingLoaders::Add(TPlacedLoader Process)
{
  loader::TQuorlan *const L = Process.Loader.get();
  if (!L)
    return;
  L->TerminateAsStopped();
  {
    const std::lock_guard Guard(FLock);
    if (!FThread.joinable())
      FThread = std::thread([this] { FreeLoaders(); });
    FQueue.push_back(std::move(Process));
    ++FCount;
  }
  FAdded.notify_one();
}

std::size_t TDepartingLoaders::Count() const
{
  const std::lock_guard Guard(FLock);
  return FCount;
}

void TDepartingLoaders::WaitAll()
{
  platform::WaitServingSynchronize([this] { return Count() == 0; });
}

void TDepartingLoaders::FreeLoaders()
{
  // The loaders were all told to end when they came, so they end side by
  // side; freeing them in turn waits about as long as the slowest takes.
  std::unique_lock Lock(FLock);
  for (;;) {
    FAdded.wait(Lock, [this] { return FEnding || !FQueue.empty(); });
    if (FQueue.empty())
      return;
    TPlacedLoader Process = std::move(FQueue.front());
    FQueue.pop_front();
    Lock.unlock();
    Process = nullptr; // waits for the loader's threads, then gives its place back
    Lock.lock();
    --FCount;
    // The main thread may be waiting for the count (WaitAll).
    Lock.unlock();
    platform::NotifyMainThreadWaiters();
    Lock.lock();
  }
}

} // namespace app
