#include "loader/ExtDumpMem.h"
#include "loader/FileErrors.h"
#include "platform/Clock.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

using loader::DumpMemSize;
using loader::TExtDumpMem;
using loader_test::ReadFile;
using loader_test::TTempDir;

namespace {

const std::string FFLine = "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF \r\n";

std::string Repeat(const std::string &Text, int Times)
{
  std::string Result;
  for (int i = 0; i < Times; ++i)
    Result += Text;
  return Result;
}

// An erased full-size image with the given bytes set.
std::string ErasedWith(std::initializer_list<std::pair<std::size_t, char>> Bytes)
{
  std::string Image(DumpMemSize, '\xFF');
  for (const auto &[Offset, Byte] : Bytes)
    Image[Offset] = Byte;
  return Image;
}

std::string Listing(const std::string &Bytes)
{
  const TTempDir Dir;
  TExtDumpMem Image(0);
  Image.LoadFromStr(Bytes);
  Image.SaveToFile(Dir / "image.txt");
  return ReadFile(Dir / "image.txt");
}

std::string HeaderDateTime()
{
  const platform::TSystemTime Now = platform::GetLocalTime();
  const platform::TTimeLocale &Locale = platform::TTimeLocale::User();
  return Locale.FormatDate(Now) + " " + Locale.FormatTime(Now);
}

// Writes Bytes as a source unit and returns its text; checks its first line
// ("Unit <name>;// Date: <short date> <long time>") and leaves it out.
std::string SourceUnitAfterHeader(const std::string &Bytes)
{
  const TTempDir Dir;
  TExtDumpMem Image(0);
  Image.LoadFromStr(Bytes);
  const std::string Before = HeaderDateTime();
  Image.SaveToFile(Dir / "img.pas");
  const std::string After = HeaderDateTime();
  const std::string Text = ReadFile(Dir / "img.pas");
  const std::size_t FirstEnd = Text.find("\r\n");
  const std::string First = Text.substr(0, FirstEnd);
  const std::string Prefix = "Unit img.pas;// Date: ";
  EXPECT_EQ(First.substr(0, Prefix.size()), Prefix);
  const std::string Stamp = First.substr(std::min(Prefix.size(), First.size()));
  EXPECT_TRUE(Stamp == Before || Stamp == After) << Stamp << " is neither " << Before << " nor " << After;
  return FirstEnd == std::string::npos ? Text : Text.substr(FirstEnd + 2);
}

const std::string UnitHead = "\r\n"
                             "Interface\r\n"
                             "\r\n"
                             "Uses UnQuorlan;\r\n"
                             "\r\n"
                             "implementation\r\n"
                             "\r\n"
                             "{$IFDEF USER_PROCESS}\r\n"
                             "const   UserData : String =\r\n";
const std::string UnitTail = "{$ELSE}\r\n"
                             "const   UserData : String ='';\r\n"
                             "{$ENDIF}\r\n"
                             "initialization\r\n"
                             "if Assigned(DumpMem) then\r\n"
                             " DumpMem.LoadFromStr(UserData);\r\n"
                             "finalization\r\n"
                             "end.\r\n";

} // namespace

TEST(ImageFormats, SourceUnitWritesWholeLinesOfSixteenLiterals)
{
  // Empty: the data lines are simply missing.
  EXPECT_EQ(SourceUnitAfterHeader(""), UnitHead + UnitTail);

  // 20 bytes: one line, ended by ";"; the last 4 bytes are not written.
  std::string Twenty;
  for (int i = 0; i < 16; ++i)
    Twenty += static_cast<char>(0xA0 + i);
  Twenty += "\x01\x02\x03\x04";
  EXPECT_EQ(SourceUnitAfterHeader(Twenty),
            UnitHead + "#$A0#$A1#$A2#$A3#$A4#$A5#$A6#$A7#$A8#$A9#$AA#$AB#$AC#$AD#$AE#$AF;\r\n" + UnitTail);

  // 33 bytes: "+" joins the lines, ";" ends the last.
  std::string ThirtyThree;
  for (int i = 0; i < 33; ++i)
    ThirtyThree += static_cast<char>(i);
  EXPECT_EQ(SourceUnitAfterHeader(ThirtyThree),
            UnitHead + "#$00#$01#$02#$03#$04#$05#$06#$07#$08#$09#$0A#$0B#$0C#$0D#$0E#$0F+\r\n" +
                "#$10#$11#$12#$13#$14#$15#$16#$17#$18#$19#$1A#$1B#$1C#$1D#$1E#$1F;\r\n" + UnitTail);
}

TEST(ImageFormats, SourceUnitOfAFullImageHas8210Lines)
{
  const TTempDir Dir;
  TExtDumpMem Image(DumpMemSize);
  Image.SaveToFile(Dir / "UsrD_v7a.pas");
  std::istringstream Text(ReadFile(Dir / "UsrD_v7a.pas"));
  std::vector<std::string> Lines;
  for (std::string Line; std::getline(Text, Line);)
    Lines.push_back(Line);
  ASSERT_EQ(Lines.size(), 8210u);
  EXPECT_EQ(Lines[0].rfind("Unit UsrD_v7a.pas;// Date: ", 0), 0u) << Lines[0];
  EXPECT_EQ(Lines[10], Repeat("#$FF", 16) + "+\r");
  EXPECT_EQ(Lines[8201], Repeat("#$FF", 16) + ";\r");
  EXPECT_EQ(Lines[8202], "{$ELSE}\r");
  EXPECT_EQ(Lines[8209], "end.\r");
}

TEST(ImageFormats, ListingWritesOnlyPagesWithContentFrom3200)
{
  // Nothing but 0xFF from 0x3200 on (content below does not count).
  EXPECT_EQ(Listing(""), "q\r\n");
  EXPECT_EQ(Listing(std::string(DumpMemSize, '\xFF')), "q\r\n");
  EXPECT_EQ(Listing(ErasedWith({{0x31FF, '\x00'}, {0x0000, '\x01'}})), "q\r\n");
  EXPECT_EQ(Listing(std::string(0x3200, '\x00')), "q\r\n");

  // One byte at 0x5000: its whole page, the erased lines included.
  EXPECT_EQ(Listing(ErasedWith({{0x5000, '\x12'}})),
            "@5000\r\n12 FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF \r\n" + Repeat(FFLine, 31) + "q\r\n");

  // Five-digit addresses from 0x10000; a page whose only content is its last
  // byte is written.
  EXPECT_EQ(Listing(ErasedWith({{0x101FF, '\xAB'}})),
            "@10000\r\n" + Repeat(FFLine, 31) + "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF AB \r\n" +
                "q\r\n");

  // Adjacent pages each get their address line; the first and last pages.
  EXPECT_EQ(Listing(ErasedWith({{0x3200, '\x01'}, {0x3400, '\x02'}, {0x1FFFF, '\x03'}})),
            "@3200\r\n01 FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF \r\n" + Repeat(FFLine, 31) +
                "@3400\r\n02 FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF \r\n" + Repeat(FFLine, 31) +
                "@1FE00\r\n" + Repeat(FFLine, 31) + "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF 03 \r\n" +
                "q\r\n");

  // An image ending inside a page: its whole lines only.
  std::string Short(0x3200, '\xFF');
  for (int i = 0; i < 40; ++i)
    Short += static_cast<char>(0xC0 + i);
  EXPECT_EQ(Listing(Short), "@3200\r\n"
                            "C0 C1 C2 C3 C4 C5 C6 C7 C8 C9 CA CB CC CD CE CF \r\n"
                            "D0 D1 D2 D3 D4 D5 D6 D7 D8 D9 DA DB DC DD DE DF \r\n"
                            "q\r\n");
}

TEST(ImageFormats, RawDumpIsTheImageItself)
{
  const TTempDir Dir;
  std::string Bytes(DumpMemSize, '\0');
  for (std::size_t i = 0; i < Bytes.size(); ++i)
    Bytes[i] = static_cast<char>(i ^ (i >> 8));
  TExtDumpMem Image(0);
  Image.LoadFromStr(Bytes);
  // An existing longer file is emptied first.
  loader_test::WriteFile(Dir / "image.tsk", std::string(DumpMemSize + 100, 'x'));
  Image.SaveToFile(Dir / "image.tsk");
  EXPECT_EQ(ReadFile(Dir / "image.tsk"), Bytes);

  TExtDumpMem Empty(0);
  Empty.SaveToFile(Dir / "empty.tsk");
  EXPECT_TRUE(std::filesystem::exists(Dir / "empty.tsk"));
  EXPECT_EQ(ReadFile(Dir / "empty.tsk"), "");
}

TEST(ImageFormats, OnlyTheThreeExactExtensionsWriteAFile)
{
  const TTempDir Dir;
  const TExtDumpMem Image(DumpMemSize);
  for (const char *Name :
       {"a.PAS", "a.Txt", "a.TSK", "a.pas.bak", "dir.pas\\x", "dir.tsk:x", "noext", "a.pas "})
    Image.SaveToFile(Dir / Name);
  EXPECT_TRUE(std::filesystem::is_empty(Dir / "")) << "a file was written";
}

TEST(ImageFormats, FailuresToCreateOrWriteAreReportedAsTheFormatSays)
{
  const TTempDir Dir;
  const TExtDumpMem Image(DumpMemSize);

  // Text formats that cannot be created: nothing happens.
  EXPECT_NO_THROW(Image.SaveToFile(Dir / "missing/a.pas"));
  EXPECT_NO_THROW(Image.SaveToFile(Dir / "missing/a.txt"));

  // A raw dump that cannot be created: the path and the reason.
  const std::string Missing = Dir / "missing/a.tsk";
  try {
    Image.SaveToFile(Missing);
    ADD_FAILURE() << "no error for a raw dump that cannot be created";
  } catch (const loader::EFCreateError &Error) {
    EXPECT_EQ(Error.ErrorCode(), ENOENT);
    EXPECT_NE(std::strstr(Error.what(), ("\"" + Missing + "\"").c_str()), nullptr) << Error.what();
    EXPECT_NE(std::strstr(Error.what(), std::strerror(ENOENT)), nullptr) << Error.what();
  }

  // A write that fails after the file was created is reported for every
  // format (files may not grow at all here).
  rlimit Saved{};
  ::getrlimit(RLIMIT_FSIZE, &Saved);
  const auto SavedHandler = std::signal(SIGXFSZ, SIG_IGN);
  const rlimit NoGrowth{0, Saved.rlim_max};
  ::setrlimit(RLIMIT_FSIZE, &NoGrowth);
  for (const char *Name : {"full.pas", "full.txt", "full.tsk"}) {
    try {
      Image.SaveToFile(Dir / Name);
      ADD_FAILURE() << "no error for a failed write of " << Name;
    } catch (const loader::EWriteError &Error) {
      EXPECT_EQ(Error.ErrorCode(), EFBIG) << Name;
      EXPECT_NE(std::strstr(Error.what(), Name), nullptr) << Error.what();
    }
  }
  ::setrlimit(RLIMIT_FSIZE, &Saved);
  std::signal(SIGXFSZ, SavedHandler);

  // A named pipe (with or without a reader) or a device is refused at once
  // in every format and gets nothing.
  const std::string Pipe = Dir / "pipe";
  ASSERT_EQ(::mkfifo(Pipe.c_str(), 0600), 0);
  const int Reader = ::open(Pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(Reader, 0);
  for (const char *Name : {"pipe.pas", "pipe.txt", "pipe.tsk", "null.tsk"}) {
    std::filesystem::create_symlink(Name[0] == 'n' ? "/dev/null" : Pipe, Dir / Name);
    EXPECT_THROW(Image.SaveToFile(Dir / Name), loader::EFCreateError) << Name;
  }
  char Byte = 0;
  EXPECT_LE(::read(Reader, &Byte, 1), 0) << "bytes went into the pipe";
  ::close(Reader);
  const std::string Lonely = Dir / "lonely.tsk";
  ASSERT_EQ(::mkfifo(Lonely.c_str(), 0600), 0);
  EXPECT_THROW(Image.SaveToFile(Lonely), loader::EFCreateError); // no reader: would block for ever
}
