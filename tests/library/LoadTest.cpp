#include "pellaxa.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <memory>

// The built library, opened by its file name and searched by export name as
// another program would: a missing or misspelt export fails here.
TEST(LoadLibrary, EveryExportIsFoundByName)
{
  std::unique_ptr<void, int (*)(void *)> lib(dlopen(PELLAXA_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL), dlclose);
  ASSERT_NE(lib, nullptr) << dlerror();
  for (const char *name :
       {"GetVariantDeviceInfo", "GetDeviceName", "GetProtocolMessage", "ExtractInt32Value",
        "ExtractInt16Value", "CalcAndCheckSum", "TypeCheckSumFind", "BytesInCheckSum", "CalcCheckSum"})
    EXPECT_NE(dlsym(lib.get(), name), nullptr) << name;
  // The internal routine stays inside.
  EXPECT_EQ(dlsym(lib.get(), "CalcModificationIndex"), nullptr);

  using CalcFn = decltype(&CalcCheckSum);
  const auto calc = reinterpret_cast<CalcFn>(dlsym(lib.get(), "CalcCheckSum"));
  ASSERT_NE(calc, nullptr);
  EXPECT_EQ(calc("123456789", 9, ctCrc16), 0x4B37);
}
