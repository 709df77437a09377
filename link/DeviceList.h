// The list of every serial port of the process. A port's position in it is
// its device index, which the log callback carries; ports are only appended
// and slots only emptied, so an index stays valid for the port's whole life
// and is never given to another port.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

class TRS485;

class TDeviceList {
public:
  constexpr TDeviceList() = default;
  // The list of the process ends with the program: see FinalizeDeviceList.
  ~TDeviceList();
  TDeviceList(const TDeviceList &) = delete;
  TDeviceList &operator=(const TDeviceList &) = delete;

  // Appends Port; its index.
  int32_t Add(TRS485 *Port);
  // Port's index, -1 when it is not in the list.
  int32_t IndexOf(const TRS485 *Port) const;
  // Entry Index, none outside the list or for an emptied slot.
  TRS485 *Get(int32_t Index) const;
  int32_t Count() const;
  // Empties the slot of Port when the list holds it.
  void Remove(const TRS485 *Port);
  // Takes every entry out of the list, leaving empty slots behind.
  std::vector<TRS485 *> TakeAll();

private:
  mutable std::mutex FLock;
  std::vector<TRS485 *> FItems;
};

// The process's device list, from start-up to FinalizeDeviceList; none after.
extern std::atomic<TDeviceList *> DeviceList;

// Program end: the list is gone from then on; ports still registered (their
// owners were not freed before) are closed but stay their owners' to free.
// Idempotent; also run when the program's static objects are destroyed.
void FinalizeDeviceList();

bool DeviceExists(int32_t Index);
// The port of a device index, or none. The port is alive only as long as its
// owner keeps it: the log callback runs on the thread that uses the port.
TRS485 *DeviceByIndex(int32_t Index);
