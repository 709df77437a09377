#include "platform/IniFile.h"

#include "platform/FileSpace.h"
#include "platform/TextRules.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";

char AsciiLower(char c)
{
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Folded(std::string_view name)
{
  std::string result(name);
  for (char &c : result)
    c = AsciiLower(c);
  return result;
}

bool SameName(std::string_view a, std::string_view b)
{
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i]))
      return false;
  return true;
}

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
  if (TrimBlanks(name).size() != name.size() || name.empty() || name.find_first_of(forbidden) != std::string_view::npos)
    throw std::invalid_argument(std::string("Unusable settings ") + what + " name \"" + std::string(name) + "\"");
}

// Writes all of Text to Fd; false with errno set on failure.
bool WriteAll(int fd, std::string_view text)
{
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

class FileDescriptor
{
public:
  explicit FileDescriptor(int fd) : FFd(fd) {}
  ~FileDescriptor()
  {
    if (FFd >= 0)
      ::close(FFd);
  }
  FileDescriptor(const FileDescriptor &) = delete;
  FileDescriptor &operator=(const FileDescriptor &) = delete;
  int Get() const { return FFd; }
  // Closes now and reports the result of the close (delayed write errors show here).
  bool Close()
  {
    const int fd = FFd;
    FFd = -1;
    return ::close(fd) == 0;
  }

private:
  int FFd;
};

// Errors of making a file in a folder that say the folder takes no new file,
// while a file already in it may still be writable.
bool FolderTakesNoNewFile(int error)
{
  return error == EACCES || error == EPERM || error == EROFS;
}

// Writes Text over the file itself. The room for a longer text is taken
// first: when the disk is full (or the file may not grow) the old file is
// left as it was, and the message says so. Only an error of the disk itself
// while the text is written over the old one can leave the file incomplete.
void RewriteInPlace(const std::string &target, const std::string &fileName, std::string_view text)
{
  FileDescriptor file(OpenRegular(target, O_WRONLY, "write", fileName));
  const int fd = file.Get();
  struct stat status {};
  if (::fstat(fd, &status) != 0)
    throw FileError("write", fileName, errno);
  const auto newSize = static_cast<off_t>(text.size());
  if (const int error = ReserveFileSpace(fd, status.st_size, newSize); error != 0)
    throw IniFileError("Cannot rewrite settings file \"" + fileName +
                       "\" in place (its folder takes no new file): " + std::strerror(error) +
                       ". The file was left as it was.");
  if (!WriteAll(fd, text) || (status.st_size > newSize && ::ftruncate(fd, newSize) != 0) || ::fsync(fd) != 0 ||
      !file.Close())
    throw IniFileError("Cannot rewrite settings file \"" + fileName +
                       "\" in place (its folder takes no new file); the file may now be incomplete: " +
                       std::strerror(errno));
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
  FileDescriptor file(OpenRegular(FFileName, O_RDONLY, "open", FFileName));
  const int fd = file.Get();
  std::string text;
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
    text.append(buffer, static_cast<std::size_t>(got));
  }
  Load(text);
}

IniFile::~IniFile() = default;

void IniFile::Load(std::string_view text)
{
  // An editor that saved the file as UTF-8 may have put a byte-order mark
  // before the first line; it is no part of that line, and goes back where it
  // was when the file is written.
  FByteOrderMark = text.starts_with(ByteOrderMark);
  if (FByteOrderMark)
    text.remove_prefix(ByteOrderMark.size());
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
      const std::string_view name = TrimBlanks(line.substr(1, line.size() - 2));
      SectionData *found = FindSection(name);
      current = found ? found : &AddSection(name);
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string_view::npos || line.front() == ';' || line.front() == '#' ||
        TrimBlanks(line.substr(0, equals)).empty()) {
      current->Lines.push_back({{}, std::string(line)});
      continue;
    }
    current->Lines.push_back({std::string(TrimBlanks(line.substr(0, equals))), std::string(TrimBlanks(line.substr(equals + 1)))});
  }
}

IniFile::SectionData *IniFile::FindSection(std::string_view name) const
{
  const auto found = FIndex.find(Folded(name));
  return found == FIndex.end() ? nullptr : found->second;
}

IniFile::SectionData &IniFile::AddSection(std::string_view name)
{
  FSections.push_back(std::make_unique<SectionData>(SectionData{std::string(name), {}}));
  SectionData &section = *FSections.back();
  FIndex[Folded(name)] = &section;
  return section;
}

IniFile::KeyLine *IniFile::FindKey(SectionData &section, std::string_view key)
{
  for (KeyLine &line : section.Lines)
    if (!line.Key.empty() && SameName(line.Key, key))
      return &line;
  return nullptr;
}

std::string IniFile::ReadString(std::string_view Section, std::string_view Ident, std::string_view Default) const
{
  auto *section = FindSection(Section);
  const KeyLine *line = section ? FindKey(*section, Ident) : nullptr;
  return std::string(line ? std::string_view(line->Value) : Default);
}

std::int32_t IniFile::ReadInteger(std::string_view Section, std::string_view Ident, std::int32_t Default) const
{
  auto *section = FindSection(Section);
  const KeyLine *line = section ? FindKey(*section, Ident) : nullptr;
  return line ? StrToIntDef(line->Value, Default) : Default;
}

bool IniFile::ReadBool(std::string_view Section, std::string_view Ident, bool Default) const
{
  return ReadInteger(Section, Ident, Default ? 1 : 0) != 0;
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
  auto *found = FindSection(Section);
  auto &section = found ? *found : AddSection(Section);
  if (KeyLine *line = FindKey(section, Ident))
    line->Value = std::move(value);
  else
    section.Lines.push_back({std::string(Ident), std::move(value)});
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
  const auto found = FIndex.find(Folded(Section));
  if (found == FIndex.end())
    return;
  const IniFile::SectionData *section = found->second;
  FIndex.erase(found);
  std::erase_if(FSections, [section](const auto &item) { return item.get() == section; });
}

std::string IniFile::Text() const
{
  std::string text;
  const auto appendLines = [&text](const IniFile::SectionData &section) {
    for (const KeyLine &line : section.Lines) {
      if (!line.Key.empty())
        text.append(line.Key).append("=");
      text.append(line.Value).append("\r\n");
    }
  };
  appendLines(FPreamble);
  for (const auto &section : FSections) {
    if (!text.empty())
      text.append("\r\n");
    text.append("[").append(section->Name).append("]\r\n");
    appendLines(*section);
  }
  if (FByteOrderMark)
    text.insert(0, ByteOrderMark);
  return text;
}

void IniFile::UpdateFile() const
{
  const std::string text = Text();

  // A link is followed, so that the file it points at gets the new text.
  std::string target = FFileName;
  struct stat old {};
  bool exists = ::stat(FFileName.c_str(), &old) == 0;
  if (exists) {
    char resolved[PATH_MAX];
    if (::realpath(FFileName.c_str(), resolved) == nullptr)
      throw FileError("find", FFileName, errno);
    target = resolved;
    if (!S_ISREG(old.st_mode))
      throw NotRegularFile("write", FFileName, old.st_mode);
    if (::access(target.c_str(), W_OK) != 0)
      throw FileError("write", FFileName, errno);
  } else if (errno != ENOENT) {
    throw FileError("write", FFileName, errno);
  }

  if (!exists) {
    // No old file to protect: write the new one in place.
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
      throw FileError("create", FFileName, errno);
    FileDescriptor file(fd);
    if (!WriteAll(fd, text) || ::fsync(fd) != 0 || !file.Close()) {
      const int error = errno;
      ::unlink(target.c_str());
      throw FileError("write", FFileName, error);
    }
    return;
  }

  std::string temporary = target + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) {
    if (!FolderTakesNoNewFile(errno))
      throw FileError("write a new copy of", FFileName,
                      std::string(std::strerror(errno)) + ". The file was left as it was.");
    // A writable file in a folder the user may not change (beside the
    // program, say): rather than lose the settings, the file is rewritten.
    RewriteInPlace(target, FFileName, text);
    return;
  }
  FileDescriptor file(fd);
  // The copy takes the old file's owner (where allowed) and permissions.
  [[maybe_unused]] const int owned = ::fchown(fd, old.st_uid, old.st_gid);
  if (!WriteAll(fd, text) || ::fchmod(fd, old.st_mode & 07777) != 0 || ::fsync(fd) != 0 || !file.Close() ||
      ::rename(temporary.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw FileError("write", FFileName, std::string(std::strerror(error)) + ". The file was left as it was.");
  }
}

} // namespace platform
