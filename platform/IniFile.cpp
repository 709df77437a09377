#include "platform/IniFile.h"

#include "platform/FileDescriptor.h"
#include "platform/FileSpace.h"
#include "platform/TextRules.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";

// Blanks and tabs around names and values are not part of them.
std::string_view TrimBlanks(std::string_view text)
{
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos)
    return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

IniFileError FileError(const std::string &action, const std::string &fileName, const std::string &reason)
{
  return IniFileError("Cannot " + action + " settings file \"" + fileName + "\": " + reason);
}

IniFileError FileError(const std::string &action, const std::string &fileName, int error)
{
  return FileError(action, fileName, std::strerror(error));
}

// Only a regular file holds settings. Anything else under the name is
// refused before it is opened for what it is: a named pipe would block the
// open (or the read) until someone writes to it, and a device can act on
// being opened.
IniFileError NotRegularFile(const std::string &action, const std::string &fileName, mode_t mode)
{
  return FileError(action, fileName,
                   S_ISDIR(mode) ? "It is a directory, not a file."
                                 : "It is not a regular file (a named pipe, a device or a socket).");
}

// Opens a file already judged regular; O_NONBLOCK keeps the open from
// blocking should something else have taken its name meanwhile, which the
// check on the open file then refuses. It does nothing to a regular file's
// reads and writes.
int OpenRegular(const std::string &path, int flags, const std::string &action, const std::string &fileName)
{
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENXIO) // a socket, or a pipe without a reader
      throw NotRegularFile(action, fileName, S_IFIFO);
    throw FileError(action, fileName, errno);
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    const int error = errno;
    ::close(fd);
    if (status.st_mode != 0)
      throw NotRegularFile(action, fileName, status.st_mode);
    throw FileError(action, fileName, error);
  }
  return fd;
}

void CheckName(std::string_view name, std::string_view forbidden, const char *what)
{
  if (TrimBlanks(name).size() != name.size() || name.empty() ||
      name.find_first_of(forbidden) != std::string_view::npos)
    throw std::invalid_argument(std::string("Unusable settings ") + what + " name \"" + std::string(name) +
                                "\"");
}

// Errors of making a file in a folder that say the folder takes no new file,
// while a file already in it may still be writable.
bool FolderTakesNoNewFile(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// Writes Text over the file itself. The room for a longer text is taken
// first: when the disk is full (or the file may not grow) the old file is
// left as it was, and the message says so. Only an error of the disk itself
// while the text is written over the old one can leave the file incomplete.
void RewriteInPlace(const std::string &target, const std::string &fileName, std::string_view text)
{
  TFileDescriptor file(OpenRegular(target, O_WRONLY, "write", fileName));
  const int fd = file.Get();
  struct stat status {};
  if (::fstat(fd, &status) != 0)
    throw FileError("write", fileName, errno);
  const auto newSize = static_cast<off_t>(text.size());
  if (const int error = ReserveFileSpace(fd, status.st_size, newSize); error != 0)
    throw IniFileError("Cannot rewrite settings file \"" + fileName +
                       "\" in place (its folder takes no new file): " + std::strerror(error) +
                       ". The file was left as it was.");
  if (!WriteAll(fd, text) || (status.st_size > newSize && ::ftruncate(fd, newSize) != 0) ||
      ::fsync(fd) != 0 || !file.Close())
    throw IniFileError("Cannot rewrite settings file \"" + fileName +
                       "\" in place (its folder takes no new file); the file may now be incomplete: " +
                       std::strerror(errno));
}

// Makes a new or renamed entry of Path's folder last over a power cut: the
// folder itself is synced. 0, or the error. A file system that syncs no
// folder (EINVAL) has nothing more to do.
int SyncFolderOf(const std::string &path)
{
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  TFileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.IsOpen())
    return errno;
  if (::fsync(dir.Get()) != 0 && errno != EINVAL)
    return errno;
  return dir.Close() ? 0 : errno;
}

IniFileError TooLarge(const std::string &action, const std::string &fileName, std::size_t size,
                      const char *what)
{
  return FileError(action, fileName,
                   std::string(what) + " " + std::to_string(size) + " bytes, more than the " +
                       std::to_string(IniFile::MaxFileSize / (1024 * 1024)) +
                       " MiB a settings file may hold. The file was left as it was.");
}

} // namespace

IniFile::IniFile(std::string FileName) : FFileName(std::move(FileName))
{
  struct stat status {};
  if (::stat(FFileName.c_str(), &status) != 0) {
    if (errno == ENOENT)
      return;
    throw FileError("open", FFileName, errno);
  }
  if (!S_ISREG(status.st_mode))
    throw NotRegularFile("read", FFileName, status.st_mode);
  TFileDescriptor file(OpenRegular(FFileName, O_RDONLY, "open", FFileName));
  Read(file.Get());
  Load(FText);
}

IniFile::~IniFile() = default;

void IniFile::Read(int fd)
{
  struct stat status {};
  if (::fstat(fd, &status) != 0)
    throw FileError("read", FFileName, errno);
  const auto size = static_cast<std::size_t>(status.st_size);
  if (size > MaxFileSize)
    throw TooLarge("read", FFileName, size, "It holds");
  FText.reserve(size);
  char buffer[8192];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got == 0)
      break;
    if (got < 0) {
      if (errno == EINTR)
        continue;
      throw FileError("read", FFileName, errno);
    }
    FText.append(buffer, static_cast<std::size_t>(got));
    if (FText.size() > MaxFileSize) // it grew while it was read
      throw TooLarge("read", FFileName, FText.size(), "It holds at least");
  }
}

void IniFile::Load(std::string_view text)
{
  // An editor that saved the file as UTF-8 may have put a byte-order mark
  // before the first line; it is no part of that line, and goes back where it
  // was when the file is written. A mark anywhere else is part of its line.
  FByteOrderMark = text.starts_with(ByteOrderMark);
  if (FByteOrderMark)
    text.remove_prefix(ByteOrderMark.size());
  // Room for every section at once, and for the sections a close writes
  // anew after erasing them (they go to the end), so that nothing moves.
  const auto headers = static_cast<std::size_t>(std::count(text.begin(), text.end(), '['));
  FSections.reserve(headers + headers / 8 + 16);
  FIndex.Reserve(headers);
  SectionData *current = &FPreamble;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    line = TrimBlanks(line);
    if (line.empty())
      continue;
    if (line.front() == '[' && line.back() == ']') {
      current = &AddSection(SpanOf(TrimBlanks(line.substr(1, line.size() - 2))));
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string_view::npos || line.front() == ';' || line.front() == '#' ||
        TrimBlanks(line.substr(0, equals)).empty()) {
      AddLine(*current, {{}, SpanOf(line)});
      continue;
    }
    AddLine(*current,
            {SpanOf(TrimBlanks(line.substr(0, equals))), SpanOf(TrimBlanks(line.substr(equals + 1)))});
  }
}

std::string_view IniFile::View(Span span) const
{
  const std::string_view text = span.At < FText.size()
                                    ? std::string_view(FText).substr(span.At)
                                    : std::string_view(FWritten).substr(span.At - FText.size());
  return text.substr(0, span.Size);
}

IniFile::Span IniFile::SpanOf(std::string_view read) const
{
  if (read.empty()) // perhaps no view into the text at all
    return {};
  return {static_cast<std::uint32_t>(read.data() - FText.data()), static_cast<std::uint32_t>(read.size())};
}

IniFile::Span IniFile::Keep(std::string_view text)
{
  const std::size_t at = FText.size() + FWritten.size();
  if (at + text.size() > UINT32_MAX)
    throw std::length_error("More settings written than can be held");
  FWritten.append(text);
  return {static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(text.size())};
}

const IniFile::SectionData *IniFile::FindSection(std::string_view name) const
{
  const FoldedNameIndex::Place at = FIndex.Find(name);
  return at == FoldedNameIndex::NoPlace ? nullptr : &FSections[at];
}

IniFile::SectionData *IniFile::FindSection(std::string_view name)
{
  return const_cast<SectionData *>(std::as_const(*this).FindSection(name));
}

IniFile::SectionData &IniFile::AddSection(Span name)
{
  const auto at = static_cast<FoldedNameIndex::Place>(FSections.size());
  SectionData &made = FSections.emplace_back();
  made.Name = name;
  made.First = static_cast<std::uint32_t>(FLines.size());
  FoldedNameIndex::Place found = at;
  try {
    found = FIndex.Add(View(name), at);
  } catch (...) {
    FSections.pop_back();
    throw;
  }
  if (found != at)
    FSections.pop_back();
  return FSections[found];
}

void IniFile::AddLine(SectionData &section, KeyLine line)
{
  if (section.Count == section.Room && section.First + section.Room != FLines.size()) {
    // Its lines are not the last ones: they move to the end, with room to
    // grow, so that a section named again and again costs no more.
    const auto first = static_cast<std::uint32_t>(FLines.size());
    const std::uint32_t room = std::max<std::uint32_t>(section.Count * 2, 4);
    FLines.resize(first + room);
    std::copy_n(FLines.begin() + section.First, section.Count, FLines.begin() + first);
    section.First = first;
    section.Room = room;
  }
  if (section.Count == section.Room) {
    FLines.push_back(line);
    ++section.Room;
  } else {
    FLines[section.First + section.Count] = line;
  }
  ++section.Count;
}

const IniFile::KeyLine *IniFile::FindKey(const SectionData &section, std::string_view key) const
{
  for (std::uint32_t i = section.First; i < section.First + section.Count; ++i)
    if (FLines[i].Key.Size != 0 && SameFoldedName(View(FLines[i].Key), key))
      return &FLines[i];
  return nullptr;
}

IniFile::KeyLine *IniFile::FindKey(const SectionData &section, std::string_view key)
{
  return const_cast<KeyLine *>(std::as_const(*this).FindKey(section, key));
}

std::string IniFile::ReadString(std::string_view Section, std::string_view Ident,
                                std::string_view Default) const
{
  const SectionData *section = FindSection(Section);
  const KeyLine *line = section ? FindKey(*section, Ident) : nullptr;
  return std::string(line ? View(line->Value) : Default);
}

std::int32_t IniFile::ReadInteger(std::string_view Section, std::string_view Ident,
                                  std::int32_t Default) const
{
  const SectionData *section = FindSection(Section);
  const KeyLine *line = section ? FindKey(*section, Ident) : nullptr;
  return line ? StrToIntDef(View(line->Value), Default) : Default;
}

bool IniFile::ReadBool(std::string_view Section, std::string_view Ident, bool Default) const
{
  return ReadInteger(Section, Ident, Default ? 1 : 0) != 0;
}

std::vector<std::string> IniFile::ReadSections() const
{
  std::vector<std::string> names;
  for (const SectionData &section : FSections)
    if (!section.Erased)
      names.emplace_back(View(section.Name));
  return names;
}

std::vector<std::string> IniFile::ReadSection(std::string_view Section) const
{
  std::vector<std::string> keys;
  if (const SectionData *section = FindSection(Section))
    for (std::uint32_t i = section->First; i < section->First + section->Count; ++i)
      if (FLines[i].Key.Size != 0)
        keys.emplace_back(View(FLines[i].Key));
  return keys;
}

void IniFile::WriteString(std::string_view Section, std::string_view Ident, std::string_view Value)
{
  CheckName(Section, "\r\n", "section");
  CheckName(Ident, "\r\n=", "key");
  if (Ident.front() == '[' || Ident.front() == ';' || Ident.front() == '#')
    throw std::invalid_argument("Unusable settings key name \"" + std::string(Ident) + "\"");
  std::string value(TrimBlanks(Value));
  for (char &c : value)
    if (c == '\r' || c == '\n')
      c = ' ';
  SectionData *found = FindSection(Section);
  SectionData &section = found ? *found : AddSection(Keep(Section));
  if (KeyLine *line = FindKey(section, Ident))
    line->Value = Keep(value);
  else
    AddLine(section, {Keep(Ident), Keep(value)});
}

void IniFile::WriteInteger(std::string_view Section, std::string_view Ident, std::int32_t Value)
{
  WriteString(Section, Ident, IntToStr(Value));
}

void IniFile::WriteBool(std::string_view Section, std::string_view Ident, bool Value)
{
  WriteString(Section, Ident, Value ? "1" : "0");
}

void IniFile::EraseSection(std::string_view Section)
{
  // The section stays in its place, empty and left out of the file: taking
  // it from the list would move every section after it.
  SectionData *section = FindSection(Section);
  if (!section)
    return;
  FIndex.Remove(Section);
  section->Erased = true;
  section->Count = section->Room = 0;
}

std::string IniFile::Text() const
{
  std::string text;
  text.reserve(FText.size() + FText.size() / 8 + FWritten.size() + 4096);
  const auto appendLines = [this, &text](const SectionData &section) {
    for (std::uint32_t i = section.First; i < section.First + section.Count; ++i) {
      if (FLines[i].Key.Size != 0)
        text.append(View(FLines[i].Key)).append("=");
      text.append(View(FLines[i].Value)).append("\r\n");
    }
  };
  appendLines(FPreamble);
  for (const SectionData &section : FSections) {
    if (section.Erased)
      continue;
    if (!text.empty())
      text.append("\r\n");
    text.append("[").append(View(section.Name)).append("]\r\n");
    appendLines(section);
  }
  if (FByteOrderMark)
    text.insert(0, ByteOrderMark);
  else if (text.starts_with(ByteOrderMark))
    // A line that begins with a mark of its own does not go first, where
    // the mark would be read as the file's and the line as another.
    text.insert(0, "\r\n");
  return text;
}

namespace {

// A settings file that is not there yet: no old file to protect, the new one
// is written in place.
void CreateNewFile(const std::string &target, const std::string &fileName, const std::string &text)
{
  const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0)
    throw FileError("create", fileName, errno);
  TFileDescriptor file(fd);
  if (!WriteAll(fd, text) || ::fsync(fd) != 0 || !file.Close()) {
    const int error = errno;
    ::unlink(target.c_str());
    throw FileError("write", fileName, error);
  }
  if (const int error = SyncFolderOf(target); error != 0)
    throw FileError("sync the folder of", fileName, error);
}

// The new text in a copy beside the old file, which then takes its name: the
// old file or the new one, always whole.
void ReplaceFile(const std::string &target, const std::string &fileName, const struct stat &old,
                 const std::string &text)
{
  std::string temporary = target + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    if (!FolderTakesNoNewFile(errno))
      throw FileError("write a new copy of", fileName,
                      std::string(std::strerror(errno)) + ". The file was left as it was.");
    // A writable file in a folder the user may not change (beside the
    // program, say): rather than lose the settings, the file is rewritten.
    RewriteInPlace(target, fileName, text);
    return;
  }
  TFileDescriptor file(fd);
  // The copy takes the old file's owner (where allowed) and permissions.
  [[maybe_unused]] const int owned = ::fchown(fd, old.st_uid, old.st_gid);
  if (!WriteAll(fd, text) || ::fchmod(fd, old.st_mode & 07777) != 0 || ::fsync(fd) != 0 || !file.Close() ||
      ::rename(temporary.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw FileError("write", fileName, std::string(std::strerror(error)) + ". The file was left as it was.");
  }
  // The rename lasts over a power cut only once its folder is synced too.
  if (const int error = SyncFolderOf(target); error != 0)
    throw FileError("sync the folder of", fileName, error);
}

} // namespace

void IniFile::UpdateFile() const
{
  const std::string text = Text();
  if (text.size() > MaxFileSize)
    throw TooLarge("write", FFileName, text.size(), "The new text would hold");

  // A link is followed, so that the file it points at gets the new text.
  struct stat old {};
  if (::stat(FFileName.c_str(), &old) != 0) {
    if (errno != ENOENT)
      throw FileError("write", FFileName, errno);
    CreateNewFile(FFileName, FFileName, text);
    return;
  }
  char resolved[PATH_MAX];
  if (::realpath(FFileName.c_str(), resolved) == nullptr)
    throw FileError("find", FFileName, errno);
  const std::string target = resolved;
  if (!S_ISREG(old.st_mode))
    throw NotRegularFile("write", FFileName, old.st_mode);
  if (::access(target.c_str(), W_OK) != 0)
    throw FileError("write", FFileName, errno);
  ReplaceFile(target, FFileName, old, text);
}

} // namespace platform
