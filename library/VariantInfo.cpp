// Decoding of a meter's 24-bit variant word: eight option fields, the flag
// word and model of its family and sub-code, and the modification index.
#include "pellaxa.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

static_assert(offsetof(TVariantDeviceInfo, Bits0_1) == 0);
static_assert(offsetof(TVariantDeviceInfo, Bit15) == 7);
static_assert(offsetof(TVariantDeviceInfo, Flags) == 8);
static_assert(offsetof(TVariantDeviceInfo, Model) == 12);
static_assert(offsetof(TVariantDeviceInfo, Modification) == 13);

namespace {

using Flags16 = std::uint32_t[16];

// Flags ORed in by sub-code S, one row per family that has any.
constexpr Flags16 Family0Flags = {0x2, 0x2, 0x4, 0x4, 0, 0, 0, 0, 0x3, 0x3, 0x5, 0x5, 0, 0, 0, 0};
constexpr Flags16 Family1Flags = {0x18, 0x28, 0x10, 0x20};
constexpr Flags16 Family2Flags = {0xC0, 0xA0, 0x140, 0x120, 0, 0, 0, 0, 0x600, 0x200, 0x400};
constexpr Flags16 Family3Flags = {0x8, 0x408, 0x808, 0, 0, 0x400, 0x800, 0,
                                  0x8, 0x408, 0x808, 0, 0, 0x400, 0x800, 0};
constexpr Flags16 Family5Flags = {0x808, 0, 0, 0, 0x800, 0, 0, 0, 0x408, 0, 0, 0, 0x400};
constexpr Flags16 Family6Flags = {0x2008, 0, 0, 0, 0x2000, 0, 0, 0, 0x1008, 0, 0, 0, 0x1000};
constexpr Flags16 Family9Flags = {0x1000};
constexpr Flags16 Family10Flags = {0x2000, 0, 0, 0, 0x2000, 0, 0, 0, 0x1000, 0, 0, 0, 0x1000};
constexpr Flags16 NoFlags = {};

// Family 12 stores a preset pair per sub-code instead.
struct Preset {
  std::int8_t Modification;
  std::uint32_t Flags;
};
constexpr Preset Family12Presets[16] = {
    {10, 0x8200}, {2, 0x10220}, {0, 0}, {0, 0x14220}, {0, 0}, {6, 0x18200}, {8, 0xC200}, {4, 0x1C200},
    {11, 0x8000}, {3, 0x10020}, {0, 0}, {1, 0x14020}, {0, 0}, {7, 0x18000}, {9, 0xC000}, {5, 0x1C000},
};

struct Family {
  const Flags16 *Flags;
  bool Bit15Rule; // Bit15 becomes 2 when set and the sub-code is 8 or more
};
constexpr Family Families[16] = {
    {&Family0Flags, false}, {&Family1Flags, false}, {&Family2Flags, false}, {&Family3Flags, true},
    {&NoFlags, false},      {&Family5Flags, true},  {&Family6Flags, true},  {&Family6Flags, true},
    {&Family1Flags, false}, {&Family9Flags, false}, {&Family10Flags, true}, {&NoFlags, true},
    {&NoFlags, false},      {&NoFlags, true},       {&Family2Flags, false}, {&NoFlags, false},
};

std::int8_t FamilyModel(unsigned k, unsigned s, const TVariantDeviceInfo &info)
{
  const bool odd = (s & 1u) != 0;
  switch (k) {
  case 0:
    return info.Bits12_13 == 0 ? 1 : (odd ? 3 : 2);
  case 1:
    return 4;
  case 2:
    return s < 8 ? 5 : 6;
  case 3:
    return 7;
  case 5:
    return 9;
  case 6:
    return 10;
  case 7:
    return 11;
  case 8:
    return odd ? 12 : 13;
  case 9:
    return 14;
  case 10:
    return (s & 4u) ? 15 : 16;
  case 11:
    return 17;
  case 12:
    return 18;
  case 13:
    return 19;
  case 14:
    return 20;
  default:
    return -1; // families 4 and 15 name no model
  }
}

// The result works on 8 bits starting at 0xFF: a rule sets a base where its
// condition holds and then applies its additions modulo 256, base or not.
class Modification {
public:
  void Base(int value) { FValue = static_cast<std::uint8_t>(value); }
  // A base only for a field of 0 or 1.
  void BaseBy(unsigned field, int when0, int when1)
  {
    if (field == 0)
      Base(when0);
    else if (field == 1)
      Base(when1);
  }
  void Add(bool condition, int value)
  {
    if (condition)
      FValue = static_cast<std::uint8_t>(FValue + value);
  }
  std::int8_t Value() const { return static_cast<std::int8_t>(FValue); }

private:
  std::uint8_t FValue = 0xFF;
};

// Models 7, 10, 17 and 19 share this rule for Bit15 0 or 2 (base0 is the
// base for Bits2_3 = 0; Bits2_3 = 1 adds 4 to it).
void LowBit15Rule(Modification &r, const TVariantDeviceInfo &info, int base0)
{
  r.BaseBy(info.Bits2_3, base0, base0 + 4);
  r.Add(info.Bits0_1 == 1, 2);
  r.Add(info.Bit15 == 2, 12);
}

bool Flag(const TVariantDeviceInfo &info, int bit) { return (info.Flags & (1u << bit)) != 0; }

// The rules of the modification index, one per model (or pair of models).

void Model1Rule(Modification &r, const TVariantDeviceInfo &info)
{
  r.BaseBy(info.Bits2_3, 0, 24);
  r.Add(info.Bit15 == 1, 6);
  r.Add(info.Bits0_1 == 1, 3);
  r.Add(info.Bits6_7 == 1 && info.Bits4_5 == 1, 1);
  r.Add(info.Bits6_7 == 1 && info.Bits4_5 == 2, 2);
  r.Add(info.Bit14 == 1, 12);
}

void Model3Rule(Modification &r, const TVariantDeviceInfo &info)
{
  r.Base(Flag(info, 0) ? 4 : 6);
  r.Add(Flag(info, 2), 1);
}

void Model4Rule(Modification &r, const TVariantDeviceInfo &info)
{
  r.BaseBy(info.Bits2_3, 0, 8);
  r.Add(info.Bits6_7 == 1 && info.Bits4_5 == 2, 1);
  r.Add(Flag(info, 5), 2);
  r.Add(!Flag(info, 3), 4);
}

void Model5Rule(Modification &r, const TVariantDeviceInfo &info)
{
  r.Base(Flag(info, 8) ? 2 : 0);
  r.Add(Flag(info, 5), 1);
}

void Model6Rule(Modification &r, const TVariantDeviceInfo &info)
{
  r.Base(Flag(info, 9) ? 0 : 2);
  r.Add(!Flag(info, 10), 1);
}

void Model7And10Rule(Modification &r, const TVariantDeviceInfo &info)
{
  if (info.Bit15 == 1)
    r.BaseBy(info.Bits2_3, 8, 10);
  else
    LowBit15Rule(r, info, 0);
  r.Add(!Flag(info, 3), 1);
}

void Model9And11Rule(Modification &r, const TVariantDeviceInfo &info)
{
  r.Base(info.Bit15 * 2);
  r.Add(!Flag(info, 3), 1);
}

void Model12And13Rule(Modification &r, const TVariantDeviceInfo &info)
{
  r.BaseBy(info.Bits0_1, 0, 16);
  r.Add(info.Bits2_3 == 1, 8);
  r.Add(info.Bits6_7 == 1 && info.Bits4_5 == 2, 1);
  r.Add(info.Model == 12, 2);
  r.Add(!Flag(info, 3), 4);
}

void Model14Rule(Modification &r, const TVariantDeviceInfo &info) { r.Base(Flag(info, 12) ? 2 : 3); }

void Model15Rule(Modification &r, const TVariantDeviceInfo &info) { r.Base(1 + info.Bit15 * 2); }

void Model16Rule(Modification &r, const TVariantDeviceInfo &info)
{
  constexpr int WithBits2_3[3] = {5, 11, 17}; // by Bit15, when Bits2_3 = 1
  constexpr int Otherwise[3] = {1, 9, 13};
  r.Base(info.Bits2_3 == 1 ? WithBits2_3[info.Bit15] : Otherwise[info.Bit15]);
}

void Model17And19Rule(Modification &r, const TVariantDeviceInfo &info)
{
  const int odd = info.Model == 19 ? 1 : 0;
  if (info.Bits8_11 == 5)
    r.Base(20 + odd + info.Bit15 * 2);
  else if (info.Bit15 == 1)
    r.BaseBy(info.Bits2_3, 8 + odd, 10 + odd);
  else
    LowBit15Rule(r, info, odd);
}

// Model 18 keeps what the family-12 table stored.
void Model18Rule(Modification &r, const TVariantDeviceInfo &info) { r.Base(info.Modification); }

using ModificationRule = void (*)(Modification &, const TVariantDeviceInfo &);

// By model; none for models 0, 2 and 8 (and 20 past the end): no modification.
constexpr ModificationRule ModificationRules[20] = {
    nullptr,         Model1Rule,      nullptr,          Model3Rule,       Model4Rule,
    Model5Rule,      Model6Rule,      Model7And10Rule,  nullptr,          Model9And11Rule,
    Model7And10Rule, Model9And11Rule, Model12And13Rule, Model12And13Rule, Model14Rule,
    Model15Rule,     Model16Rule,     Model17And19Rule, Model18Rule,      Model17And19Rule,
};

std::int8_t CalcModificationIndex(const TVariantDeviceInfo *Info)
{
  const TVariantDeviceInfo &info = *Info;
  Modification r;
  if (info.Model >= 0 && info.Model < std::ssize(ModificationRules) && ModificationRules[info.Model])
    ModificationRules[info.Model](r, info);
  return r.Value();
}

} // namespace

extern "C" PELLAXA_API PELLAXA_CALL std::int8_t GetVariantDeviceInfo(TVariantDeviceInfo *Info,
                                                                     std::uint32_t Variant)
{
  TVariantDeviceInfo info;
  std::memset(&info, 0, sizeof info);
  info.Bits0_1 = Variant & 0x3u;
  info.Bits2_3 = (Variant >> 2) & 0x3u;
  info.Bits4_5 = (Variant >> 4) & 0x3u;
  info.Bits6_7 = (Variant >> 6) & 0x3u;
  info.Bits8_11 = (Variant >> 8) & 0xFu;
  info.Bits12_13 = (Variant >> 12) & 0x3u;
  info.Bit14 = (Variant >> 14) & 0x1u;
  info.Bit15 = (Variant >> 15) & 0x1u;
  const unsigned s = (Variant >> 16) & 0xFu;
  const unsigned k = (Variant >> 20) & 0xFu;

  if (k == 12) {
    info.Flags = Family12Presets[s].Flags;
    info.Modification = Family12Presets[s].Modification;
  } else {
    info.Flags |= (*Families[k].Flags)[s];
    if (Families[k].Bit15Rule && info.Bit15 == 1 && s >= 8)
      info.Bit15 = 2;
  }
  info.Model = FamilyModel(k, s, info);
  info.Modification = CalcModificationIndex(&info);
  std::memcpy(Info, &info, sizeof info);
  return info.Modification;
}
