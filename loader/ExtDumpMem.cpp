#include "loader/ExtDumpMem.h"

#include "link/UnExtlibs.h"
#include "loader/FileErrors.h"
#include "loader/SourceUnit.h"
#include "platform/Clock.h"
#include "platform/FileDescriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <utility>

namespace loader {

namespace {

constexpr char Erased = '\xFF';
// The TI-TXT listing walks the image in pages of this size.
constexpr std::size_t ListingPageSize = 512;
// The TI-TXT listing writes 16 image bytes a line.
constexpr std::size_t LineBytes = 16;
constexpr std::string_view LineEnd = "\r\n";

std::string FullPath(const std::string &FileName)
{
  std::error_code Ignored;
  const std::filesystem::path Path = std::filesystem::absolute(FileName, Ignored);
  return Path.empty() ? FileName : Path.lexically_normal().string();
}

// "<What> "<full path>". <Why>": the text of every file error.
std::string FileMessage(std::string_view What, const std::string &FileName, std::string_view Why)
{
  std::string Message(What);
  Message += " \"";
  Message += FullPath(FileName);
  Message += "\". ";
  Message += Why;
  return Message;
}

std::string SystemReason(int Code) { return std::system_category().message(Code); }

// Writes Bytes into a file that the caller has created and closes it; a
// failed write or close raises EWriteError.
void WriteAndClose(platform::TFileDescriptor &File, const std::string &FileName, std::string_view Bytes)
{
  int Code = platform::WriteAll(File.Get(), Bytes) ? 0 : errno;
  const int CloseCode = File.Close() ? 0 : errno;
  if (Code == 0)
    Code = CloseCode;
  if (Code != 0)
    throw EWriteError(FileMessage("Cannot write file", FileName, SystemReason(Code)), Code);
}

EFCreateError NotRegularFile(const std::string &FileName)
{
  return EFCreateError(FileMessage("Cannot create file", FileName, "It is not a regular file."), 0);
}

// Opens FileName for writing, made when missing, and empties it; -1 with
// errno set when it cannot be made or opened. Only a regular file is written:
// a named pipe, a device or a socket under that name raises EFCreateError and
// gets nothing. The open does not block, so that a pipe without a reader
// cannot hold the caller (it fails with ENXIO, as a socket does); the type is
// then judged on the open file itself, and only a regular file is emptied.
int CreateFile(const std::string &FileName)
{
  const int Fd = ::open(FileName.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  if (Fd < 0) {
    if (errno == ENXIO)
      throw NotRegularFile(FileName);
    return -1;
  }
  struct stat Status {};
  int Code = ::fstat(Fd, &Status) == 0 ? 0 : errno;
  if (Code == 0 && !S_ISREG(Status.st_mode)) {
    ::close(Fd);
    throw NotRegularFile(FileName);
  }
  // O_NONBLOCK does nothing to a regular file's reads and writes.
  if (Code == 0 && ::ftruncate(Fd, 0) != 0)
    Code = errno;
  if (Code != 0) {
    ::close(Fd);
    errno = Code;
    return -1;
  }
  return Fd;
}

// The text from the last "." of the name, dot included, unless a folder
// separator follows that dot; empty when the name has no extension.
std::string_view ExtensionOf(std::string_view FileName)
{
  const std::size_t Dot = FileName.rfind('.');
  if (Dot == std::string_view::npos || FileName.find_first_of("\\:/", Dot) != std::string_view::npos)
    return {};
  return FileName.substr(Dot);
}

void AddLine(std::string &Text, std::string_view Line)
{
  Text += Line;
  Text += LineEnd;
}

// The image as a source unit, stamped with the local date and time.
std::string StampedSourceUnit(std::string_view Data, std::string_view FileName)
{
  // One clock reading gives both, so that a write at midnight cannot pair
  // one day's date with the next day's time.
  const platform::TSystemTime Now = platform::GetLocalTime();
  const platform::TTimeLocale &Locale = platform::TTimeLocale::User();
  return SourceUnitText(Data, FileName, Locale.FormatDate(Now), Locale.FormatTime(Now));
}

// The image from offset Start on as a TI-TXT listing: every 512-byte page
// holding a byte other than 0xFF gets its address line and its lines of 16
// bytes; the listing ends with "q".
std::string ListingText(std::string_view Data, std::size_t Start)
{
  std::string Text;
  for (std::size_t Offset = Start; Offset < Data.size(); Offset += ListingPageSize) {
    const std::string_view Page = Data.substr(Offset, ListingPageSize);
    if (std::all_of(Page.begin(), Page.end(), [](char Byte) { return Byte == Erased; }))
      continue;
    char Address[16];
    std::snprintf(Address, sizeof Address, Offset < 0x10000 ? "@%04zX" : "@%05zX", Offset);
    AddLine(Text, Address);
    for (std::size_t Line = 0; Line < Page.size() / LineBytes; ++Line)
      AddLine(Text, StrToHex(std::string(Page.substr(Line * LineBytes, LineBytes)), " "));
  }
  AddLine(Text, "q");
  return Text;
}

// Text files are written only when they can be created; otherwise nothing
// happens and nothing is reported.
void WriteTextFile(const std::string &FileName, const std::string &Text)
{
  platform::TFileDescriptor File(CreateFile(FileName));
  if (!File.IsOpen())
    return;
  WriteAndClose(File, FileName, Text);
}

void WriteRawFile(const std::string &FileName, std::string_view Bytes)
{
  platform::TFileDescriptor File(CreateFile(FileName));
  if (!File.IsOpen()) {
    const int Code = errno;
    throw EFCreateError(FileMessage("Cannot create file", FileName, SystemReason(Code)), Code);
  }
  WriteAndClose(File, FileName, Bytes);
}

} // namespace

TExtDumpMem::TExtDumpMem(std::int32_t ASize)
    : FData(std::make_shared<const std::string>(static_cast<std::size_t>(std::max(ASize, 0)), Erased))
{
}

TExtDumpMem::~TExtDumpMem() = default;

std::shared_ptr<const std::string> TExtDumpMem::Snapshot() const
{
  const std::lock_guard Lock(FDataLock);
  return FData;
}

void TExtDumpMem::Replace(std::shared_ptr<const std::string> Data)
{
  const std::lock_guard Lock(FDataLock);
  FData.swap(Data);
  // The old bytes are released here, or by the last reader that holds them.
}

std::int64_t TExtDumpMem::LoadFromFile(const std::string &FileName)
{
  struct stat Status {};
  if (::stat(FileName.c_str(), &Status) != 0) {
    if (errno == ENOENT || errno == ENOTDIR)
      return 0;
    // Any other reason is reported by the open below.
  } else if (S_ISDIR(Status.st_mode)) {
    return 0;
  }

  // Not blocking, so that opening a FIFO cannot hang; such files are refused
  // below.
  platform::TFileDescriptor File(::open(FileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!File.IsOpen() || ::fstat(File.Get(), &Status) != 0) {
    const int Code = errno;
    throw EFOpenError(FileMessage("Cannot open file", FileName, SystemReason(Code)), Code);
  }
  if (S_ISDIR(Status.st_mode))
    return 0;
  if (!S_ISREG(Status.st_mode))
    throw EFOpenError(FileMessage("Cannot open file", FileName, "It is not a regular file."), 0);
  const std::int64_t Length = Status.st_size;
  if (Length > DumpMemSize)
    throw EFOpenError(FileMessage("Cannot open file", FileName,
                                  "The file is " + std::to_string(Length) +
                                      " bytes long; an image holds at most " + std::to_string(DumpMemSize) +
                                      " bytes."),
                      0);

  auto Data = std::make_shared<std::string>(static_cast<std::size_t>(DumpMemSize), Erased);
  std::size_t Got = 0;
  while (Got < static_cast<std::size_t>(Length)) {
    const ssize_t Read = ::read(File.Get(), Data->data() + Got, static_cast<std::size_t>(Length) - Got);
    if (Read < 0 && errno == EINTR)
      continue;
    if (Read < 0) {
      const int Code = errno;
      throw EReadError(FileMessage("Cannot read file", FileName, SystemReason(Code)), Code);
    }
    if (Read == 0)
      throw EReadError(
          FileMessage("Cannot read file", FileName,
                      "It ended after " + std::to_string(Got) + " of " + std::to_string(Length) + " bytes."),
          0);
    Got += static_cast<std::size_t>(Read);
  }
  Replace(std::move(Data));
  return Length;
}

void TExtDumpMem::LoadFromStr(const std::string &S) { Replace(std::make_shared<const std::string>(S)); }

void TExtDumpMem::SaveToFile(const std::string &FileName) const
{
  const std::string_view Extension = ExtensionOf(FileName);
  const bool Pas = Extension == ".pas", Txt = Extension == ".txt", Tsk = Extension == ".tsk";
  if (!Pas && !Txt && !Tsk)
    return;
  const std::shared_ptr<const std::string> Data = Snapshot();
  if (Pas)
    WriteTextFile(FileName, StampedSourceUnit(*Data, FileName));
  else if (Txt)
    WriteTextFile(FileName, ListingText(*Data, static_cast<std::size_t>(FMarkB)));
  else
    WriteRawFile(FileName, *Data);
}

std::string TExtDumpMem::GetBlock(std::int32_t Offset, std::int32_t Count) const
{
  const std::shared_ptr<const std::string> Data = Snapshot();
  if (Offset < 0 || Count <= 0 || static_cast<std::size_t>(Offset) >= Data->size())
    return {};
  return Data->substr(static_cast<std::size_t>(Offset), static_cast<std::size_t>(Count));
}

std::int32_t TExtDumpMem::GetSize() const { return static_cast<std::int32_t>(Snapshot()->size()); }

void TExtDumpMem::SetSize(std::int32_t N)
{
  const std::lock_guard Lock(FDataLock);
  auto Data = std::make_shared<std::string>(*FData);
  Data->resize(static_cast<std::size_t>(std::max(N, 0)), Erased);
  FData = std::move(Data);
}

} // namespace loader
