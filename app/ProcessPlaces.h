#pragma once
// The bound on process rows. Every row costs a loader with two threads, and
// rows are made in several ways: from the settings file, by the add action,
// by the clipboard import, and for every connection of the command server
// (whose row stays for the rest of the run). Each of them takes a place here
// before it makes a loader; past the bound nothing is made, and the rows
// already in the list stay as they are.
//
// A place travels with the loader it was taken for (TPlacedLoader): from a
// connection's thread through the hand-over to its row, and from a removed
// row to the loaders still ending. It goes back when that loader has been
// freed, wherever that happens.
#include "loader/Quorlan.h"
#include "platform/Thread.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace app {

// The most process rows at once. Benchmarks measure what this many idle rows
// cost (bench/IdleRowsBench).
inline constexpr std::int32_t MaxProcessCount = 1000;

class TProcessPlaces;

// One place taken among the processes, given back when it goes; an empty
// one holds none. It may go on another thread than the one that took it.
class TProcessPlace {
public:
  TProcessPlace() = default;
  TProcessPlace(TProcessPlace &&Other) noexcept : FPlaces(std::exchange(Other.FPlaces, nullptr)) {}
  TProcessPlace &operator=(TProcessPlace &&Other) noexcept;
  ~TProcessPlace() { GiveBack(); }

  explicit operator bool() const { return FPlaces != nullptr; }

private:
  friend class TProcessPlaces;
  explicit TProcessPlace(TProcessPlaces *Places) : FPlaces(Places) {}
  void GiveBack();

  TProcessPlaces *FPlaces = nullptr;
};

// Places for processes. Any thread.
class TProcessPlaces {
public:
  explicit TProcessPlaces(std::int32_t Limit = MaxProcessCount) : FLimit(Limit) {}
  TProcessPlaces(const TProcessPlaces &) = delete;
  TProcessPlaces &operator=(const TProcessPlaces &) = delete;

  // A place; an empty one, taking nothing, when every place is taken. The
  // places outlive every place taken from them.
  TProcessPlace Take()
  {
    std::int32_t Taken = FTaken.load();
    while (Taken < FLimit)
      if (FTaken.compare_exchange_weak(Taken, Taken + 1))
        return TProcessPlace(this);
    return {};
  }

  std::int32_t Limit() const { return FLimit; }
  std::int32_t Taken() const { return FTaken.load(); }

private:
  friend class TProcessPlace;
  void Give() { FTaken.fetch_sub(1); }

  const std::int32_t FLimit;
  std::atomic<std::int32_t> FTaken{0};
};

inline TProcessPlace &TProcessPlace::operator=(TProcessPlace &&Other) noexcept
{
  if (this != &Other) {
    GiveBack();
    FPlaces = std::exchange(Other.FPlaces, nullptr);
  }
  return *this;
}

inline void TProcessPlace::GiveBack()
{
  if (FPlaces)
    std::exchange(FPlaces, nullptr)->Give();
}

// A loader with the place it holds (none for a loader made outside the
// bound). The loader is freed first, which waits for its threads, and only
// then does its place go back: a place is free again once the threads of its
// loader are gone.
struct TPlacedLoader {
  TPlacedLoader() = default;
  TPlacedLoader(std::nullptr_t) noexcept {} // no loader, as a null pointer
  TPlacedLoader(TProcessPlace P, platform::TThreadPtr<loader::TQuorlan> L) noexcept
      : Place(std::move(P)), Loader(std::move(L))
  {
  }
  TPlacedLoader(TPlacedLoader &&) noexcept = default;
  TPlacedLoader &operator=(TPlacedLoader &&Other) noexcept
  {
    Loader = std::move(Other.Loader); // the loader this held is freed before its place goes back
    Place = std::move(Other.Place);
    return *this;
  }
  ~TPlacedLoader() { Loader.reset(); }

  TProcessPlace Place;
  platform::TThreadPtr<loader::TQuorlan> Loader;
};

} // namespace app
