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
// UTF-8 byte-order mark at the start of the file is skipped, and kept; one
// anywhere else is part of its line, and such a line is never written at the
// start of a file, where the mark would be taken for the file's own.
//
// A file larger than MaxFileSize is neither read nor written. The file's
// text is held once, as it was read; names and values are places in it, and
// only what is written since is held apart, so that a line costs little more
// than its text.
#include "platform/FoldedNameIndex.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// A settings file that cannot be read or written; the message names the file
// and the reason.
class IniFileError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class IniFile {
public:
  // The largest settings file: a thousand processes take some 300 KiB.
  static constexpr std::size_t MaxFileSize = 16 * 1024 * 1024;

  // Reads FileName. A missing file gives empty contents; a file that exists
  // but cannot be read throws IniFileError, and so does a name that is not a
  // regular file (a directory, a named pipe, a device, a socket), which is
  // refused without being opened for what it is, so that it never blocks,
  // and a file larger than MaxFileSize.
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
  // The names of the sections, and of the keys of one section, in the order
  // of the file; a key that is there twice is named twice.
  std::vector<std::string> ReadSections() const;
  std::vector<std::string> ReadSection(std::string_view Section) const;

  // Writes replace the value of an existing key in place, or append the key
  // (and the section) at the end. Blanks around a value are dropped (reading
  // drops them too); CR and LF in a value are stored as blanks so that no
  // value can break the file into further lines. Names that could not be read
  // back (empty, blanks at an end, CR or LF, "=" in a key, a key starting with
  // "[", ";" or "#") throw std::invalid_argument.
  void WriteString(std::string_view Section, std::string_view Ident, std::string_view Value);
  void WriteInteger(std::string_view Section, std::string_view Ident, std::int32_t Value);
  void WriteBool(std::string_view Section, std::string_view Ident, bool Value);

  // Removes the section with all its keys; nothing when it is missing. It
  // costs the same however many sections the file holds.
  void EraseSection(std::string_view Section);

  // Writes the contents to the file, creating it when needed. The text goes
  // to a new file in the same directory first, which then replaces the old
  // one, so a failed write leaves the old file whole. Where the directory
  // takes no new file but the file is writable, the file is rewritten in
  // place instead, once the room for the new text has been taken: a full
  // disk then leaves the old file as it was, and the message says so. A name
  // that is not a regular file is refused, and so is a text larger than
  // MaxFileSize, which could not be read again. The new text, and the name
  // that a new file takes, are synced to the disk before it returns, so that
  // a power cut after a save keeps the save. Throws IniFileError.
  void UpdateFile() const;

private:
  // A piece of text: of the file as read (from 0 to its size), or of what
  // was written since (from there on).
  struct Span {
    std::uint32_t At = 0;
    std::uint32_t Size = 0;
  };
  struct KeyLine {
    Span Key;   // empty for a line kept as it was read
    Span Value; // the value, or the whole kept line
  };
  struct SectionData {
    Span Name;
    std::uint32_t First = 0; // its lines are FLines[First, First + Count)
    std::uint32_t Count = 0;
    std::uint32_t Room = 0; // the lines from First that are its own
    bool Erased = false;    // left out of the file; its name may come again as a new section
  };

  void Read(int fd);
  void Load(std::string_view text);
  std::string_view View(Span span) const;
  Span SpanOf(std::string_view read) const; // of a part of FText
  // Holds a written name or value for as long as the contents live.
  Span Keep(std::string_view text);
  const SectionData *FindSection(std::string_view name) const;
  SectionData *FindSection(std::string_view name);
  // The section of that name, made when there is none. A section found or
  // made stays where it is until the next one is made.
  SectionData &AddSection(Span name);
  void AddLine(SectionData &section, KeyLine line);
  // The line of the key in the section; it stays where it is until a line is added.
  KeyLine *FindKey(const SectionData &section, std::string_view key);
  const KeyLine *FindKey(const SectionData &section, std::string_view key) const;
  std::string Text() const;

  std::string FFileName;
  std::string FText;           // the file as it was read
  std::string FWritten;        // names and values written since
  bool FByteOrderMark = false; // the file began with one
  SectionData FPreamble;       // lines before the first section
  std::vector<SectionData> FSections;
  std::vector<KeyLine> FLines; // of every section, each section's together
  FoldedNameIndex FIndex{
      [this](FoldedNameIndex::Place at) { return View(FSections[at].Name); }}; // sections not erased
};

} // namespace platform
