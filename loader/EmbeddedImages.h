#pragma once
// The built-in images as the build makes them from loader/images (one
// generated source per image unit, written by quorlan2-embedimage): each
// unit's bytes and the software version they carry at the write start, as a
// meter reports it once it holds them ("34.00.35.": three bytes, each as two
// upper-case hex digits and a dot).
#include "loader/ExtDumpMem.h"

#include <cstddef>

namespace loader::embedded {

// Offset of the three version bytes in every image.
inline constexpr std::size_t VersionOffset = 0x5000;
// The version text with its terminating zero.
inline constexpr std::size_t VersionSize = 10;

extern const unsigned char UsrD_v7a[DumpMemSize];
extern const char UsrD_v7a_version[VersionSize];
extern const unsigned char UsrD_v7b[DumpMemSize];
extern const char UsrD_v7b_version[VersionSize];
extern const unsigned char UsrD_v7c[DumpMemSize];
extern const char UsrD_v7c_version[VersionSize];
extern const unsigned char UsrD_v7at[DumpMemSize];
extern const char UsrD_v7at_version[VersionSize];
extern const unsigned char UsrD_v7ct[DumpMemSize];
extern const char UsrD_v7ct_version[VersionSize];

} // namespace loader::embedded
