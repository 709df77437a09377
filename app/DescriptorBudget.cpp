#include "app/DescriptorBudget.h"

#include "app/WindowTexts.h"
#include "platform/TextFormat.h"

#include <utility>

namespace app {
namespace {

// What a started loader holds until its link has been asked to open: the
// descriptors promised to it, given back when it goes.
class TPromise {
public:
  TPromise(std::shared_ptr<std::atomic<std::int64_t>> Promised, std::int64_t Count)
      : FPromised(std::move(Promised)), FCount(Count)
  {
    *FPromised += FCount;
  }
  ~TPromise() { *FPromised -= FCount; }
  TPromise(const TPromise &) = delete;
  TPromise &operator=(const TPromise &) = delete;

private:
  const std::shared_ptr<std::atomic<std::int64_t>> FPromised;
  const std::int64_t FCount;
};

} // namespace

TDescriptorBudget::TDescriptorBudget(std::int64_t Reserve)
    : FReserve(Reserve), FPromised(std::make_shared<std::atomic<std::int64_t>>(0))
{
}

void TDescriptorBudget::SetKeptFor(std::function<std::int64_t()> Room)
{
  const std::lock_guard Lock(FLock);
  FRoom = std::move(Room);
}

int TDescriptorBudget::Start(const std::vector<loader::TQuorlan *> &Loaders)
{
  std::vector<std::pair<loader::TQuorlan *, std::shared_ptr<void>>> Starts;
  int LeftOut = 0;
  {
    const std::lock_guard Lock(FLock);
    std::int64_t Free = FreeDescriptors() - FReserve - FPromised->load() - (FRoom ? FRoom() : 0);
    for (loader::TQuorlan *L : Loaders) {
      if (L->State() != ssIdle)
        continue;
      const std::int64_t Needs = L->FUseComPort ? ComRowDescriptors : TcpRowDescriptors;
      if (Needs > Free) {
        ++LeftOut;
        L->AppendLog(platform::Format(texts::SStartNoDescriptors, static_cast<long long>(OpenFileLimit())));
        continue;
      }
      Free -= Needs;
      Starts.emplace_back(L, std::make_shared<TPromise>(FPromised, Needs));
    }
  }
  // Started outside the lock: a start may wait for the main thread.
  for (auto &[L, Hold] : Starts)
    L->StartHolding(std::move(Hold));
  return LeftOut;
}

} // namespace app
