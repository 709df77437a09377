#include "loader/BuiltinImages.h"

#include "loader/EmbeddedImages.h"

#include <cstddef>

namespace loader {

std::array<std::unique_ptr<TExtDumpMem>, MeterTypeCount> DumpMem;

namespace {

std::string_view Bytes(const unsigned char (&Data)[DumpMemSize])
{
  return {reinterpret_cast<const char *>(Data), sizeof Data};
}

// A version text without its terminating zero.
constexpr std::string_view Version(const char (&Text)[embedded::VersionSize])
{
  return {Text, embedded::VersionSize - 1};
}

} // namespace

// Made before any code runs, so that no other unit's start-up can find it
// empty.
constinit const TMeterTypeTable ImageVersions{
    {"??.??.??", Version(embedded::UsrD_v7a_version), Version(embedded::UsrD_v7b_version),
     Version(embedded::UsrD_v7c_version), Version(embedded::UsrD_v7at_version),
     Version(embedded::UsrD_v7ct_version)}};

const std::array<TBuiltinImage, MeterTypeCount> &BuiltinImages()
{
  using namespace embedded;
  static const std::array<TBuiltinImage, MeterTypeCount> Images{{
      {"UsrD_v7a", 0, Bytes(UsrD_v7a)},
      {"UsrD_v7b", 1, Bytes(UsrD_v7b)},
      {"UsrD_v7c", 2, Bytes(UsrD_v7c)},
      {"UsrD_v7at", 3, Bytes(UsrD_v7at)},
      {"UsrD_v7ct", 4, Bytes(UsrD_v7ct)},
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
