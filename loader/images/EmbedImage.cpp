// quorlan2-embedimage: turns one built-in image, given as the source unit the
// save action writes (<unit>.pas) or as the raw image (<unit>.bin), into the
// C++ source that compiles it into the program, together with the software
// version it carries. The build runs it once per image unit.
//
//   quorlan2-embedimage <image file> <output .cpp>
//
// The unit's name is the image file's name without its extension. A file that
// cannot be read, anything but a regular file (a FIFO, a device, a socket, a
// folder), a file longer than an image's source can be, a source unit that is
// not as the save action writes it, or an image of another size than a full
// one stops it with a message naming the file; the output is then left as it
// was. So is an output that already holds
// what would be written, so that the build compiles it again only when the
// image has changed.
#include "loader/EmbeddedImages.h"
#include "loader/SourceUnit.h"
#include "platform/FileDescriptor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace {

namespace fs = std::filesystem;

// A fault that ends the run; its text is the whole message.
struct EFault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The longest source unit read. The save action writes 549162 bytes for a
// full image (67 bytes of text for every 16 image bytes, some 300 for the
// lines around them); 1 MiB, nearly twice that, leaves room for any date its
// header may carry, and nothing longer can be the unit of one image.
constexpr std::size_t MaxSourceUnitSize = 1 << 20;

// What a file that is not a regular one is, for a message.
const char *KindName(mode_t Mode)
{
  if (S_ISFIFO(Mode))
    return "a FIFO";
  if (S_ISCHR(Mode))
    return "a character device";
  if (S_ISBLK(Mode))
    return "a block device";
  if (S_ISSOCK(Mode))
    return "a socket";
  if (S_ISDIR(Mode))
    return "a folder";
  return "not a regular file";
}

void ExpectRegular(const fs::path &File, mode_t Mode)
{
  if (!S_ISREG(Mode))
    throw EFault(File.string() + ": this is " + KindName(Mode) + "; only a regular file can be built in");
}

[[noreturn]] void FailSystem(const fs::path &File, const char *What, int Error)
{
  throw EFault(File.string() + ": cannot be " + What + " (" + std::strerror(Error) + ")");
}

// A regular file's size and, when that is at most Limit bytes, its bytes.
struct TFileContent {
  std::uintmax_t Size;
  std::string Bytes; // empty when Size > Limit
};

// Reads File, which must be a regular file. Its kind and size are looked at
// before it is opened (following links, as opening does), so that a FIFO or
// a device neither blocks the tool nor feeds it without end and a huge file
// is not read. The open does not wait and is looked at again, and at most
// Limit + 1 bytes are read, so that a file swapped or grown meanwhile is
// caught as well.
TFileContent ReadRegularFile(const fs::path &File, std::size_t Limit)
{
  struct stat Info {};
  if (::stat(File.c_str(), &Info) != 0)
    FailSystem(File, "opened", errno);
  ExpectRegular(File, Info.st_mode);
  if (static_cast<std::uintmax_t>(Info.st_size) > Limit)
    return {static_cast<std::uintmax_t>(Info.st_size), {}};
  const platform::TFileDescriptor Fd(::open(File.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!Fd.IsOpen())
    FailSystem(File, "opened", errno);
  if (::fstat(Fd.Get(), &Info) != 0)
    FailSystem(File, "read", errno);
  ExpectRegular(File, Info.st_mode);
  std::string Bytes(Limit + 1, '\0');
  std::size_t Got = 0;
  while (Got < Bytes.size()) {
    const ssize_t Done = ::read(Fd.Get(), Bytes.data() + Got, Bytes.size() - Got);
    if (Done < 0 && errno == EINTR)
      continue;
    if (Done < 0)
      FailSystem(File, "read", errno);
    if (Done == 0)
      break;
    Got += static_cast<std::size_t>(Done);
  }
  if (Got > Limit)
    return {std::max<std::uintmax_t>(Got, static_cast<std::uintmax_t>(Info.st_size)), {}};
  Bytes.resize(Got);
  return {Got, std::move(Bytes)};
}

// The image's bytes from a source unit or a raw image, checked for size.
std::string ReadImage(const fs::path &File)
{
  constexpr auto ImageSize = static_cast<std::size_t>(loader::DumpMemSize);
  const bool Pas = File.extension() == ".pas";
  TFileContent Content = ReadRegularFile(File, Pas ? MaxSourceUnitSize : ImageSize);
  if (Pas && Content.Size > MaxSourceUnitSize)
    throw EFault(File.string() + ": the file is " + std::to_string(Content.Size) +
                 " bytes long; the source unit of an image is at most " + std::to_string(MaxSourceUnitSize) +
                 " bytes");
  std::string Bytes = std::move(Content.Bytes);
  if (Pas) {
    try {
      Bytes = loader::ReadSourceUnit(Bytes, File.filename().string());
    } catch (const loader::ESourceUnitError &Error) {
      throw EFault(File.string() + ":" + std::to_string(Error.Line()) + ": " + Error.what());
    }
  }
  // A raw image too long to be read has its size from the file.
  const std::uintmax_t Size = Pas ? Bytes.size() : Content.Size;
  if (Size != ImageSize)
    throw EFault(File.string() + ": the image is " + std::to_string(Size) +
                 " bytes long; a built-in image must be exactly " + std::to_string(ImageSize) + " bytes");
  return Bytes;
}

bool IsIdentifier(const std::string &Name)
{
  if (Name.empty() || (Name[0] >= '0' && Name[0] <= '9'))
    return false;
  for (const char C : Name)
    if (!(C == '_' || (C >= '0' && C <= '9') || (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z')))
      return false;
  return true;
}

// "34.00.35.": the three bytes at the version offset.
std::string VersionText(const std::string &Bytes)
{
  std::string Text;
  char Digits[4];
  for (std::size_t At = 0; At < 3; ++At) {
    std::snprintf(Digits, sizeof Digits, "%02X.",
                  static_cast<unsigned char>(Bytes[loader::embedded::VersionOffset + At]));
    Text += Digits;
  }
  return Text;
}

std::string Source(const std::string &Unit, const std::string &From, const std::string &Bytes)
{
  std::string Text = "// Made from " + From +
                     " by quorlan2-embedimage at build time; do not edit.\n"
                     "#include \"loader/EmbeddedImages.h\"\n\n"
                     "namespace loader::embedded {\n\n"
                     "const unsigned char " +
                     Unit + "[DumpMemSize] = {\n";
  Text.reserve(Bytes.size() * 5 + Bytes.size() / 16 + 512);
  char Byte[8];
  for (std::size_t At = 0; At < Bytes.size(); ++At) {
    std::snprintf(Byte, sizeof Byte, "0x%02x,", static_cast<unsigned char>(Bytes[At]));
    Text += Byte;
    if (At % 16 == 15)
      Text += '\n';
  }
  Text += "};\n\nconst char " + Unit + "_version[VersionSize] = \"" + VersionText(Bytes) +
          "\";\n\n"
          "} // namespace loader::embedded\n";
  return Text;
}

// Writes Text to File as a whole: into a file beside it, then renamed over it.
// A file that already holds Text is left as it is, time stamp included.
void WriteWhole(const fs::path &File, const std::string &Text)
{
  std::error_code Ignored;
  if (fs::is_regular_file(File, Ignored) && ReadRegularFile(File, Text.size()).Bytes == Text)
    return;
  const fs::path Part = File.string() + ".part";
  {
    std::ofstream Out(Part, std::ios::binary | std::ios::trunc);
    Out << Text;
    Out.close();
    if (!Out) {
      fs::remove(Part, Ignored);
      throw EFault(Part.string() + ": cannot be written");
    }
  }
  std::error_code Error;
  fs::rename(Part, File, Error);
  if (Error) {
    fs::remove(Part, Error);
    throw EFault(File.string() + ": cannot be written");
  }
}

} // namespace

int main(int argc, char **argv)
{
  if (argc != 3) {
    std::fprintf(stderr, "Usage: quorlan2-embedimage <unit>.pas|<unit>.bin <output.cpp>\n");
    return 2;
  }
  const fs::path Image = argv[1];
  try {
    const std::string Unit = Image.stem().string();
    if (!IsIdentifier(Unit))
      throw EFault(Image.string() + ": \"" + Unit + "\" cannot name an image unit");
    WriteWhole(argv[2], Source(Unit, Image.filename().string(), ReadImage(Image)));
  } catch (const std::exception &Error) {
    std::fprintf(stderr, "quorlan2-embedimage: %s\n", Error.what());
    return 1;
  }
  return 0;
}
