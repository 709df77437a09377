#pragma once
// The meter type and the two constant tables indexed by it. The meter type is
// a signed number: 0..4 are the five supported types (KV-750LA, KV-750LB,
// KV-750LC, KV-750LAT, KV-750LCT), -1 means that no supported type was found.
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace loader {

// The number of supported meter types; they are 0 .. MeterTypeCount - 1.
inline constexpr std::int32_t MeterTypeCount = 5;

// A constant table of texts with one entry for each meter type -1..4.
class TMeterTypeTable {
public:
  using TTexts = std::array<std::string_view, MeterTypeCount + 1>;

  // Texts in the order of meter types -1, 0, 1, 2, 3, 4.
  constexpr explicit TMeterTypeTable(const TTexts &Texts) : FTexts(Texts) {}

  // The entry of MeterType (-1..4); any other index is a programming error.
  constexpr std::string_view operator[](std::int32_t MeterType) const
  {
    if (MeterType < -1 || MeterType >= MeterTypeCount)
      throw std::out_of_range("meter type out of range");
    return FTexts[static_cast<std::size_t>(MeterType + 1)];
  }

private:
  TTexts FTexts;
};

// Model names shown to the operator (Windows-1251 bytes).
inline constexpr TMeterTypeTable MeterTypeNames{
    {"\xCD\xE5\xE8\xE7\xE2\xE5\xF1\xF2\xED\xEE\xE5 \xF3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE", // Неизвестное
                                                                                              // устройство
     "KV-750LA", "KV-750LB", "KV-750LC", "KV-750LAT", "KV-750LCT"}};

// The software version a meter of each type reports once it holds its image,
// written as the loader writes a version it reads: three bytes, each as two
// upper-case hex digits and a dot; "??.??.??" for -1. The build takes each
// from the three bytes at 0x5000 of the built-in image (EmbeddedImages.h).
extern const TMeterTypeTable ImageVersions;

} // namespace loader
