#pragma once
// A value that any thread may read or write whole, and whose owner hears of
// every write: the owner installs one change handler before the value is
// shared, and each assignment calls it after the new value is stored. Reads
// and writes look like those of a plain std::atomic.
#include <atomic>
#include <functional>
#include <utility>

namespace platform {

template <class T> class TWatched {
public:
  TWatched(T Value = T{}) : FValue(Value) {}
  TWatched(const TWatched &) = delete;
  TWatched &operator=(const TWatched &) = delete;

  TWatched &operator=(T Value)
  {
    store(Value);
    return *this;
  }
  operator T() const { return FValue.load(); }
  T load() const { return FValue.load(); }
  void store(T Value)
  {
    FValue.store(Value);
    if (FOnChange)
      FOnChange();
  }

  // Once, before another thread can reach the value; must not throw.
  void SetOnChange(std::function<void()> Handler) { FOnChange = std::move(Handler); }

private:
  std::atomic<T> FValue;
  std::function<void()> FOnChange;
};

} // namespace platform
