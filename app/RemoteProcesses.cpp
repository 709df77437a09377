#include "app/RemoteProcesses.h"

#include <utility>

namespace app {

void TRemoteProcesses::Add(TPlacedLoader Process)
{
  const std::lock_guard Guard(FLock);
  FList.push_back(std::move(Process));
}

void TRemoteProcesses::Add(loader::TQuorlan *L)
{
  Add(TPlacedLoader(TProcessPlace(), platform::TThreadPtr<loader::TQuorlan>(L)));
}

std::size_t TRemoteProcesses::Count() const
{
  const std::lock_guard Guard(FLock);
  return FList.size();
}

std::vector<TPlacedLoader> TRemoteProcesses::TakeAll()
{
  std::vector<TPlacedLoader> Taken;
  const std::lock_guard Guard(FLock);
  Taken.swap(FList);
  return Taken;
}

void TRemoteProcesses::ForEach(const std::function<void(loader::TQuorlan &)> &Visit) const
{
  const std::lock_guard Guard(FLock);
  for (const TPlacedLoader &Process : FList)
    Visit(*Process.Loader);
}

} // namespace app
