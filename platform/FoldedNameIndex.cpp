#include "platform/FoldedNameIndex.h"

#include <algorithm>

namespace platform {
namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::uint32_t FoldedHash(std::string_view name)
{
  std::uint64_t hash = 14695981039346656037ULL; // FNV-1a
  for (const char c : name)
    hash = (hash ^ static_cast<unsigned char>(AsciiLower(c))) * 1099511628211ULL;
  return static_cast<std::uint32_t>(hash ^ (hash >> 32));
}

} // namespace

bool SameFoldedName(std::string_view a, std::string_view b)
{
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

// The hash spread over the slots (multiplied, not divided: any number of slots will do).
std::size_t FoldedNameIndex::Home(std::uint32_t Hash) const
{
  return static_cast<std::size_t>((static_cast<std::uint64_t>(Hash) * FSlots.size()) >> 32);
}

std::size_t FoldedNameIndex::After(std::size_t At) const { return At + 1 == FSlots.size() ? 0 : At + 1; }

std::size_t FoldedNameIndex::SlotOf(std::string_view Name, std::uint32_t Hash) const
{
  std::size_t i = Home(Hash);
  while (FSlots[i].PlusOne != 0 &&
         !(FSlots[i].Hash == Hash && SameFoldedName(FNameAt(FSlots[i].PlusOne - 1), Name)))
    i = After(i);
  return i;
}

FoldedNameIndex::Place FoldedNameIndex::Find(std::string_view Name) const
{
  if (FSlots.empty())
    return NoPlace;
  const Slot &Found = FSlots[SlotOf(Name, FoldedHash(Name))];
  return Found.PlusOne == 0 ? NoPlace : Found.PlusOne - 1;
}

void FoldedNameIndex::Put(Slot Entry)
{
  std::size_t i = Home(Entry.Hash);
  while (FSlots[i].PlusOne != 0)
    i = After(i);
  FSlots[i] = Entry;
}

void FoldedNameIndex::Resize(std::size_t Slots)
{
  std::vector<Slot> Old(Slots);
  Old.swap(FSlots);
  for (const Slot &Entry : Old)
    if (Entry.PlusOne != 0)
      Put(Entry);
}

void FoldedNameIndex::Reserve(std::size_t Count)
{
  if (Count * 2 > FSlots.size())
    Resize(std::max<std::size_t>(Count * 2, 16));
}

FoldedNameIndex::Place FoldedNameIndex::Add(std::string_view Name, Place At)
{
  if ((FCount + 1) * 2 > FSlots.size())
    Resize(std::max<std::size_t>(FSlots.size() * 2, 16));
  const std::uint32_t Hash = FoldedHash(Name);
  Slot &Found = FSlots[SlotOf(Name, Hash)];
  if (Found.PlusOne != 0)
    return Found.PlusOne - 1;
  Found = {Hash, At + 1};
  ++FCount;
  return At;
}

void FoldedNameIndex::Remove(std::string_view Name)
{
  if (FSlots.empty())
    return;
  std::size_t Hole = SlotOf(Name, FoldedHash(Name));
  if (FSlots[Hole].PlusOne == 0)
    return;
  FSlots[Hole] = {};
  --FCount;
  // The names after it that were pushed past the hole move back into it, so
  // that a search never stops early at an empty slot.
  const std::size_t Size = FSlots.size();
  const auto Distance = [Size](std::size_t From, std::size_t To) {
    return To >= From ? To - From : To + Size - From;
  };
  for (std::size_t i = After(Hole); FSlots[i].PlusOne != 0; i = After(i))
    if (Distance(Home(FSlots[i].Hash), i) >= Distance(Hole, i)) {
      FSlots[Hole] = FSlots[i];
      FSlots[i] = {};
      Hole = i;
    }
}

} // namespace platform
