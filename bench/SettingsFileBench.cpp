// What the settings file costs at its largest.
//
// Memory: settings files just under the bound of the settings file
// (IniFile::MaxFileSize) of four shapes are read, and the memory the
// contents hold is measured against the file's size: rows as the program
// writes them, short keys ("k<n>=1"), lines of one character kept as they
// are, and sections without keys ("[<n>]"), where each line costs the most.
//
// Time: a start and a close with 1,000 rows as the window makes them, in a
// file that holds as many other (empty) sections as fit under the bound besides:
// the start reads the window's keys and every row's 14 keys and writes the
// file back; the close erases and writes the window's section and every
// row's section and writes the file.
//
// Targets: rows held at most 3 times the file's size, short keys 4 times,
// short lines 12 times, bare sections 8 times (the program held files at 5,
// 8, 43 and 15 times their size before); the start and the close each at most 0.5 s, the best of a
// few tries (they took a minute and more in a file of many sections when
// erasing a section looked at every other).
//
//   SettingsFileBench [rows=1000] [tries=3]
#include "platform/IniFile.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using platform::IniFile;

double Seconds(Clock::duration D) { return std::chrono::duration<double>(D).count(); }

std::size_t HeapInUse()
{
  const struct mallinfo2 Info = ::mallinfo2();
  return Info.uordblks + Info.hblkhd;
}

const char *Verdict(bool Met) { return Met ? "met" : "NOT met"; }

// The section of one row as the close writes it.
std::string RowSection(int Index)
{
  return "[Objects(" + std::to_string(Index) +
         ")]\r\nNetAdr=1,2,3\r\nCOM=1\r\nBaudRate=9600\r\nParity=1\r\nAnswerTimeOut=20000\r\nSystemTimeOut=50\r\n"
         "RWMTimeOut=0\r\nTCPIP.IP=192.168.10.20\r\nTCPIP.Port=4001\r\nBlockSize=512\r\nType=0\r\nMaxSpeed=0\r\n"
         "AlertSequence=0\r\nPacketMode=0\r\n\r\n";
}

// A text of Make(0), Make(1), ... that stays within Limit bytes.
template <class Piece> std::string FillUpTo(std::string Text, std::size_t Limit, Piece Make)
{
  for (int i = 0;; ++i) {
    const std::string Next = Make(i);
    if (Text.size() + Next.size() > Limit)
      return Text;
    Text += Next;
  }
}

void Put(const std::string &Path, const std::string &Text) { std::ofstream(Path, std::ios::binary) << Text; }

// The memory the contents of the file hold, per byte of the file.
double HeldPerByte(const std::string &Path, std::size_t Size)
{
  const std::size_t Before = HeapInUse();
  const IniFile Ini(Path);
  return static_cast<double>(HeapInUse() - Before) / static_cast<double>(Size);
}

const char *const PortKeys[] = {"COM", "BaudRate", "Parity", "AnswerTimeOut", "SystemTimeOut", "RWMTimeOut"};

double Start(const std::string &Path, int Rows)
{
  const auto Began = Clock::now();
  IniFile Ini(Path);
  int Sum = Ini.ReadInteger("Main", "Height", 0) + Ini.ReadInteger("Main", "Width", 0) +
            Ini.ReadInteger("Main", "Panel1.Height", 0);
  for (int i = 0; i < 8; ++i)
    Sum += Ini.ReadInteger("Main", "Column[" + std::to_string(i) + "]", 150);
  Sum += Ini.ReadInteger("Main", "Count", 0) + Ini.ReadInteger("Server", "Port", 9111);
  for (int i = 0; i < Rows; ++i) {
    const std::string Section = "Objects(" + std::to_string(i) + ")";
    Sum += static_cast<int>(Ini.ReadString(Section, "NetAdr", "").size());
    for (const char *Key : PortKeys)
      Sum += Ini.ReadInteger(Section, Key, 0);
    Sum += static_cast<int>(Ini.ReadString(Section, "TCPIP.IP", "127.0.0.1").size());
    for (const char *Key : {"TCPIP.Port", "BlockSize", "Type", "MaxSpeed", "AlertSequence", "PacketMode"})
      Sum += Ini.ReadInteger(Section, Key, 0);
  }
  Ini.UpdateFile();
  const double Taken = Seconds(Clock::now() - Began);
  if (Sum == 0)
    std::printf("(nothing read)\n");
  return Taken;
}

double Close(const std::string &Path, int Rows)
{
  const auto Began = Clock::now();
  IniFile Ini(Path);
  Ini.EraseSection("Main");
  for (const char *Key : {"Height", "Width", "Panel1.Height"})
    Ini.WriteInteger("Main", Key, 500);
  for (int i = 0; i < 8; ++i)
    Ini.WriteInteger("Main", "Column[" + std::to_string(i) + "]", 150);
  Ini.WriteInteger("Main", "Count", Rows);
  for (int i = 0; i < Rows; ++i) {
    const std::string Section = "Objects(" + std::to_string(i) + ")";
    Ini.EraseSection(Section);
    Ini.WriteString(Section, "NetAdr", "1,2,3");
    for (const char *Key : PortKeys)
      Ini.WriteInteger(Section, Key, 1);
    Ini.WriteString(Section, "TCPIP.IP", "192.168.10.20");
    for (const char *Key : {"TCPIP.Port", "BlockSize", "Type", "MaxSpeed", "AlertSequence", "PacketMode"})
      Ini.WriteInteger(Section, Key, 0);
  }
  Ini.UpdateFile();
  return Seconds(Clock::now() - Began);
}

std::string LoadAverage()
{
  std::ifstream File("/proc/loadavg");
  std::string One, Five, Fifteen;
  File >> One >> Five >> Fifteen;
  return One + " " + Five + " " + Fifteen;
}

// The start and the close with Rows rows in a file filled up to Limit with
// other sections, the best of Tries; whether both met their target. They run
// first, in a fresh process, as the program's do.
bool StartAndClose(const std::string &Path, int Rows, std::size_t Limit, int Tries)
{
  std::string Rowed = "[Main]\r\nCount=" + std::to_string(Rows) + "\r\n\r\n[Server]\r\nPort=9111\r\n\r\n";
  for (int i = 0; i < Rows; ++i)
    Rowed += RowSection(i);
  std::size_t Sections = 0;
  const std::string Padded = FillUpTo(Rowed, Limit, [&Sections](int i) {
    ++Sections;
    return "[" + std::to_string(i) + "]\r\n\r\n"; // as written back, so that the file keeps its size
  });
  double Started = 1e9, Closed = 1e9;
  for (int i = 0; i < Tries; ++i) {
    Put(Path, Padded);
    Started = std::min(Started, Start(Path, Rows));
    Closed = std::min(Closed, Close(Path, Rows));
  }
  const bool Met = Started <= 0.5 && Closed <= 0.5;
  std::printf(
      "%d rows among %zu other sections (%.1f MiB), best of %d, load average %s: start %.3f s, close %.3f s "
      "(targets at most 0.5 s): %s\n",
      Rows, Sections - 1, static_cast<double>(Padded.size()) / (1024 * 1024), Tries, LoadAverage().c_str(),
      Started, Closed, Verdict(Met));
  return Met;
}

} // namespace

int main(int argc, char **argv)
{
  const int Rows = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
  const int Tries = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  char Pattern[] = "/tmp/quorlan2-bench-XXXXXX";
  const std::string Dir = ::mkdtemp(Pattern);
  const std::string Path = Dir + "/q.ini";
  // Room for the window's section and the rows' sections that the close adds.
  const std::size_t Limit = IniFile::MaxFileSize - 64 * 1024;
  int Result = StartAndClose(Path, Rows, Limit, Tries) ? 0 : 1;

  struct TShape {
    const char *Name;
    double Target;
    std::string (*Make)(int);
  };
  const TShape Shapes[] = {
      {"rows", 3, RowSection},
      {"short keys", 4, [](int i) { return "k" + std::to_string(i) + "=1\r\n"; }},
      {"short lines", 12, [](int) { return std::string("x\r\n"); }},
      {"bare sections", 8, [](int i) { return "[" + std::to_string(i) + "]\r\n"; }},
  };
  for (const TShape &Shape : Shapes) {
    const std::string Text = FillUpTo("[Main]\r\n", Limit, Shape.Make);
    Put(Path, Text);
    const double Held = HeldPerByte(Path, Text.size());
    std::printf("%-13s %5.1f MiB held at %5.2f times its size (target at most %g): %s\n", Shape.Name,
                static_cast<double>(Text.size()) / (1024 * 1024), Held, Shape.Target,
                Verdict(Held <= Shape.Target));
    Result |= Held > Shape.Target;
  }
  std::filesystem::remove_all(Dir);
  return Result;
}
