#pragma once
// A list of pointers guarded by its own lock. It refers to its items and
// owns none of them; a second add of the same item is ignored.
#include <algorithm>
#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {

template <class T> class TThreadList {
public:
  void Add(T *item)
  {
    const std::lock_guard guard(FLock);
    if (std::find(FList.begin(), FList.end(), item) == FList.end())
      FList.push_back(item);
  }

  void Remove(T *item)
  {
    const std::lock_guard guard(FLock);
    FList.erase(std::remove(FList.begin(), FList.end(), item), FList.end());
  }

  void Clear()
  {
    const std::lock_guard guard(FLock);
    FList.clear();
  }

  std::size_t Count() const
  {
    const std::lock_guard guard(FLock);
    return FList.size();
  }

  // Calls f with the list while holding the lock, and releases the lock
  // when f returns or raises. Nothing slow belongs inside f.
  template <class F> decltype(auto) LockList(F &&f)
  {
    const std::lock_guard guard(FLock);
    return std::forward<F>(f)(FList);
  }

private:
  mutable std::mutex FLock;
  std::vector<T *> FList;
};

} // namespace platform
