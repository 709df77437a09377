#include "loader/ExtDumpMem.h"
#include "loader/FileErrors.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using loader::DumpMemSize;
using loader::TExtDumpMem;
using loader_test::TTempDir;
using loader_test::WriteFile;

namespace {

const std::string Erased(DumpMemSize, '\xFF');

std::string Counting(std::size_t Size)
{
  std::string Bytes(Size, '\0');
  for (std::size_t i = 0; i < Size; ++i)
    Bytes[i] = static_cast<char>(i * 7 + 1);
  return Bytes;
}

std::string WholeImage(const TExtDumpMem &Image) { return Image.GetBlock(0, Image.GetSize()); }

} // namespace

TEST(ExtDumpMem, CreateGivesAnErasedImageOfTheGivenSize)
{
  const TExtDumpMem Empty(0);
  EXPECT_EQ(Empty.GetSize(), 0);
  EXPECT_EQ(Empty.GetBlock(0, 1), "");
  EXPECT_EQ(Empty.GetBlock(0, 16), "");

  const TExtDumpMem Small(16);
  EXPECT_EQ(Small.GetSize(), 16);
  EXPECT_EQ(Small.GetBlock(0, 16), std::string(16, '\xFF'));

  EXPECT_EQ(TExtDumpMem(-5).GetSize(), 0);
  EXPECT_EQ(TExtDumpMem(DumpMemSize).GetBlock(0, DumpMemSize), Erased);
}

TEST(ExtDumpMem, GetBlockStaysInsideTheImage)
{
  TExtDumpMem Image(0);
  const std::string Bytes = Counting(100);
  Image.LoadFromStr(Bytes);

  EXPECT_EQ(Image.GetBlock(-1, 16), "");
  EXPECT_EQ(Image.GetBlock(100, 1), "");
  EXPECT_EQ(Image.GetBlock(INT_MAX, INT_MAX), "");
  EXPECT_EQ(Image.GetBlock(0, 0), "");
  EXPECT_EQ(Image.GetBlock(0, -1), "");
  EXPECT_EQ(Image.GetBlock(90, 16), Bytes.substr(90));
  EXPECT_EQ(Image.GetBlock(99, INT_MAX), Bytes.substr(99));
  EXPECT_EQ(Image.GetBlock(5, 3), Bytes.substr(5, 3));
}

TEST(ExtDumpMem, LoadFromStrAndSetSizeGiveAnyLength)
{
  TExtDumpMem Image(DumpMemSize);
  Image.LoadFromStr("0123456789");
  EXPECT_EQ(Image.GetSize(), 10);
  EXPECT_EQ(WholeImage(Image), "0123456789");

  Image.SetSize(4);
  EXPECT_EQ(WholeImage(Image), "0123");
  Image.SetSize(8);
  EXPECT_EQ(WholeImage(Image), std::string("0123\xFF\xFF\xFF\xFF"));
  Image.SetSize(-1);
  EXPECT_EQ(Image.GetSize(), 0);
  Image.LoadFromStr("");
  EXPECT_EQ(Image.GetSize(), 0);
}

TEST(ExtDumpMem, LoadFromFileFillsAFullImage)
{
  const TTempDir Dir;
  TExtDumpMem Image(0);
  const std::string Loaded = Counting(10);
  Image.LoadFromStr(Loaded);

  // No such file, or a folder: nothing changes.
  EXPECT_EQ(Image.LoadFromFile(Dir / "missing.bin"), 0);
  EXPECT_EQ(Image.LoadFromFile(Dir / "missing/inside.bin"), 0);
  EXPECT_EQ(Image.LoadFromFile(""), 0);
  std::filesystem::create_directory(Dir / "folder.bin");
  EXPECT_EQ(Image.LoadFromFile(Dir / "folder.bin"), 0);
  EXPECT_EQ(WholeImage(Image), Loaded);

  // An empty file erases the image to its full size.
  WriteFile(Dir / "empty.bin", "");
  EXPECT_EQ(Image.LoadFromFile(Dir / "empty.bin"), 0);
  EXPECT_EQ(WholeImage(Image), Erased);

  // A short file goes over the start; the rest stays erased.
  const std::string Part = Counting(1000);
  WriteFile(Dir / "part.bin", Part);
  Image.LoadFromStr(Loaded);
  EXPECT_EQ(Image.LoadFromFile(Dir / "part.bin"), 1000);
  EXPECT_EQ(Image.GetSize(), DumpMemSize);
  EXPECT_EQ(Image.GetBlock(0, 1000), Part);
  EXPECT_EQ(Image.GetBlock(1000, DumpMemSize), Erased.substr(1000));

  // A full-size file is the image; the extension plays no part.
  const std::string Full = Counting(DumpMemSize);
  WriteFile(Dir / "full.TXT", Full);
  EXPECT_EQ(Image.LoadFromFile(Dir / "full.TXT"), DumpMemSize);
  EXPECT_EQ(WholeImage(Image), Full);
}

TEST(ExtDumpMem, LoadFromFileRefusesWhatItCannotTakeWholeAndKeepsTheImage)
{
  const TTempDir Dir;
  TExtDumpMem Image(0);
  const std::string Loaded = Counting(DumpMemSize);
  Image.LoadFromStr(Loaded);

  // One byte too long: refused, naming the file and the limit.
  const std::string Long = Dir / "long.bin";
  WriteFile(Long, std::string(DumpMemSize + 1, '\x01'));
  try {
    Image.LoadFromFile(Long);
    ADD_FAILURE() << "an over-long file was taken";
  } catch (const loader::EFOpenError &Error) {
    EXPECT_NE(std::strstr(Error.what(), ("\"" + Long + "\"").c_str()), nullptr) << Error.what();
    EXPECT_NE(std::strstr(Error.what(), "131073"), nullptr) << Error.what();
    EXPECT_NE(std::strstr(Error.what(), "131072"), nullptr) << Error.what();
  }
  EXPECT_EQ(WholeImage(Image), Loaded);

  // A file that exists but cannot be opened: the system's reason is named.
  // (A loop of links fails to open also for root.)
  const std::string Loop = Dir / "loop.bin";
  std::filesystem::create_symlink(Loop, Loop);
  try {
    Image.LoadFromFile(Loop);
    ADD_FAILURE() << "a link loop was opened";
  } catch (const loader::EFOpenError &Error) {
    EXPECT_EQ(Error.ErrorCode(), ELOOP);
    EXPECT_NE(std::strstr(Error.what(), Loop.c_str()), nullptr) << Error.what();
    EXPECT_NE(std::strstr(Error.what(), std::strerror(ELOOP)), nullptr) << Error.what();
  }

  // A named pipe would block a reader for ever: refused at once.
  const std::string Pipe = Dir / "pipe.bin";
  ASSERT_EQ(::mkfifo(Pipe.c_str(), 0600), 0);
  EXPECT_THROW(Image.LoadFromFile(Pipe), loader::EFOpenError);
  EXPECT_EQ(WholeImage(Image), Loaded);

  // A relative name is reported with its full path.
  const std::string Here = std::filesystem::current_path().string();
  std::filesystem::current_path(Dir / "");
  try {
    Image.LoadFromFile("long.bin");
    ADD_FAILURE() << "an over-long file was taken";
  } catch (const loader::EFOpenError &Error) {
    EXPECT_NE(std::strstr(Error.what(), ("\"" + Long + "\"").c_str()), nullptr) << Error.what();
  }
  std::filesystem::current_path(Here);
}

TEST(ExtDumpMem, ReadersSeeWholeImagesWhileTheImageIsReplaced)
{
  const TTempDir Dir;
  const std::string A(DumpMemSize, '\x11'), B(DumpMemSize, '\x22'), C(DumpMemSize, '\x33');
  WriteFile(Dir / "c.bin", C);
  TExtDumpMem Image(0);
  Image.LoadFromStr(A);

  // A reader keeps the bytes it took while the image changes.
  const std::shared_ptr<const std::string> Kept = Image.Snapshot();

  constexpr int Readers = 3;
  std::atomic<bool> Done{false};
  std::atomic<int> Started{0};
  std::atomic<int> Torn{0};
  std::vector<std::thread> Threads;
  for (int r = 0; r < Readers; ++r)
    Threads.emplace_back([&, r] {
      bool Counted = false;
      std::int32_t Offset = r * 1000;
      while (!Done.load()) {
        const std::string Block = Image.GetBlock(Offset, 512);
        const std::int32_t Size = Image.GetSize();
        if (Block.size() != 512 || Size != DumpMemSize ||
            Block.find_first_not_of(Block[0]) != std::string::npos)
          ++Torn;
        Offset = (Offset + 4099) % (DumpMemSize - 512);
        if (!Counted) {
          Counted = true;
          ++Started;
        }
      }
    });
  while (Started.load() < Readers)
    std::this_thread::yield();

  for (int i = 0; i < 200; ++i) {
    Image.LoadFromStr(i % 2 ? A : B);
    if (i % 50 == 0) {
      EXPECT_EQ(Image.LoadFromFile(Dir / "c.bin"), DumpMemSize);
    }
    if (i % 70 == 0)
      Image.SetSize(DumpMemSize);
  }
  Done = true;
  for (auto &Thread : Threads)
    Thread.join();

  EXPECT_EQ(Torn.load(), 0);
  EXPECT_EQ(*Kept, A);
}
