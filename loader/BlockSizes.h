#pragma once
// The block sizes a loader writes an image in: a 512-byte page in one block
// or split into 2, 4, 8, 16 or 32 blocks. The settings dialog offers them in
// this order, and the command server's "SET BLOCKSIZE=" takes no others.
#include <algorithm>
#include <array>
#include <cstdint>

namespace loader {

inline constexpr std::array<std::int32_t, 6> BlockSizes{512, 256, 128, 64, 32, 16};
// The largest, which is also a loader's block size by default.
inline constexpr std::int32_t MaxBlockSize = BlockSizes.front();

inline bool IsBlockSize(std::int32_t N)
{
  return std::find(BlockSizes.begin(), BlockSizes.end(), N) != BlockSizes.end();
}

} // namespace loader
