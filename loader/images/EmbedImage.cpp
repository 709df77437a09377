// quorlan2-embedimage: turns one built-in image, given as the source unit the
// save action writes (<unit>.pas) or as the raw image (<unit>.bin), into the
// C++ source that compiles it into the program, together with the software
// version it carries. The build runs it once per image unit.
//
//   quorlan2-embedimage <image file> <output .cpp>
//
// The unit's name is the image file's name without its extension. A file that
// cannot be read, a source unit that is not as the save action writes it, or
// an image of another size than a full one stops it with a message naming the
// file; the output is then left as it was. So is an output that already holds
// what would be written, so that the build compiles it again only when the
// image has changed.
#include "loader/EmbeddedImages.h"
#include "loader/SourceUnit.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace {

namespace fs = std::filesystem;

// A fault that ends the run; its text is the whole message.
struct EFault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::string ReadAll(const fs::path &File)
{
  std::ifstream In(File, std::ios::binary);
  if (!In.is_open())
    throw EFault(File.string() + ": cannot be opened");
  std::string Bytes{std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
  if (In.bad())
    throw EFault(File.string() + ": cannot be read");
  return Bytes;
}

// The image's bytes from a source unit or a raw image, checked for size.
std::string ReadImage(const fs::path &File)
{
  std::string Bytes = ReadAll(File);
  if (File.extension() == ".pas") {
    try {
      Bytes = loader::ReadSourceUnit(Bytes, File.filename().string());
    } catch (const loader::ESourceUnitError &Error) {
      throw EFault(File.string() + ":" + std::to_string(Error.Line()) + ": " + Error.what());
    }
  }
  if (Bytes.size() != static_cast<std::size_t>(loader::DumpMemSize))
    throw EFault(File.string() + ": the image is " + std::to_string(Bytes.size()) +
                 " bytes long; a built-in image must be exactly " + std::to_string(loader::DumpMemSize) +
                 " bytes");
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
  if (fs::is_regular_file(File, Ignored) && ReadAll(File) == Text)
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
