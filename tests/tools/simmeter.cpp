// quorlan2-simmeter: simulated KV-750L meters on a COM line or a TCP serial
// gateway, for trying the program without real meters. It serves one line
// until Ctrl+C and says what each meter goes through.
#include "platform/TextRules.h"
#include "support/SimLine.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <string>
#include <strings.h>
#include <vector>

namespace {

const char *const Usage = "Usage: quorlan2-simmeter (--com DIR N | --tcp PORT [--pieces BAUD])\n"
                          "                         --meters ADDR:TYPE[,ADDR:TYPE...]\n"
                          "\n"
                          "Simulated KV-750L meters for trying Quorlan2 without real meters.\n"
                          "\n"
                          "  --com DIR N     serve a pseudo-terminal reachable as DIR/comN; start the\n"
                          "                  program with QUORLAN2_COM_DIR=DIR and choose COM port N\n"
                          "  --tcp PORT      serve a TCP serial gateway on 127.0.0.1:PORT (0: a free\n"
                          "                  port, printed at start); it serves one client at a time\n"
                          "  --pieces BAUD   with --tcp: a gateway that forwards every answer byte in a\n"
                          "                  TCP segment of its own, as the line behind it delivers\n"
                          "                  them; the line runs at BAUD (1200..115200, e.g. 9600)\n"
                          "  --meters LIST   the meters on the line: network address (1..255) and\n"
                          "                  type (LA, LB, LC, LAT, LCT), e.g. 5:LA,6:LAT,7:LC\n"
                          "  --help          this text\n"
                          "\n"
                          "Each meter starts with a software version older than the program's\n"
                          "built-in one and answers only its own address. The tool prints what it\n"
                          "serves and each meter's progress (test mode, blocks written, the new\n"
                          "version), and runs until Ctrl+C.\n";

const char *const TypeNames[] = {"LA", "LB", "LC", "LAT", "LCT"};

struct TOptions {
  std::string ComDir;
  int ComNumber = 0;
  int TcpPort = -1;
  int PiecesBaud = 0; // 0: answers go out whole
  std::vector<sim::MeterConfig> Meters;
};

bool ParseInt(const char *Text, int Low, int High, int &Value)
{
  std::int32_t N = 0;
  if (!platform::TryStrToInt(Text, N) || N < Low || N > High)
    return false;
  Value = N;
  return true;
}

// "5:LA,6:LAT" -> meters of those types at those addresses.
bool ParseMeters(const char *Text, std::vector<sim::MeterConfig> &Meters)
{
  for (const std::string &Item : platform::SplitCommaText(Text)) {
    const auto Colon = Item.find(':');
    int Address = 0;
    if (Colon == std::string::npos || !ParseInt(Item.substr(0, Colon).c_str(), 1, 255, Address))
      return false;
    const std::string Type = Item.substr(Colon + 1);
    int Found = -1;
    for (int i = 0; i < 5; ++i)
      if (::strcasecmp(Type.c_str(), TypeNames[i]) == 0)
        Found = i;
    if (Found < 0)
      return false;
    for (const auto &Meter : Meters)
      if (Meter.Address == Address)
        return false;
    Meters.push_back(sim::MeterConfig::ForType(Found, static_cast<std::uint8_t>(Address)));
  }
  return !Meters.empty();
}

// Empty when the options are good, else what is wrong.
std::string ParseOptions(int argc, char **argv, TOptions &Options)
{
  for (int i = 1; i < argc; ++i) {
    const std::string Arg = argv[i];
    const bool HasOne = i + 1 < argc, HasTwo = i + 2 < argc;
    if (Arg == "--com" && HasTwo) {
      Options.ComDir = argv[i + 1];
      if (!ParseInt(argv[i + 2], 1, 255, Options.ComNumber))
        return "bad COM port number: " + std::string(argv[i + 2]);
      i += 2;
    } else if (Arg == "--tcp" && HasOne) {
      if (!ParseInt(argv[++i], 0, 65535, Options.TcpPort))
        return "bad TCP port: " + std::string(argv[i]);
    } else if (Arg == "--pieces" && HasOne) {
      if (!ParseInt(argv[++i], 1200, 115200, Options.PiecesBaud))
        return "bad line speed: " + std::string(argv[i]);
    } else if (Arg == "--meters" && HasOne) {
      if (!ParseMeters(argv[++i], Options.Meters))
        return "bad meter list: " + std::string(argv[i]);
    } else {
      return "unknown or incomplete option: " + Arg;
    }
  }
  if (Options.ComDir.empty() == (Options.TcpPort < 0))
    return "give either --com DIR N or --tcp PORT";
  if (Options.PiecesBaud != 0 && Options.TcpPort < 0)
    return "--pieces goes with --tcp";
  if (Options.Meters.empty())
    return "give the meters with --meters";
  return {};
}

std::string VersionText(const std::array<std::uint8_t, 3> &Version)
{
  char Text[16];
  std::snprintf(Text, sizeof Text, "%02X.%02X.%02X", Version[0], Version[1], Version[2]);
  return Text;
}

// What was last reported of one meter; a line is printed when it changes.
struct TWatched {
  std::shared_ptr<sim::SimMeter> Meter;
  int Address = 0;
  bool TestMode = false;
  int Blocks = 0;
  int BlocksShown = 0;
  std::array<std::uint8_t, 3> Version{};
};

void Say(int Address, const std::string &Text)
{
  const std::time_t Now = std::time(nullptr);
  std::tm Local{};
  char Clock[16];
  std::strftime(Clock, sizeof Clock, "%H:%M:%S", ::localtime_r(&Now, &Local));
  std::printf("%s meter %d: %s\n", Clock, Address, Text.c_str());
  std::fflush(stdout);
}

// Reports what changed; the blocks written at most once a second (Tick) and
// when writing pauses or ends.
void Report(TWatched &W, bool Tick)
{
  const bool TestMode = W.Meter->InTestMode();
  const int Blocks = W.Meter->BlockWrites();
  const auto Version = W.Meter->CurrentVersion();
  if (TestMode && !W.TestMode)
    Say(W.Address, "test mode entered");
  const bool Paused = Blocks == W.Blocks || Version != W.Version || !TestMode;
  if (Blocks != W.BlocksShown && (Tick || Paused)) {
    Say(W.Address, std::to_string(Blocks - W.BlocksShown) + " blocks written");
    W.BlocksShown = Blocks;
  }
  if (Version != W.Version)
    Say(W.Address, "new version " + VersionText(Version));
  if (!TestMode && W.TestMode)
    Say(W.Address, "test mode left");
  W.TestMode = TestMode;
  W.Blocks = Blocks;
  W.Version = Version;
}

} // namespace

int main(int argc, char **argv)
{
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(Usage, stdout);
      return 0;
    }
  TOptions Options;
  if (const std::string Error = ParseOptions(argc, argv, Options); !Error.empty()) {
    std::fprintf(stderr, "quorlan2-simmeter: %s\n\n%s", Error.c_str(), Usage);
    return 2;
  }

  // Ctrl+C and SIGTERM are taken by the main loop below (every thread blocks
  // them), so the line is closed and its link removed on the way out.
  sigset_t Stop;
  sigemptyset(&Stop);
  sigaddset(&Stop, SIGINT);
  sigaddset(&Stop, SIGTERM);
  sigaddset(&Stop, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &Stop, nullptr);

  std::unique_ptr<sim::SimLine> Line;
  try {
    if (Options.TcpPort >= 0) {
      Line = sim::SimLine::ListenTcp(Options.TcpPort);
      std::printf("TCP gateway on 127.0.0.1:%d\n", Line->Port());
      if (Options.PiecesBaud != 0) {
        Line->SetPacing(static_cast<unsigned>(Options.PiecesBaud));
        Line->SetAnswerPieces(sim::SimLine::Pieces::EveryByte);
        std::printf("line at %d baud; every answer byte a TCP segment of its own\n", Options.PiecesBaud);
      }
    } else {
      Line = sim::SimLine::OpenPty(Options.ComDir, Options.ComNumber);
      std::printf("COM%d: %s/com%d -> %s\n", Options.ComNumber, Options.ComDir.c_str(), Options.ComNumber,
                  Line->SlavePath().c_str());
    }
  } catch (const std::exception &Error) {
    std::fprintf(stderr, "quorlan2-simmeter: %s\n", Error.what());
    return 1;
  }
  std::vector<TWatched> Watched;
  for (const auto &Config : Options.Meters) {
    Watched.push_back({Line->AddMeter(Config), Config.Address, false, 0, 0, Config.Version});
    std::printf("meter %d: KV-750%s, software %s\n", Config.Address, TypeNames[Config.Type],
                VersionText(Config.Version).c_str());
  }
  std::printf("Serving; Ctrl+C ends.\n");
  std::fflush(stdout);

  const timespec Poll{0, 100'000'000};
  for (int Ticks = 1;; ++Ticks) {
    const int Signal = sigtimedwait(&Stop, nullptr, &Poll);
    if (Signal > 0)
      break;
    for (TWatched &W : Watched)
      Report(W, Ticks % 10 == 0);
  }
  Line.reset();
  std::printf("Line closed.\n");
  return 0;
}
