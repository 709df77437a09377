#pragma once
// An index of names that compare without regard to ASCII letter case (other
// bytes compare as they are), from name to the place of what it names. It
// holds no name of its own: the owner tells it the name at a place. One array
// of slots, searched from the name's hash onwards, so that a name costs a few
// bytes and no allocation, and finding, adding and removing one costs the
// same however many there are.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// Whether two names are the same but for ASCII letter case.
bool SameFoldedName(std::string_view a, std::string_view b);

class FoldedNameIndex {
public:
  using Place = std::uint32_t;
  static constexpr Place NoPlace = UINT32_MAX;

  explicit FoldedNameIndex(std::function<std::string_view(Place)> NameAt) : FNameAt(std::move(NameAt)) {}

  // The place of Name, or NoPlace.
  Place Find(std::string_view Name) const;
  // Adds Name at At unless it is there already; the place it has.
  Place Add(std::string_view Name, Place At);
  // Makes room for Count names in all, so that adding them moves nothing.
  void Reserve(std::size_t Count);
  // Removes Name; nothing when it is not there.
  void Remove(std::string_view Name);

private:
  struct Slot {
    std::uint32_t Hash = 0;
    Place PlusOne = 0; // the place plus one; 0 for an empty slot
  };

  std::size_t SlotOf(std::string_view Name, std::uint32_t Hash) const; // its slot, or an empty one
  std::size_t Home(std::uint32_t Hash) const;                          // where the search for a name starts
  std::size_t After(std::size_t At) const;                             // the slot searched after At
  void Put(Slot Entry);
  void Resize(std::size_t Slots);

  std::function<std::string_view(Place)> FNameAt;
  std::vector<Slot> FSlots; // at most half in use
  std::size_t FCount = 0;
};

} // namespace platform
