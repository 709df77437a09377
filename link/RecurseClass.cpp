#include "link/RecurseClass.h"

#include <climits>

TRecurseClass::TRecurseClass(std::int32_t Depth)
{
  TRecurseClass *tail = this;
  for (std::int32_t i = 1; i < Depth; ++i) {
    tail->FNext = std::make_unique<TRecurseClass>(1);
    tail = tail->FNext.get();
  }
}

TRecurseClass::~TRecurseClass()
{
  // One node at a time, so that a long chain does not nest destructors.
  std::unique_ptr<TRecurseClass> next = std::move(FNext);
  while (next)
    next = std::move(next->FNext);
}

bool TRecurseClass::Enter()
{
  if (FCount < INT32_MAX)
    ++FCount;
  return Allowed();
}

void TRecurseClass::Leave()
{
  if (FCount > 0)
    --FCount;
  else
    FCount = 0;
}

bool TRecurseClass::Allowed() { return FCount <= FLimit; }

TRecurseClass *TRecurseClass::Node(std::int32_t Index)
{
  if (Index < 0)
    return nullptr;
  TRecurseClass *node = this;
  for (std::int32_t i = 0; i < Index && node; ++i)
    node = node->FNext.get();
  return node;
}
