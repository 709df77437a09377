#pragma once
// The settings file held in memory: sections of "key=value" lines, read whole
// when opened and written whole by UpdateFile.
//
// Section and key names compare without regard to ASCII letter case; other
// bytes (Windows-1251 letters included) compare as they are. Texts stay
// Windows-1251 bytes: nothing is converted. Files with CR LF or LF line ends
// are read; CR LF is written, as Windows editors expect. Sections and keys keep
// the order of the file; new ones are appended. Comment lines (";" or "#") and
// other lines without "=" are kept where they stand; blank lines are not. A
// UTF-8 byte-order mark at the start of the file is skipped, and kept.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform {

// A settings file that cannot be read or written; the message names the file
// and the reason.
class IniFileError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

class IniFile
{
public:
  // Reads FileName. A missing file gives empty contents; a file that exists
  // but cannot be read throws IniFileError, and so does a name that is not a
  // regular file (a directory, a named pipe, a device, a socket), which is
  // refused without being opened for what it is, so that it never blocks.
  explicit IniFile(std::string FileName);
  ~IniFile();
  IniFile(const IniFile &) = delete;
  IniFile &operator=(const IniFile &) = delete;

  const std::string &FileName() const { return FFileName; }

  // Reads give the default when the section or key is missing; a read adds
  // nothing. Integers follow the integer-text rule (an unconvertible value
  // gives the default); a Boolean is an integer, non-zero meaning true.
  std::string ReadString(std::string_view Section, std::string_view Ident, std::string_view Default) const;
  std::int32_t ReadInteger(std::string_view Section, std::string_view Ident, std::int32_t Default) const;
  bool ReadBool(std::string_view Section, std::string_view Ident, bool Default) const;

  // Writes replace the value of an existing key in place, or append the key
  // (and the section) at the end. Blanks around a value are dropped (reading
  // drops them too); CR and LF in a value are stored as blanks so that no
  // value can break the file into further lines. Names that could not be read
  // back (empty, blanks at an end, CR or LF, "=" in a key, a key starting with
  // "[", ";" or "#") throw std::invalid_argument.
  void WriteString(std::string_view Section, std::string_view Ident, std::string_view Value);
  void WriteInteger(std::string_view Section, std::string_view Ident, std::int32_t Value);
  void WriteBool(std::string_view Section, std::string_view Ident, bool Value);

  // Removes the section with all its keys; nothing when it is missing.
  void EraseSection(std::string_view Section);

  // Writes the contents to the file, creating it when needed. The text goes
  // to a new file in the same directory first, which then replaces the old
  // one, so a failed write leaves the old file whole. Where the directory
  // takes no new file but the file is writable, the file is rewritten in
  // place instead, once the room for the new text has been taken: a full
  // disk then leaves the old file as it was, and the message says so. A name
  // that is not a regular file is refused. Throws IniFileError.
  void UpdateFile() const;

private:
  struct KeyLine
  {
    std::string Key;   // empty for a line kept as it was read
    std::string Value; // the value, or the whole kept line
  };
  struct SectionData
  {
    std::string Name;
    std::vector<KeyLine> Lines;
  };

  void Load(std::string_view text);
  SectionData *FindSection(std::string_view name) const;
  SectionData &AddSection(std::string_view name);
  static KeyLine *FindKey(SectionData &section, std::string_view key);
  std::string Text() const;

  std::string FFileName;
  bool FByteOrderMark = false; // the file began with one
  SectionData FPreamble; // lines before the first section
  std::vector<std::unique_ptr<SectionData>> FSections;
  std::unordered_map<std::string, SectionData *> FIndex; // by the ASCII lower-case name
};

} // namespace platform
