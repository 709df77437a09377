#include "loader/BuiltinImages.h"
#include "loader/SourceUnit.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <string>

using loader::DumpMem;
using loader::DumpMemSize;
using loader::ImageVersions;
using loader::MeterTypeCount;
using loader::MeterTypeNames;
using loader::TExtDumpMem;
using loader_test::ReadFile;
using loader_test::TTempDir;

namespace {

constexpr std::int32_t Page = 512;

// The committed image that the build compiled in: the unit's source unit
// when there is one, else its raw image.
std::string CommittedImage(std::string_view Unit)
{
  const auto Folder = std::filesystem::path(__FILE__).parent_path() / "../../loader/images";
  const auto Pas = Folder / (std::string(Unit) + ".pas");
  if (std::filesystem::exists(Pas))
    return loader::ReadSourceUnit(ReadFile(Pas.string()), Pas.string());
  return ReadFile((Folder / (std::string(Unit) + ".bin")).string());
}

std::string VersionText(const std::string &Bytes)
{
  std::string Text;
  char Digits[4];
  for (unsigned char Byte : Bytes) {
    std::snprintf(Digits, sizeof Digits, "%02X.", Byte);
    Text += Digits;
  }
  return Text;
}

} // namespace

TEST(BuiltinImages, StartUpFillsEveryEntryWithItsCommittedImageAndShutDownFreesThem)
{
  {
    const loader::TLoaderUnits Units;
    for (std::int32_t Type = 0; Type < MeterTypeCount; ++Type) {
      const auto &Unit = loader::BuiltinImages()[static_cast<std::size_t>(Type)];
      EXPECT_EQ(Unit.MeterType, Type);
      const TExtDumpMem *Image = DumpMem[static_cast<std::size_t>(Type)].get();
      ASSERT_NE(Image, nullptr) << Type;
      ASSERT_EQ(Image->GetSize(), DumpMemSize) << Type;
      const std::string Bytes = Image->GetBlock(0, DumpMemSize);
      EXPECT_EQ(Bytes, Unit.UserData) << Type;
      EXPECT_EQ(Bytes, CommittedImage(Unit.UnitName)) << Unit.UnitName;
    }
  }
  for (const auto &Image : DumpMem)
    EXPECT_EQ(Image, nullptr);
}

TEST(BuiltinImages, EachImageIsWholeAndItsVersionIsTheOneItCarries)
{
  const loader::TLoaderUnits Units;
  const char *Names[] = {"UsrD_v7a", "UsrD_v7b", "UsrD_v7c", "UsrD_v7at", "UsrD_v7ct"};
  for (std::int32_t Type = 0; Type < MeterTypeCount; ++Type) {
    SCOPED_TRACE(Names[Type]);
    EXPECT_EQ(loader::BuiltinImages()[static_cast<std::size_t>(Type)].UnitName, Names[Type]);
    const std::string Bytes = DumpMem[static_cast<std::size_t>(Type)]->GetBlock(0, DumpMemSize);
    ASSERT_EQ(Bytes.size(), static_cast<std::size_t>(DumpMemSize));
    EXPECT_EQ(ImageVersions[Type], VersionText(Bytes.substr(0x5000, 3)));
  }
}

// The synthetic stand-ins carry the model name after the version and content
// that shows offset mistakes; real software need not. The checks run on the
// stand-ins as make_images.py makes them (the build runs it into a folder of
// its own), so they hold for each built-in image that is byte for byte one of
// them and ask nothing of any other; the test says which those are.
TEST(BuiltinImages, GeneratedImagesShowOffsetMistakes)
{
  const auto &Units = loader::BuiltinImages();
  std::array<std::string, MeterTypeCount> Made;
  std::string BuiltIn;
  for (std::int32_t Type = 0; Type < MeterTypeCount; ++Type) {
    const std::string_view Unit = Units[static_cast<std::size_t>(Type)].UnitName;
    SCOPED_TRACE(Unit);
    const std::string &Bytes = Made[static_cast<std::size_t>(Type)] =
        ReadFile(std::string(QUORLAN2_STANDINS) + "/" + std::string(Unit) + ".bin");
    ASSERT_EQ(Bytes.size(), static_cast<std::size_t>(DumpMemSize)) << "make_images.py made no stand-in";
    EXPECT_EQ(Bytes.substr(0x5003, MeterTypeNames[Type].size()), MeterTypeNames[Type]);

    // Every page is either erased or free of 0xFF, so a shifted read shows.
    int ErasedWritten = 0;
    for (std::int32_t Offset = 0; Offset < DumpMemSize; Offset += Page) {
      const std::string PageBytes = Bytes.substr(static_cast<std::size_t>(Offset), Page);
      const bool Erased = PageBytes == std::string(Page, '\xFF');
      EXPECT_TRUE(Erased || PageBytes.find('\xFF') == std::string::npos) << std::hex << Offset;
      if (Offset >= 0x3200 && Offset < 0x5000) {
        EXPECT_FALSE(Erased) << std::hex << Offset;
      }
      if (Offset >= 0x5000 && Erased)
        ++ErasedWritten;
    }
    EXPECT_GT(ErasedWritten, 0);
    EXPECT_EQ(Bytes.find('\xFF', DumpMemSize - Page), std::string::npos);
    for (std::int32_t Other = 0; Other < Type; ++Other)
      EXPECT_NE(Bytes, Made[static_cast<std::size_t>(Other)]) << Other;
    if (Units[static_cast<std::size_t>(Type)].UserData == Bytes)
      BuiltIn += " " + std::string(Unit);
  }
  std::printf("Built in as make_images.py makes them:%s\n", BuiltIn.empty() ? " none" : BuiltIn.c_str());
  RecordProperty("BuiltInStandIns", BuiltIn);
}

TEST(BuiltinImages, EachImageSurvivesARoundTripThroughARawDump)
{
  const TTempDir Dir;
  for (const auto &Unit : loader::BuiltinImages()) {
    TExtDumpMem Image(0);
    Image.LoadFromStr(std::string(Unit.UserData));
    const std::string File = Dir / (std::string(Unit.UnitName) + ".tsk");
    Image.SaveToFile(File);
    TExtDumpMem Copy(0);
    EXPECT_EQ(Copy.LoadFromFile(File), DumpMemSize) << Unit.UnitName;
    EXPECT_EQ(Copy.GetBlock(0, DumpMemSize), Unit.UserData) << Unit.UnitName;
  }
}

TEST(BuiltinImages, OpeningAFileChangesOnlyItsEntry)
{
  const TTempDir Dir;
  const loader::TLoaderUnits Units;
  const std::string Other = std::string(Page, '\x5A');
  loader_test::WriteFile(Dir / "other.V7C", Other);
  EXPECT_EQ(DumpMem[2]->LoadFromFile(Dir / "other.V7C"), Page);
  EXPECT_EQ(DumpMem[2]->GetBlock(0, Page), Other);
  for (std::size_t Type : {0u, 1u, 3u, 4u})
    EXPECT_EQ(DumpMem[Type]->GetBlock(0, DumpMemSize), loader::BuiltinImages()[Type].UserData) << Type;
}

TEST(MeterTypes, TablesCoverTheUnknownTypeAndNothingBeyond)
{
  EXPECT_EQ(MeterTypeNames[-1], "\xCD\xE5\xE8\xE7\xE2\xE5\xF1\xF2\xED\xEE\xE5 "
                                "\xF3\xF1\xF2\xF0\xEE\xE9\xF1\xF2\xE2\xEE"); // Неизвестное устройство
  EXPECT_EQ(ImageVersions[-1], "??.??.??");
  EXPECT_THROW(MeterTypeNames[-2], std::out_of_range);
  EXPECT_THROW(ImageVersions[MeterTypeCount], std::out_of_range);
}
