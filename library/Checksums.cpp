// Checksums of meter frames, their check and detection, and the extraction
// of 16- and 32-bit values from byte buffers.
#include "pellaxa.h"

#include <array>
#include <cstdint>

namespace {

// CRC-16/MODBUS: reflected polynomial 0xA001, register starts at 0xFFFF.
constexpr std::array<std::uint16_t, 256> MakeModbusTable()
{
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t r = static_cast<std::uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit)
      r = (r & 1u) ? static_cast<std::uint16_t>((r >> 1) ^ 0xA001u) : static_cast<std::uint16_t>(r >> 1);
    table[i] = r;
  }
  return table;
}

// CRC-16/XMODEM: polynomial 0x1021, register starts at 0x0000.
constexpr std::array<std::uint16_t, 256> MakeXmodemTable()
{
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t r = static_cast<std::uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit)
      r = (r & 0x8000u) ? static_cast<std::uint16_t>((r << 1) ^ 0x1021u) : static_cast<std::uint16_t>(r << 1);
    table[i] = r;
  }
  return table;
}

constexpr std::array<std::uint16_t, 256> ModbusTable = MakeModbusTable();
constexpr std::array<std::uint16_t, 256> XmodemTable = MakeXmodemTable();

std::uint16_t Crc16Modbus(const std::uint8_t *p, std::int32_t len)
{
  std::uint16_t r = 0xFFFF;
  for (std::int32_t i = 0; i < len; ++i)
    r = static_cast<std::uint16_t>((r >> 8) ^ ModbusTable[(r ^ p[i]) & 0xFFu]);
  return r;
}

std::uint16_t Crc16Xmodem(const std::uint8_t *p, std::int32_t len)
{
  std::uint16_t r = 0;
  for (std::int32_t i = 0; i < len; ++i)
    r = static_cast<std::uint16_t>((r << 8) ^ XmodemTable[((r >> 8) ^ p[i]) & 0xFFu]);
  return r;
}

std::uint16_t Sum16(const std::uint8_t *p, std::int32_t len)
{
  std::uint16_t sum = 0;
  for (std::int32_t i = 0; i < len; ++i)
    sum = static_cast<std::uint16_t>(sum + p[i]);
  return sum;
}

std::uint8_t Xor8(const std::uint8_t *p, std::int32_t len)
{
  std::uint8_t r = 0xFF;
  for (std::int32_t i = 0; i < len; ++i)
    r = static_cast<std::uint8_t>(r ^ p[i]);
  return r;
}

const std::uint8_t *Bytes(const void *data) { return static_cast<const std::uint8_t *>(data); }

} // namespace

extern "C" {

PELLAXA_API PELLAXA_CALL std::uint16_t CalcCheckSum(const void *Data, std::int32_t Len,
                                                    TCheckSumType CheckSumType)
{
  if (Len <= 0)
    return 0;
  const std::uint8_t *p = Bytes(Data);
  switch (CheckSumType) {
  case ctCrc16:
    return Crc16Modbus(p, Len);
  case ctCrc16Ccitt:
    return static_cast<std::uint16_t>(Crc16Xmodem(p, Len) | 0x8080u);
  case ctSum8:
    return static_cast<std::uint16_t>(Sum16(p, Len) & 0xFFu);
  case ctXor8:
    return Xor8(p, Len);
  case ctSum16:
    return Sum16(p, Len);
  default:
    return 0;
  }
}

PELLAXA_API PELLAXA_CALL std::int32_t BytesInCheckSum(TCheckSumType CheckSumType)
{
  switch (CheckSumType) {
  case ctCrc16:
  case ctCrc16Ccitt:
  case ctSum16:
    return 2;
  case ctSum8:
  case ctXor8:
    return 1;
  default:
    return 0;
  }
}

PELLAXA_API PELLAXA_CALL TPellaxaBoolean CalcAndCheckSum(const void *Data, std::int32_t Len,
                                                         TCheckSumType CheckSumType)
{
  const std::int32_t n = BytesInCheckSum(CheckSumType);
  // Computed in 64 bits: Len may be as low as INT32_MIN.
  if (static_cast<std::int64_t>(Len) - n <= 0)
    return 0;
  if (n == 0)
    return 1;
  const std::uint8_t *p = Bytes(Data);
  const std::int32_t covered = Len - n;
  std::uint16_t stored = p[covered];
  if (n == 2)
    stored = static_cast<std::uint16_t>(stored | (p[covered + 1] << 8));
  return stored == CalcCheckSum(p, covered, CheckSumType) ? 1 : 0;
}

PELLAXA_API PELLAXA_CALL TCheckSumType TypeCheckSumFind(const void *Data, std::int32_t Len)
{
  const std::uint8_t *p = Bytes(Data);
  if (CalcAndCheckSum(p, Len, ctCrc16))
    return ctCrc16;
  // Packet-mode frame: STX, two identifier bytes, the covered bytes, the
  // CRC low byte first, ETX.
  if (Len > 8 && p[0] == 0x02 && p[Len - 1] == 0x03 && CalcAndCheckSum(p + 3, Len - 4, ctCrc16Ccitt))
    return ctCrc16Ccitt;
  if (Len > 6 && p[0] == 0xCA) {
    // Length-led frame: 0xCA, the 16-bit length L, then L bytes whose last
    // one is the sum of the others; anything after them is ignored.
    const std::int32_t l = ExtractInt16Value(p, 1, 0);
    if (Len > l + 2 && CalcAndCheckSum(p + 3, l, ctSum8))
      return ctSum8;
  } else if (CalcAndCheckSum(p, Len, ctSum8)) {
    return ctSum8;
  }
  if (CalcAndCheckSum(p, Len, ctXor8))
    return ctXor8;
  if (CalcAndCheckSum(p, Len, ctSum16))
    return ctSum16;
  return ctNone;
}

PELLAXA_API PELLAXA_CALL std::int32_t ExtractInt16Value(const void *Data, std::int32_t Pos,
                                                        TPellaxaBoolean BigEndian)
{
  const std::uint8_t *p = Bytes(Data) + Pos;
  return BigEndian ? (p[0] << 8) | p[1] : p[0] | (p[1] << 8);
}

PELLAXA_API PELLAXA_CALL std::int32_t ExtractInt32Value(const void *Data, std::int32_t Pos,
                                                        TPellaxaBoolean BigEndian)
{
  const std::uint8_t *p = Bytes(Data) + Pos;
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    const std::uint32_t b = BigEndian ? p[i] : p[3 - i];
    v = (v << 8) | b;
  }
  return static_cast<std::int32_t>(v);
}

} // extern "C"
