#include "loader/BuiltinImages.h"

#include <cstddef>

// The images' bytes, made from loader/images/*.bin at build time.
namespace loader::embedded {
extern const unsigned char UsrD_v7a[];
extern const std::size_t UsrD_v7a_size;
extern const unsigned char UsrD_v7b[];
extern const std::size_t UsrD_v7b_size;
extern const unsigned char UsrD_v7c[];
extern const std::size_t UsrD_v7c_size;
extern const unsigned char UsrD_v7at[];
extern const std::size_t UsrD_v7at_size;
extern const unsigned char UsrD_v7ct[];
extern const std::size_t UsrD_v7ct_size;
} // namespace loader::embedded

namespace loader {

std::array<std::unique_ptr<TExtDumpMem>, MeterTypeCount> DumpMem;

namespace {

std::string_view Bytes(const unsigned char *Data, std::size_t Size)
{
  return {reinterpret_cast<const char *>(Data), Size};
}

} // namespace

const std::array<TBuiltinImage, MeterTypeCount> &BuiltinImages()
{
  using namespace embedded;
  static const std::array<TBuiltinImage, MeterTypeCount> Images{{
      {"UsrD_v7a", 0, Bytes(UsrD_v7a, UsrD_v7a_size)},
      {"UsrD_v7b", 1, Bytes(UsrD_v7b, UsrD_v7b_size)},
      {"UsrD_v7c", 2, Bytes(UsrD_v7c, UsrD_v7c_size)},
      {"UsrD_v7at", 3, Bytes(UsrD_v7at, UsrD_v7at_size)},
      {"UsrD_v7ct", 4, Bytes(UsrD_v7ct, UsrD_v7ct_size)},
  }};
  return Images;
}

void LoaderUnitsInitialization()
{
  for (auto &Image : DumpMem)
    Image = std::make_unique<TExtDumpMem>(0);
  for (const TBuiltinImage &Unit : BuiltinImages()) {
    // An image unit whose entry does not exist loads nothing.
    if (const auto &Image = DumpMem[static_cast<std::size_t>(Unit.MeterType)])
      Image->LoadFromStr(std::string(Unit.UserData));
  }
}

void LoaderUnitsFinalization()
{
  // The image units' constants live in the program itself: ending those units
  // releases nothing. Then the images go, in index order; freeing one cannot
  // fail, so every entry is freed.
  for (auto &Image : DumpMem)
    Image.reset();
}

} // namespace loader
