#pragma once
// Loaders whose rows have gone but whose runs are still ending. Freeing a
// running loader waits until its stop step has finished, which on a silent
// line takes answer time-outs; that wait happens here, on a thread of its
// own, out of the window's way, so the window keeps repainting and serving
// its timer. The window counts the loaders still here as processes that run
// (a close waits for them), and each keeps its place among the processes
// until it is really freed.
#include "app/ProcessPlaces.h"
#include "loader/Quorlan.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>

namespace app {

class TDepartingLoaders {
public:
  TDepartingLoaders() = default;
  // Waits for every loader still here (as WaitAll), then ends the thread.
  ~TDepartingLoaders();
  TDepartingLoaders(const TDepartingLoaders &) = delete;
  TDepartingLoaders &operator=(const TDepartingLoaders &) = delete;

  // Main thread. The loader has no row any more; it is told to end here (a
  // run in progress ends as a stopped run does) and freed on the freeing
  // thread, and then its place goes back.
  void Add(TPlacedLoader Process);
  // The loaders not yet freed. Any thread.
  std::size_t Count() const;
  // Main thread: waits until every loader here has been freed, serving the
  // calls that loader threads hand to the main thread meanwhile.
  void WaitAll();

private:
  void FreeLoaders();

  mutable std::mutex FLock;
  std::condition_variable FAdded;
  std::deque<TPlacedLoader> FQueue;
  std::size_t FCount = 0; // queued or being freed
  bool FEnding = false;
  std::thread FThread; // made with the first loader
};

} // namespace app
