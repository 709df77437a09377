#include "pellaxa.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>

static_assert(sizeof(TVariantDeviceInfo) == 14);
static_assert(offsetof(TVariantDeviceInfo, Bits8_11) == 4);
static_assert(offsetof(TVariantDeviceInfo, Flags) == 8);
static_assert(offsetof(TVariantDeviceInfo, Model) == 12);
static_assert(offsetof(TVariantDeviceInfo, Modification) == 13);

namespace {

// Family K, sub-code S and the low 16 bits.
constexpr std::uint32_t Word(unsigned k, unsigned s, unsigned low) { return (k << 20) | (s << 16) | low; }

struct Decoded {
  TVariantDeviceInfo Info;
  std::int8_t Result;
};

Decoded Decode(std::uint32_t variant)
{
  Decoded d;
  std::memset(&d.Info, 0xAA, sizeof d.Info); // every byte must be written
  d.Result = GetVariantDeviceInfo(&d.Info, variant);
  return d;
}

} // namespace

TEST(GetVariantDeviceInfo, DecodesTheListedCases)
{
  struct Case {
    std::uint32_t Word;
    std::uint32_t Flags;
    int Model;
    int Result;
  };
  const Case cases[] = {
      {Word(0, 0, 0), 0x2, 1, 0},
      {Word(12, 0, 0), 0x8200, 18, 10},
      {Word(12, 2, 0), 0, 18, 0},
      {Word(12, 3, 0), 0x14220, 18, 0},
      {Word(3, 8, 0x8000), 0x8, 7, 12},
      {Word(3, 0, 0x0008), 0x8, 7, -1},
      {Word(3, 0, 0x0009), 0x8, 7, 1}, // no base: 0xFF + 2 wraps to 1
      {Word(0, 11, 0x3000), 0x5, 3, 5},
      {Word(0, 9, 0x3000), 0x3, 3, 4},
      {Word(0, 1, 0x3000), 0x2, 3, 6},
      {Word(10, 8, 0x8000), 0x1000, 16, 13},
      {Word(14, 0, 0), 0xC0, 20, -1},
      {Word(5, 10, 0x00FF), 0, 9, 1},
      // A few rules off the listed path.
      {Word(1, 1, 0x0064), 0x28, 4, 11},  // Bits2_3 1 -> 8, Bits6_7 1 & Bits4_5 2 -> +1, bit 5 -> +2
      {Word(2, 9, 0), 0x200, 6, 1},       // bit 9 -> 0, bit 10 clear -> +1
      {Word(8, 1, 0x0001), 0x28, 12, 18}, // 16 + 2 (model 12)
      {Word(11, 0, 0x0500), 0, 17, 20},
      {Word(13, 8, 0x8500), 0, 19, 25}, // Bit15 raised to 2
      {Word(13, 0, 0x8008), 0, 19, -1}, // Bit15 1, Bits2_3 2: no modification
      {Word(0, 0, 0xC00D), 0x2, 1, 20}, // Bits2_3 3, no base: 0xFF + 6 + 3 + 12
  };
  for (const Case &c : cases) {
    const Decoded d = Decode(c.Word);
    EXPECT_EQ(d.Info.Flags, c.Flags) << std::hex << c.Word;
    EXPECT_EQ(d.Info.Model, c.Model) << std::hex << c.Word;
    EXPECT_EQ(d.Result, c.Result) << std::hex << c.Word;
    EXPECT_EQ(d.Info.Modification, d.Result) << std::hex << c.Word;
  }

  // Families without a model.
  for (unsigned k : {4u, 15u})
    for (unsigned s = 0; s < 16; ++s) {
      const Decoded d = Decode(Word(k, s, 0xFFFF));
      EXPECT_EQ(d.Info.Model, -1);
      EXPECT_EQ(d.Info.Flags, 0u);
      EXPECT_EQ(d.Result, -1);
    }

  // The option fields and the Bit15 rule.
  const Decoded d = Decode(Word(3, 8, 0x8000));
  EXPECT_EQ(d.Info.Bit15, 2);
  const Decoded e = Decode(Word(5, 10, 0x00FF));
  EXPECT_EQ(e.Info.Bits0_1, 3);
  EXPECT_EQ(e.Info.Bits2_3, 3);
  EXPECT_EQ(e.Info.Bits4_5, 3);
  EXPECT_EQ(e.Info.Bits6_7, 3);
  EXPECT_EQ(e.Info.Bits8_11, 0);
  EXPECT_EQ(e.Info.Bit15, 0);

  // The record's bytes as other programs see them: Flags little-endian at 8.
  const Decoded f = Decode(Word(12, 5, 0x7ABC));
  std::uint8_t raw[14];
  std::memcpy(raw, &f.Info, sizeof raw);
  const std::uint8_t expect[14] = {0, 3, 3, 2, 0xA, 3, 1, 0, 0x00, 0x82, 0x01, 0x00, 18, 6};
  EXPECT_EQ(0, std::memcmp(raw, expect, sizeof raw));
}

// Every 24-bit word: the fields in range, the model from the family, the
// modification within what its model's rule can give, bits 24-31 ignored.
TEST(GetVariantDeviceInfo, SweepOfEveryVariantWord)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  constexpr std::uint32_t Stride = 7; // the sanitized build samples every 7th word
#else
  constexpr std::uint32_t Stride = 1;
#endif
  const std::set<int> familyModels[16] = {
      {1, 2, 3}, {4},  {5, 6},   {7},  {-1}, {9},  {10}, {11},
      {12, 13},  {14}, {15, 16}, {17}, {18}, {19}, {20}, {-1},
  };
  struct Range {
    int Low, High;
  };
  // Modification bounds per model, index Model + 1.
  const Range ranges[22] = {
      {-1, -1},                                             // -1
      {-100, -100}, {-1, 47}, {-1, -1}, {4, 7},             // 0 (never produced), 1, 2, 3
      {-1, 15},     {0, 3},   {0, 3},   {-1, 19},           // 4, 5, 6, 7
      {-100, -100}, {0, 5},   {-1, 19}, {0, 5},             // 8 (never produced), 9, 10, 11
      {-1, 31},     {-1, 31}, {2, 3},   {1, 5},             // 12, 13, 14, 15
      {1, 17},      {-1, 25}, {0, 11},  {-1, 25}, {-1, -1}, // 16, 17, 18, 19, 20
  };
  const std::uint32_t topBytes[] = {0x01, 0x5A, 0x80, 0xFF};
  std::uint64_t failures = 0;
  std::uint32_t firstFailure = 0;
  for (std::uint32_t v = 0; v < (1u << 24); v += Stride) {
    TVariantDeviceInfo info;
    const std::int8_t result = GetVariantDeviceInfo(&info, v);
    const unsigned k = v >> 20;
    const unsigned s = (v >> 16) & 0xF;
    bool ok = result == info.Modification && info.Bits0_1 == (v & 3) && info.Bits2_3 == ((v >> 2) & 3) &&
              info.Bits4_5 == ((v >> 4) & 3) && info.Bits6_7 == ((v >> 6) & 3) &&
              info.Bits8_11 == ((v >> 8) & 0xF) && info.Bits12_13 == ((v >> 12) & 3) &&
              info.Bit14 == ((v >> 14) & 1);
    const unsigned bit15 = (v >> 15) & 1;
    ok = ok && (info.Bit15 == bit15 || (info.Bit15 == 2 && bit15 == 1 && s >= 8));
    ok = ok && familyModels[k].count(info.Model) == 1;
    ok = ok && result >= ranges[info.Model + 1].Low && result <= ranges[info.Model + 1].High;
    if (k == 4 || k == 11 || k == 13 || k == 15)
      ok = ok && info.Flags == 0;
    ok = ok && info.Flags < 0x20000;
    if (v % 97 == 0) {
      const std::uint32_t top = topBytes[(v / 97) % 4];
      TVariantDeviceInfo other;
      GetVariantDeviceInfo(&other, v | (top << 24));
      ok = ok && std::memcmp(&info, &other, sizeof info) == 0;
    }
    if (!ok && failures++ == 0)
      firstFailure = v;
  }
  EXPECT_EQ(failures, 0u) << "first failing word 0x" << std::hex << firstFailure;
}
