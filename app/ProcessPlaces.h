#pragma once
// The bound on process rows. Every row costs a loader with two threads, and
// rows are made in several ways: from the settings file, by the add action,
// by the clipboard import, and for every connection of the command server
// (whose row stays for the rest of the run). Each of them takes a place here
// before it makes a loader; past the bound nothing is made, and the rows
// already in the list stay as they are.
#include <atomic>
#include <cstdint>

namespace app {

// The most process rows at once. Benchmarks measure what this many idle rows
// cost (bench/IdleRowsBench).
inline constexpr std::int32_t MaxProcessCount = 1000;

// Places for processes: one is taken before a loader is made for a row and
// given back when that loader is freed. Any thread.
class TProcessPlaces {
public:
  explicit TProcessPlaces(std::int32_t Limit = MaxProcessCount) : FLimit(Limit) {}
  TProcessPlaces(const TProcessPlaces &) = delete;
  TProcessPlaces &operator=(const TProcessPlaces &) = delete;

  // False, taking nothing, when every place is taken.
  bool Take()
  {
    std::int32_t Taken = FTaken.load();
    while (Taken < FLimit)
      if (FTaken.compare_exchange_weak(Taken, Taken + 1))
        return true;
    return false;
  }
  void Give() { FTaken.fetch_sub(1); }

  std::int32_t Limit() const { return FLimit; }
  std::int32_t Taken() const { return FTaken.load(); }

private:
  const std::int32_t FLimit;
  std::atomic<std::int32_t> FTaken{0};
};

} // namespace app
