#include "pellaxa.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Of(const std::string &text) { return Bytes(text.begin(), text.end()); }

std::uint16_t Calc(const Bytes &b, TCheckSumType type)
{
  return CalcCheckSum(b.data(), static_cast<std::int32_t>(b.size()), type);
}

bool Check(const Bytes &b, TCheckSumType type)
{
  return CalcAndCheckSum(b.data(), static_cast<std::int32_t>(b.size()), type) != 0;
}

std::uint8_t Find(const Bytes &b) { return TypeCheckSumFind(b.data(), static_cast<std::int32_t>(b.size())); }

// The frame followed by its checksum of the given type, low byte first.
Bytes WithSum(Bytes b, TCheckSumType type)
{
  const std::uint16_t c = Calc(b, type);
  const std::int32_t n = BytesInCheckSum(type);
  if (n >= 1)
    b.push_back(static_cast<std::uint8_t>(c & 0xFF));
  if (n == 2)
    b.push_back(static_cast<std::uint8_t>(c >> 8));
  return b;
}

} // namespace

TEST(CalcCheckSum, CheckValuesOfEveryType)
{
  const Bytes digits = Of("123456789");
  const Bytes abc = Of("abc");
  const std::uint16_t expectDigits[] = {0, 0x4B37, 0xB1C3, 0xDD, 0xCE, 0x01DD};
  const std::uint16_t expectAbc[] = {0, 0x5749, 0x9DD6, 0x26, 0x9F, 0x0126};
  for (std::uint8_t type = 0; type <= 5; ++type) {
    EXPECT_EQ(Calc(digits, type), expectDigits[type]) << "type " << int(type);
    EXPECT_EQ(Calc(abc, type), expectAbc[type]) << "type " << int(type);
  }
  EXPECT_EQ(WithSum(abc, ctCrc16Ccitt), (Bytes{0x61, 0x62, 0x63, 0xD6, 0x9D}));
}

TEST(CalcCheckSum, EmptyNegativeAndUnknownTypesGiveZero)
{
  const Bytes digits = Of("123456789");
  for (int type = 0; type <= 255; ++type) {
    EXPECT_EQ(CalcCheckSum(digits.data(), 0, static_cast<std::uint8_t>(type)), 0);
    EXPECT_EQ(CalcCheckSum(digits.data(), -1, static_cast<std::uint8_t>(type)), 0);
    EXPECT_EQ(CalcCheckSum(nullptr, INT32_MIN, static_cast<std::uint8_t>(type)), 0);
    if (type == 0 || type > 5) {
      EXPECT_EQ(Calc(digits, static_cast<std::uint8_t>(type)), 0) << type;
    }
  }
}

TEST(CalcCheckSum, SumsWrapAndCcittSetsBothHighBits)
{
  // 300 bytes of 0xFF: 76500 wraps to 10964 = 0x2AD4.
  const Bytes ff(300, 0xFF);
  EXPECT_EQ(Calc(ff, ctSum16), 0x2AD4);
  EXPECT_EQ(Calc(ff, ctSum8), 0xD4);
  EXPECT_EQ(Calc(ff, ctXor8), 0xFF); // an even count of 0xFF cancels
  EXPECT_EQ(Calc(Bytes{0x00}, ctXor8), 0xFF);
  EXPECT_EQ(Calc(Bytes{0x00}, ctCrc16), 0x40BF);
  for (std::uint8_t b = 0; b < 16; ++b)
    EXPECT_EQ(Calc(Bytes{b, static_cast<std::uint8_t>(b * 7)}, ctCrc16Ccitt) & 0x8080, 0x8080);
}

TEST(BytesInCheckSum, PerType)
{
  const std::int32_t expect[] = {0, 2, 2, 1, 1, 2, 0};
  for (std::uint8_t type = 0; type <= 6; ++type)
    EXPECT_EQ(BytesInCheckSum(type), expect[type]);
  EXPECT_EQ(BytesInCheckSum(255), 0);
}

TEST(CalcAndCheckSum, FrameBoundaries)
{
  // Two bytes hold nothing besides a CRC; three compare the CRC of byte 0.
  const Bytes one = WithSum(Bytes{0x00}, ctCrc16); // 00 BF 40
  EXPECT_EQ(one, (Bytes{0x00, 0xBF, 0x40}));
  EXPECT_TRUE(Check(one, ctCrc16));
  EXPECT_FALSE(Check(Bytes{0xBF, 0x40}, ctCrc16));
  EXPECT_FALSE(Check(Bytes{0x00, 0x40, 0xBF}, ctCrc16)); // high byte first is wrong
  // A type without checksum verifies a frame of at least one byte.
  const Bytes x{0x55};
  EXPECT_TRUE(CalcAndCheckSum(x.data(), 1, 0));
  EXPECT_TRUE(CalcAndCheckSum(x.data(), 1, 6));
  EXPECT_FALSE(CalcAndCheckSum(x.data(), 0, 0));
  EXPECT_FALSE(CalcAndCheckSum(nullptr, -1, 0));
  EXPECT_FALSE(CalcAndCheckSum(nullptr, INT32_MIN, ctCrc16));
  // One-byte types: a single byte frame has nothing to check.
  EXPECT_FALSE(Check(Bytes{0x00}, ctSum8));
  EXPECT_TRUE(Check(Bytes{0x07, 0x07}, ctSum8));
  EXPECT_TRUE(Check(Bytes{0x07, 0xF8}, ctXor8));
  // Result is exactly 0 or 1.
  EXPECT_EQ(CalcAndCheckSum(one.data(), 3, ctCrc16), 1);
}

TEST(CalcAndCheckSum, RoundTripAndSingleByteCorruption)
{
  const Bytes frames[] = {Of("1"), Of("123456789"), Of("\x01\x10\x00\x00"), Bytes(512, 0xA5), Of("abc")};
  for (std::uint8_t type = 1; type <= 5; ++type) {
    for (const Bytes &f : frames) {
      Bytes framed = WithSum(f, type);
      EXPECT_TRUE(Check(framed, type)) << int(type);
      framed[0] ^= 0x01; // a flipped bit in the covered bytes fails every type
      EXPECT_FALSE(Check(framed, type)) << int(type);
    }
  }
}

TEST(TypeCheckSumFind, DetectionOrderAndFrameShapes)
{
  // A valid CRC-16/MODBUS wins even where other types verify too.
  Bytes digits = Of("123456789");
  digits.push_back(0x37);
  digits.push_back(0x4B);
  EXPECT_EQ(Find(digits), 1);
  EXPECT_EQ(Find(Bytes{}), 0);
  EXPECT_EQ(TypeCheckSumFind(nullptr, -5), 0);

  // Type 2 only in an STX/ETX frame longer than 8 bytes; the CRC covers
  // the bytes after STX and the identifier, up to the CRC.
  const Bytes covered{0x10, 0x20, 0x30, 0x40, 0x50};
  Bytes packet{0x02, 0x12, 0x34};
  const Bytes sum = WithSum(covered, ctCrc16Ccitt);
  packet.insert(packet.end(), sum.begin(), sum.end());
  packet.push_back(0x03);
  ASSERT_EQ(packet.size(), 11u);
  EXPECT_EQ(Find(packet), 2);
  Bytes noStx = packet;
  noStx[0] = 0x01;
  EXPECT_NE(Find(noStx), 2);
  Bytes noEtx = packet;
  noEtx.back() = 0x04;
  EXPECT_NE(Find(noEtx), 2);
  // Exactly 8 bytes (STX, two, two payload, CRC, ETX) is too short.
  Bytes eight{0x02, 0x12, 0x34};
  const Bytes sum2 = WithSum(Bytes{0x10, 0x20}, ctCrc16Ccitt);
  eight.insert(eight.end(), sum2.begin(), sum2.end());
  eight.push_back(0x03);
  ASSERT_EQ(eight.size(), 8u);
  EXPECT_TRUE(CalcAndCheckSum(eight.data() + 3, 4, ctCrc16Ccitt));
  EXPECT_NE(Find(eight), 2);

  // Length-led frame: 0xCA, L = 3, two bytes and their sum; the trailing byte is ignored.
  EXPECT_EQ(Find(Bytes{0xCA, 0x03, 0x00, 0x01, 0x02, 0x03, 0x00}), 3);
  EXPECT_EQ(Find(Bytes{0xCA, 0x03, 0x00, 0x01, 0x02, 0x03, 0x77, 0x66}), 3);
  // L leaving Len <= L + 2 never verifies as type 3, even if the whole
  // frame's 8-bit sum would (0xCA + 0x05 + 0x01 + 0x02 + 0x03 = 0xD5).
  const Bytes shortFrame{0xCA, 0x05, 0x00, 0x01, 0x02, 0x03, 0xD5};
  EXPECT_TRUE(Check(shortFrame, ctSum8));
  EXPECT_NE(Find(shortFrame), 3);
  // A huge L must not read past the frame.
  EXPECT_NE(Find(Bytes{0xCA, 0xFF, 0xFF, 0x01, 0x02, 0x03, 0x06}), 3);
  // Up to 6 bytes a 0xCA frame is checked as a whole.
  EXPECT_EQ(Find(Bytes{0xCA, 0x01, 0xCB}), 3);

  // Only the 8-bit XOR verifies.
  EXPECT_EQ(Find(Bytes{0x01, 0x02, 0xFC}), 4);
  // Only the 16-bit sum verifies.
  EXPECT_EQ(Find(Bytes{0x01, 0x02, 0x03, 0x00, 0x06, 0x00}), 5);
}

TEST(TypeCheckSumFind, FindsTheTypeOfFramesBuiltWithIt)
{
  // Frames whose bytes make no earlier type verify by chance.
  const Bytes body{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
  for (std::uint8_t type : {ctCrc16, ctSum8, ctXor8, ctSum16}) {
    const Bytes framed = WithSum(body, type);
    EXPECT_EQ(Find(framed), type);
  }
}

TEST(ExtractValues, BothByteOrders)
{
  const std::uint8_t b[] = {0x12, 0x34, 0xFF, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x01};
  EXPECT_EQ(ExtractInt16Value(b, 0, 0), 0x3412);
  EXPECT_EQ(ExtractInt16Value(b, 0, 1), 0x1234);
  EXPECT_EQ(ExtractInt16Value(b, 2, 0), 65535);
  EXPECT_EQ(ExtractInt16Value(b, 2, 1), 65535);
  EXPECT_EQ(ExtractInt16Value(b, 1, 0), 0xFF34);
  EXPECT_EQ(ExtractInt32Value(b, 4, 0), 1);
  EXPECT_EQ(ExtractInt32Value(b, 4, 1), 1 << 24);
  EXPECT_EQ(ExtractInt32Value(b, 8, 0), 0x01000080);
  EXPECT_EQ(static_cast<std::uint32_t>(ExtractInt32Value(b, 8, 1)), 0x80000001u);
  EXPECT_EQ(ExtractInt32Value(b, 0, 0), static_cast<std::int32_t>(0xFFFF3412u));
  // Any non-zero byte is True.
  EXPECT_EQ(ExtractInt16Value(b, 0, 2), 0x1234);
}
