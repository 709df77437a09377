#pragma once
// The descriptors that starting rows may take. A row's link opens on its
// loader's thread a moment after the start, so the descriptors open when a
// start is asked for leave out those of the rows started just before. The
// budget counts those as promised until each such link has been asked to
// open (or its run has ended without), so that starts from the window and
// from the command server's clients, one after another or side by side,
// never count one descriptor twice. Every start keeps the same reserve: the
// window's own, and the room that the command server keeps for its clients
// still to come and for the accept of one over its bound, so that accepting
// a client never waits for a descriptor.
#include "app/OpenFileLimit.h"
#include "loader/Quorlan.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace app {

class TDescriptorBudget {
public:
  explicit TDescriptorBudget(std::int64_t Reserve = WindowDescriptorReserve);
  TDescriptorBudget(const TDescriptorBudget &) = delete;
  TDescriptorBudget &operator=(const TDescriptorBudget &) = delete;

  // Descriptors another part of the program will still open and no start
  // may take; asked at every start, under the budget's lock (it must not
  // wait for a start). Empty: none. Any thread.
  void SetKeptFor(std::function<std::int64_t()> Room);

  // Starts the loaders in order, each only when the descriptors its link
  // needs are free beyond the reserve, the room kept and what is promised to
  // loaders started before. A loader left idle gets a line in its log that
  // says why. The result: how many were left idle for want of descriptors.
  // Any thread; the loaders are idle when asked for (a loader that is not
  // is not started and promised nothing).
  int Start(const std::vector<loader::TQuorlan *> &Loaders);

  // Descriptors promised to started loaders whose links have not yet been
  // asked to open.
  std::int64_t Promised() const { return FPromised->load(); }

private:
  const std::int64_t FReserve;
  std::mutex FLock; // one start at a time looks and promises
  std::function<std::int64_t()> FRoom;
  // Shared with the holds, which may outlive the budget.
  const std::shared_ptr<std::atomic<std::int64_t>> FPromised;
};

} // namespace app
