#pragma once
// The five global images, one per meter type, and the built-in image units
// that fill them at start-up.
//
// Start-up and shut-down follow a fixed order, which the program drives by
// calling the pair below (or by holding a TLoaderUnits) after the link
// library's lists exist and before the main window is created:
//   start-up:  DumpMem[0..4] are created empty, in index order; then the image
//              units UsrD_v7a, UsrD_v7b, UsrD_v7c, UsrD_v7at, UsrD_v7ct each
//              load their image into their entry;
//   shut-down: (after every loader is gone) the image units end, UsrD_v7ct
//              first; then DumpMem[0..4] are freed in index order.
#include "loader/ExtDumpMem.h"
#include "loader/MeterTypes.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

namespace loader {

// Entry t holds the image for meter type t. Loaders refer to an entry during a
// run and never own it; only the main thread changes an entry's content.
extern std::array<std::unique_ptr<TExtDumpMem>, MeterTypeCount> DumpMem;

// A built-in image unit: its name (its source unit is written as the name
// followed by ".pas"), the meter type whose image it fills and its image.
struct TBuiltinImage {
  std::string_view UnitName;
  std::int32_t MeterType;
  std::string_view UserData; // DumpMemSize bytes, compiled into the program
};

// The five image units in start-up order.
const std::array<TBuiltinImage, MeterTypeCount> &BuiltinImages();

void LoaderUnitsInitialization();
void LoaderUnitsFinalization();

// Runs LoaderUnitsInitialization when made and LoaderUnitsFinalization when
// destroyed.
class TLoaderUnits {
public:
  TLoaderUnits() { LoaderUnitsInitialization(); }
  ~TLoaderUnits() { LoaderUnitsFinalization(); }
  TLoaderUnits(const TLoaderUnits &) = delete;
  TLoaderUnits &operator=(const TLoaderUnits &) = delete;
};

} // namespace loader
