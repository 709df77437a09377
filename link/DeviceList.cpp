#include "link/DeviceList.h"

#include "link/RS485.h"

namespace {
constinit TDeviceList TheDeviceList;
} // namespace

constinit std::atomic<TDeviceList *> DeviceList{&TheDeviceList};

TDeviceList::~TDeviceList()
{
  if (this == &TheDeviceList)
    FinalizeDeviceList();
}

int32_t TDeviceList::Add(TRS485 *Port)
{
  std::lock_guard lock(FLock);
  FItems.push_back(Port);
  return static_cast<int32_t>(FItems.size() - 1);
}

int32_t TDeviceList::IndexOf(const TRS485 *Port) const
{
  std::lock_guard lock(FLock);
  for (size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i] == Port)
      return static_cast<int32_t>(i);
  return -1;
}

TRS485 *TDeviceList::Get(int32_t Index) const
{
  std::lock_guard lock(FLock);
  if (Index < 0 || static_cast<size_t>(Index) >= FItems.size())
    return nullptr;
  return FItems[static_cast<size_t>(Index)];
}

int32_t TDeviceList::Count() const
{
  std::lock_guard lock(FLock);
  return static_cast<int32_t>(FItems.size());
}

void TDeviceList::Remove(const TRS485 *Port)
{
  std::lock_guard lock(FLock);
  for (auto &item : FItems)
    if (item == Port)
      item = nullptr;
}

std::vector<TRS485 *> TDeviceList::TakeAll()
{
  std::lock_guard lock(FLock);
  std::vector<TRS485 *> taken;
  for (auto &item : FItems) {
    if (item != nullptr)
      taken.push_back(item);
    item = nullptr;
  }
  return taken;
}

void FinalizeDeviceList()
{
  TDeviceList *list = DeviceList.exchange(nullptr);
  if (list == nullptr)
    return;
  // The last entry first, as the list is emptied from its end.
  auto ports = list->TakeAll();
  for (auto it = ports.rbegin(); it != ports.rend(); ++it) {
    try {
      if (!(*it)->FDestroying)
        (*it)->SetActive(false);
    } catch (...) {
    }
  }
}

bool DeviceExists(int32_t Index) { return DeviceByIndex(Index) != nullptr; }

TRS485 *DeviceByIndex(int32_t Index)
{
  TDeviceList *list = DeviceList.load();
  return list != nullptr ? list->Get(Index) : nullptr;
}
