#pragma once
// The loaders that command-server connections have made and handed to the
// window: each waits here, with its place, until the window timer gives it a
// row. The list owns them; what is left in it when it goes is freed with it.
// Any thread; nothing slow happens under the list's lock.
#include "app/ProcessPlaces.h"
#include "loader/Quorlan.h"

#include <cstddef>
#include <functional>
#include <mutex>
#include <vector>

namespace app {

class TRemoteProcesses {
public:
  TRemoteProcesses() = default;
  TRemoteProcesses(const TRemoteProcesses &) = delete;
  TRemoteProcesses &operator=(const TRemoteProcesses &) = delete;

  void Add(TPlacedLoader Process);
  // A loader that holds no place; the list owns it from here on.
  void Add(loader::TQuorlan *L);
  std::size_t Count() const;
  // Takes every loader out, oldest first.
  std::vector<TPlacedLoader> TakeAll();
  // Calls Visit for every loader here, under the list's lock.
  void ForEach(const std::function<void(loader::TQuorlan &)> &Visit) const;

private:
  mutable std::mutex FLock;
  std::vector<TPlacedLoader> FList;
};

} // namespace app
