#pragma once
// A chain of re-entry counters, one node per kind of re-entry, that bounds
// how deeply an operation may call itself again. Enter before the nested
// call, make it only when Enter returned true, and Leave in every case.
// A chain belongs to one device and is used on that device's thread only.
#include <cstdint>
#include <memory>

class TRecurseClass {
public:
  // A chain of max(Depth, 1) nodes, each with FCount 0 and FLimit 3.
  explicit TRecurseClass(std::int32_t Depth);
  virtual ~TRecurseClass(); // frees the rest of the chain
  TRecurseClass(const TRecurseClass &) = delete;
  TRecurseClass &operator=(const TRecurseClass &) = delete;

  // Counts one entry and tells whether it is allowed.
  virtual bool Enter();
  // Counts one leave; the count never goes below 0.
  virtual void Leave();
  // True while FCount <= FLimit.
  virtual bool Allowed();

  // The node Index steps along the chain (0 is this one); nullptr when
  // Index is negative or the chain is shorter.
  TRecurseClass *Node(std::int32_t Index);

  std::int32_t FCount = 0; // entries minus leaves
  std::int32_t FLimit = 3; // highest FCount still allowed; users write it
  std::unique_ptr<TRecurseClass> FNext;
};
