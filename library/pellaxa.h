/*
 * pellaxa: the meter protocol's toolbox. Checksums of frames, their check and
 * detection, 16- and 32-bit values in either byte order, the texts of error
 * codes and model indexes, and the decoding of a meter's variant word.
 *
 * Nine functions with C linkage and nothing else. They keep no state,
 * allocate nothing and may be called from any number of threads at once.
 * They check no pointer and no range: the caller guarantees that Data holds
 * at least Len bytes (or Pos plus the size of the value read). Texts handed
 * out are static Windows-1251 constants, valid while the library is loaded;
 * the caller never frees them.
 *
 * On 32-bit x86 the functions use the stdcall convention (every argument in
 * a 32-bit stack slot, a byte argument in the low byte of its slot, the
 * callee removes the arguments); the Windows build "pellaxa.dll" exports
 * them by their plain names with the ordinals given below.
 */
#ifndef PELLAXA_H
#define PELLAXA_H

#include <stdint.h>

#if defined(__i386__) || defined(_M_IX86) || (defined(_WIN32) && !defined(_WIN64))
#define PELLAXA_CALL __attribute__((stdcall))
#else
#define PELLAXA_CALL
#endif

#if defined(_WIN32)
#define PELLAXA_API /* exported through pellaxa.def */
#else
#define PELLAXA_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Checksum type: one byte. A checksum follows the bytes it covers; a
 * two-byte checksum is stored low byte first. Codes 6..255 behave as 0. */
typedef uint8_t TCheckSumType;
enum {
  ctNone = 0,       /* no checksum, 0 bytes */
  ctCrc16 = 1,      /* CRC-16/MODBUS, 2 bytes */
  ctCrc16Ccitt = 2, /* CRC-16/XMODEM (polynomial 0x1021) OR 0x8080, 2 bytes */
  ctSum8 = 3,       /* 8-bit arithmetic sum, 1 byte */
  ctXor8 = 4,       /* 0xFF exclusive-or every byte, 1 byte */
  ctSum16 = 5       /* 16-bit arithmetic sum, 2 bytes */
};

/* Boolean of the interface: one byte, 0 False, 1 True (any non-zero byte
 * passed in is taken as True). */
typedef uint8_t TPellaxaBoolean;

/* A meter's decoded variant word: 14 bytes, packed, little-endian. */
#pragma pack(push, 1)
typedef struct TVariantDeviceInfo {
  uint8_t Bits0_1;     /* offset 0: bits 0-1 of the variant word */
  uint8_t Bits2_3;     /* offset 1: bits 2-3 */
  uint8_t Bits4_5;     /* offset 2: bits 4-5 */
  uint8_t Bits6_7;     /* offset 3: bits 6-7 */
  uint8_t Bits8_11;    /* offset 4: bits 8-11 */
  uint8_t Bits12_13;   /* offset 5: bits 12-13 */
  uint8_t Bit14;       /* offset 6: bit 14 */
  uint8_t Bit15;       /* offset 7: bit 15, raised to 2 for a sub-code of 8 or more in some families */
  uint32_t Flags;      /* offset 8: flag word set by family and sub-code */
  int8_t Model;        /* offset 12: row of GetDeviceName, -1 when the family names no model */
  int8_t Modification; /* offset 13: modification index, -1 when no rule gives one */
} TVariantDeviceInfo;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(TVariantDeviceInfo) == 14, "TVariantDeviceInfo is 14 bytes");
#else
_Static_assert(sizeof(TVariantDeviceInfo) == 14, "TVariantDeviceInfo is 14 bytes");
#endif

/* Ordinal 1. Decodes the low 24 bits of Variant (bits 24-31 are ignored)
 * into the whole record at Info and returns its Modification. */
PELLAXA_API PELLAXA_CALL int8_t GetVariantDeviceInfo(TVariantDeviceInfo *Info, uint32_t Variant);

/* Ordinal 2. Name of the meter model Index (-1 to 20; -1 is
 * "Неизвестное устройство", "unknown device"). Any other index returns that
 * same text of row -1. */
PELLAXA_API PELLAXA_CALL const char *GetDeviceName(int8_t Index);

/* Ordinal 3. Text of a device error code: -5 to -1 (the error bytes 251 to
 * 255) are the link's own errors, 0 is the empty text, 1 to 15 the status
 * codes of the meter. Any other code returns "Неизвестный код ошибки"
 * ("unknown error code"). */
PELLAXA_API PELLAXA_CALL const char *GetProtocolMessage(int8_t Code);

/* Ordinal 4. The 32-bit value at Data[Pos]..Data[Pos+3]; little-endian
 * unless BigEndian. */
PELLAXA_API PELLAXA_CALL int32_t ExtractInt32Value(const void *Data, int32_t Pos, TPellaxaBoolean BigEndian);

/* Ordinal 5. The 16-bit value at Data[Pos], Data[Pos+1], zero-extended
 * (0 to 65535); little-endian unless BigEndian. */
PELLAXA_API PELLAXA_CALL int32_t ExtractInt16Value(const void *Data, int32_t Pos, TPellaxaBoolean BigEndian);

/* Ordinal 6. True when the last bytes of the Len-byte frame hold the
 * checksum of the bytes before them. A frame must hold at least one byte
 * besides its checksum; a type without checksum verifies every such frame. */
PELLAXA_API PELLAXA_CALL TPellaxaBoolean CalcAndCheckSum(const void *Data, int32_t Len,
                                                         TCheckSumType CheckSumType);

/* Ordinal 7. The checksum type (1 to 5, tried in this order) that the frame
 * carries; 0 when none verifies. Type 2 is looked for only in an STX/ETX
 * frame longer than 8 bytes. Type 3 is looked for in two ways: in a frame
 * longer than 6 bytes that is led by 0xCA, only in the L bytes after 0xCA and
 * its 16-bit length L (low byte first; bytes after them are ignored); in any
 * other frame (one led by another byte, or one of at most 6 bytes), over the
 * whole frame, so that it is 3 whenever the frame's last byte is the sum of
 * the bytes before it. */
PELLAXA_API PELLAXA_CALL TCheckSumType TypeCheckSumFind(const void *Data, int32_t Len);

/* Ordinal 8. Bytes of the checksum: 2 for types 1, 2, 5; 1 for 3, 4; else 0. */
PELLAXA_API PELLAXA_CALL int32_t BytesInCheckSum(TCheckSumType CheckSumType);

/* Ordinal 9. The checksum of the Len bytes at Data; 0 when Len is 0 or less
 * or the type is not 1 to 5. One-byte types leave the high byte 0. */
PELLAXA_API PELLAXA_CALL uint16_t CalcCheckSum(const void *Data, int32_t Len, TCheckSumType CheckSumType);

#ifdef __cplusplus
}
#endif

#endif /* PELLAXA_H */
