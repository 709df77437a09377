#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using platform::IniFile;
using platform::IniFileError;

namespace {

// A private directory per test, removed afterwards.
class IniFileTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    std::string pattern = (std::filesystem::temp_directory_path() / "inifile-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    FDir = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(FDir); }

  std::string Path(const char *name) const { return (FDir / name).string(); }

  static void Put(const std::string &path, const std::string &bytes)
  {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string Get(const std::string &path)
  {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  // UpdateFile with file sizes limited to 64 bytes, so that a longer text
  // cannot be written; the error's message, empty when none came.
  static std::string UpdateWithSmallFileSizeLimit(const IniFile &ini)
  {
    rlimit saved{};
    EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 64;
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string message;
    try {
      ini.UpdateFile();
    } catch (const IniFileError &error) {
      message = error.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
    return message;
  }

  std::filesystem::path FDir;
};

// For the rest of its scope the process acts as an ordinary user when the
// tests run as root, whom no folder permission stops.
class OrdinaryUser {
public:
  OrdinaryUser() : FWasRoot(::geteuid() == 0)
  {
    if (FWasRoot && ::seteuid(65534) != 0)
      FWasRoot = false;
  }
  ~OrdinaryUser()
  {
    if (FWasRoot && ::seteuid(0) != 0)
      std::abort();
  }
  OrdinaryUser(const OrdinaryUser &) = delete;
  OrdinaryUser &operator=(const OrdinaryUser &) = delete;
  bool Active() const { return ::geteuid() != 0; }

private:
  bool FWasRoot;
};

TEST_F(IniFileTest, MissingFileReadsDefaultsAndIsCreatedOnUpdate)
{
  const std::string path = Path("Quorlan2.INI");
  IniFile ini(path);
  EXPECT_EQ(ini.ReadInteger("Main", "Count", 0), 0);
  EXPECT_EQ(ini.ReadInteger("Server", "Port", 9111), 9111);
  EXPECT_EQ(ini.ReadString("Objects(0)", "TCPIP.IP", "127.0.0.1"), "127.0.0.1");
  EXPECT_TRUE(ini.ReadBool("Objects(0)", "Type", true));
  // Reading added nothing: the file written back is empty.
  ini.UpdateFile();
  ASSERT_TRUE(std::filesystem::exists(path));
  EXPECT_EQ(Get(path), "");
}

TEST_F(IniFileTest, ReadsLfAndCrLfFilesCaseInsensitivelyAndKeepsBytes)
{
  const std::string cyrillic = "\xD1\xF7\xE5\xF2\xF7\xE8\xEA"; // Счетчик
  const std::string lf =
      "[Main]\nHeight=0x200\nWidth = $10 \n; note\n[Server]\nPort=9200\n[Objects(0)]\nNetAdr=5, 7\n" +
      cyrillic + "=" + cyrillic + "\nType=2\nMaxSpeed=0\nCOM=abc\n";
  std::string crlf;
  for (char c : lf)
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  for (const auto &[name, text] : {std::pair{"lf.ini", lf}, std::pair{"crlf.ini", crlf}}) {
    SCOPED_TRACE(name);
    Put(Path(name), text);
    IniFile ini(Path(name));
    EXPECT_EQ(ini.ReadInteger("MAIN", "height", 0), 512);
    EXPECT_EQ(ini.ReadInteger("main", "WIDTH", 0), 16);
    EXPECT_EQ(ini.ReadInteger("Server", "Port", 9111), 9200);
    EXPECT_EQ(ini.ReadString("objects(0)", "netadr", ""), "5, 7");
    // Bytes above ASCII are neither case-folded nor converted.
    EXPECT_EQ(ini.ReadString("Objects(0)", cyrillic, ""), cyrillic);
    EXPECT_EQ(ini.ReadString("Objects(0)", "\xF1\xF7\xE5\xF2\xF7\xE8\xEA", "none"), "none");
    EXPECT_TRUE(ini.ReadBool("Objects(0)", "Type", false));
    EXPECT_FALSE(ini.ReadBool("Objects(0)", "MaxSpeed", true));
    // A value that is no number reads as the default.
    EXPECT_EQ(ini.ReadInteger("Objects(0)", "COM", 1), 1);
    EXPECT_TRUE(ini.ReadBool("Objects(0)", "COM", true));
    EXPECT_EQ(ini.ReadString("Objects(0)", "; note", "x"), "x");
  }
}

TEST_F(IniFileTest, WritesInOrderWithCrLfAndReadsItBack)
{
  const std::string path = Path("settings.ini");
  Put(path, "; kept comment\n[Server]\nPort=9200\n[Objects(0)]\nNetAdr=1\nCOM=4\n");
  {
    IniFile ini(path);
    ini.WriteInteger("Objects(0)", "com", 7); // an existing key keeps its place and spelling
    ini.WriteString("Objects(0)", "TCPIP.IP", "10.0.0.5");
    ini.WriteBool("Objects(0)", "Type", true);
    ini.WriteBool("Objects(0)", "MaxSpeed", false);
    ini.WriteInteger("Main", "Column[0]", -150);
    ini.WriteString("Main", "Evil", "5\r\n[Main]\r\nCount=999");
    ini.UpdateFile();
  }
  EXPECT_EQ(Get(path),
            "; kept comment\r\n"
            "\r\n[Server]\r\nPort=9200\r\n"
            "\r\n[Objects(0)]\r\nNetAdr=1\r\nCOM=7\r\nTCPIP.IP=10.0.0.5\r\nType=1\r\nMaxSpeed=0\r\n"
            "\r\n[Main]\r\nColumn[0]=-150\r\nEvil=5  [Main]  Count=999\r\n");
  IniFile again(path);
  EXPECT_EQ(again.ReadInteger("Main", "Column[0]", 0), -150);
  EXPECT_EQ(again.ReadInteger("Main", "Count", 0), 0);
  EXPECT_TRUE(again.ReadBool("Objects(0)", "Type", false));
  EXPECT_EQ(again.ReadString("Objects(0)", "TCPIP.IP", ""), "10.0.0.5");

  EXPECT_THROW(again.WriteString("Main", "A=B", "x"), std::invalid_argument);
  EXPECT_THROW(again.WriteString("Ma\nin", "A", "x"), std::invalid_argument);
  EXPECT_THROW(again.WriteString("Main", "", "x"), std::invalid_argument);
}

TEST_F(IniFileTest, EraseSectionRemovesAllItsKeysAndARewriteAppendsAnew)
{
  const std::string path = Path("erase.ini");
  Put(path, "[Main]\r\nCount=3\r\n[Objects(0)]\r\nCOM=2\r\nBaudRate=19200\r\n[Objects(1)]\r\nCOM=5\r\n");
  IniFile ini(path);
  ini.EraseSection("MAIN");
  ini.EraseSection("Objects(0)");
  ini.EraseSection("Nothing");
  EXPECT_EQ(ini.ReadInteger("Objects(0)", "BaudRate", 9600), 9600);
  ini.WriteInteger("Main", "Count", 1);
  ini.WriteInteger("Objects(0)", "COM", 3);
  ini.UpdateFile();
  EXPECT_EQ(Get(path), "[Objects(1)]\r\nCOM=5\r\n\r\n[Main]\r\nCount=1\r\n\r\n[Objects(0)]\r\nCOM=3\r\n");
}

TEST_F(IniFileTest, ByteOrderMarkBeforeTheFirstSectionIsSkippedAndKept)
{
  const std::string path = Path("bom.ini");
  const std::string bom = "\xEF\xBB\xBF";
  Put(path, bom + "[Main]\r\nHeight=5\r\nCount=1\r\n");
  IniFile ini(path);
  EXPECT_EQ(ini.ReadInteger("Main", "Height", 0), 5);
  ini.EraseSection("Main");
  ini.WriteInteger("Main", "Height", 6);
  ini.UpdateFile();
  EXPECT_EQ(Get(path), bom + "[Main]\r\nHeight=6\r\n");
}

// What a file says (its sections, keys and values as read) is what the file
// written back says, however odd the file.
TEST_F(IniFileTest, OddFilesSayTheSameAfterAWriteBack)
{
  const std::string bom = "\xEF\xBB\xBF";
  const auto said = [](const IniFile &ini) {
    std::vector<std::string> items;
    for (const std::string &section : ini.ReadSections())
      for (const std::string &key : ini.ReadSection(section))
        items.push_back(section + "|" + key + "|" + ini.ReadString(section, key, "-"));
    return items;
  };
  const std::string files[] = {
      "\r\n" + bom + "[Server]\r\nPort=9112\r\n[Main]\r\nCount=0\r\n", // a mark after an empty line
      "  " + bom + "[Server]\nPort=9112\n",                            // after blanks
      bom + bom + "[Server]\nPort=9112\n",                             // after the file's own
      "\n" + bom + "Count=2\n[Main]\n" + bom + "Count=3\nCount=4\n" + bom + "[Main]\n",
      "[A]\nx=1\n[b]\ny=2\n[a]\nx=3\nz\n[]\n=v\n[x=1]\n[y]=2\n;c=2\n[ B ]\ny=4\n",
      "k=1\r\r\n[S]\rk=2\n v = w \t\n[T]\nk\t=\t\xFF\n",
  };
  for (const std::string &text : files) {
    SCOPED_TRACE(testing::PrintToString(text));
    const std::string path = Path("odd.ini");
    Put(path, text);
    const IniFile first(path);
    first.UpdateFile();
    const std::string written = Get(path);
    const IniFile again(path);
    EXPECT_EQ(said(again), said(first));
    EXPECT_EQ(again.ReadInteger("Server", "Port", 9111), first.ReadInteger("Server", "Port", 9111));
    again.UpdateFile();
    EXPECT_EQ(Get(path), written);
  }
}

// Neither a file nor a new text larger than the bound is taken; the file
// stays as it was.
TEST_F(IniFileTest, SettingsLargerThanTheBoundAreNeitherReadNorWritten)
{
  const std::string path = Path("large.ini");
  const std::string old = "[Main]\r\nCount=1\r\n";
  Put(path, old + std::string(IniFile::MaxFileSize - old.size(), '#'));
  EXPECT_NO_THROW(IniFile{path});
  Put(path, old + std::string(IniFile::MaxFileSize + 1 - old.size(), '#'));
  try {
    IniFile ini(path);
    ADD_FAILURE() << "read";
  } catch (const IniFileError &error) {
    EXPECT_NE(std::string(error.what()).find("16 MiB"), std::string::npos) << error.what();
  }

  Put(path, old);
  IniFile ini(path);
  ini.WriteString("Main", "Log", std::string(IniFile::MaxFileSize, 'x'));
  try {
    ini.UpdateFile();
    ADD_FAILURE() << "written";
  } catch (const IniFileError &error) {
    EXPECT_NE(std::string(error.what()).find("left as it was"), std::string::npos) << error.what();
  }
  EXPECT_EQ(Get(path), old);
}

TEST_F(IniFileTest, FileThatCannotBeReadIsAnError)
{
  // A directory stands for an unreadable file (the tests may run as root).
  const std::string path = Path("dir.ini");
  std::filesystem::create_directory(path);
  EXPECT_THROW(IniFile{path}, IniFileError);
}

TEST_F(IniFileTest, NameThatIsNoRegularFileIsRefusedWithoutBlocking)
{
  // Without a writer, opening or reading a named pipe would wait for good.
  const std::string fifo = Path("fifo.ini");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = Path("folder.ini");
  std::filesystem::create_directory(folder);
  for (const std::string &path : {fifo, folder, std::string("/dev/null")}) {
    SCOPED_TRACE(path);
    try {
      IniFile ini(path);
      ADD_FAILURE() << "read";
    } catch (const IniFileError &error) {
      EXPECT_NE(std::string(error.what()).find(path == folder ? "is a directory" : "not a regular file"),
                std::string::npos)
          << error.what();
    }
  }
}

TEST_F(IniFileTest, FailedWriteLeavesTheOldFileWhole)
{
  const std::string old = "[Server]\r\nPort=9200\r\n";
  const std::string path = Path("keep.ini");
  Put(path, old);
  IniFile ini(path);
  for (int i = 0; i < 100; ++i)
    ini.WriteInteger("Main", "Column[" + std::to_string(i) + "]", 150);

  // The new text cannot be written; writing the old file in place would
  // already have cut it short.
  const std::string message = UpdateWithSmallFileSizeLimit(ini);
  EXPECT_NE(message.find(path), std::string::npos) << message;
  EXPECT_NE(message.find("left as it was"), std::string::npos) << message;
  EXPECT_EQ(Get(path), old);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(FDir), {}), 1) << "no temporary file left";

  // A file in a directory that does not exist cannot be written either.
  IniFile lost(Path("missing/dir/x.ini"));
  lost.WriteInteger("Main", "Count", 1);
  EXPECT_THROW(lost.UpdateFile(), IniFileError);
}

TEST_F(IniFileTest, UpdateKeepsPermissionsAndWritesThroughALink)
{
  const std::string real = Path("real.ini");
  const std::string link = Path("link.ini");
  Put(real, "[Main]\r\nCount=1\r\n");
  std::filesystem::permissions(real, std::filesystem::perms(0640));
  std::filesystem::create_symlink(real, link);
  IniFile ini(link);
  ini.WriteInteger("Main", "Count", 2);
  ini.UpdateFile();
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(Get(real), "[Main]\r\nCount=2\r\n");
  EXPECT_EQ(std::filesystem::status(real).permissions(), std::filesystem::perms(0640));
}

TEST_F(IniFileTest, WritableFileInAFolderThatTakesNoNewFileIsRewrittenInPlace)
{
  // A settings file beside a program, in a folder the user may not change.
  namespace fs = std::filesystem;
  const fs::path folder = FDir / "program";
  fs::create_directory(folder);
  const std::string path = (folder / "Quorlan2.INI").string();
  Put(path, "[Main]\r\nCount=1\r\n[Old]\r\nKey=value\r\n");
  fs::permissions(path, fs::perms(0666));
  fs::permissions(folder, fs::perms(0555));
  fs::permissions(FDir, fs::perms(0755));
  {
    const OrdinaryUser user;
    if (!user.Active())
      GTEST_SKIP() << "cannot act as an ordinary user";
    IniFile ini(path);
    ini.WriteInteger("Main", "Count", 2);
    ini.EraseSection("Old");
    ini.UpdateFile();
    EXPECT_EQ(Get(path), "[Main]\r\nCount=2\r\n");

    // A longer text that does not fit leaves the old file byte for byte.
    for (int i = 0; i < 100; ++i)
      ini.WriteInteger("Main", "Column[" + std::to_string(i) + "]", 150);
    const std::string message = UpdateWithSmallFileSizeLimit(ini);
    EXPECT_NE(message.find(path), std::string::npos) << message;
    EXPECT_NE(message.find("left as it was"), std::string::npos) << message;
    EXPECT_EQ(Get(path), "[Main]\r\nCount=2\r\n");
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 1) << "no other file made in the folder";
  fs::permissions(folder, fs::perms::owner_all);
}

} // namespace
