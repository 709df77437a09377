#pragma once
// What the loader benchmarks share: seconds of a steady-clock period, and a
// wait until every loader of a run has gone idle.
#include "loader/Quorlan.h"

#include <chrono>
#include <thread>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// True once every loader is idle; false when Limit passes first.
inline bool WaitIdle(const std::vector<loader::TQuorlan *> &loaders, Clock::duration limit)
{
  const auto deadline = Clock::now() + limit;
  for (;;) {
    bool idle = true;
    for (const auto *q : loaders)
      idle = idle && q->State() == ssIdle;
    if (idle)
      return true;
    if (Clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

} // namespace bench
