// The program itself, run as a child process: a shutdown signal closes it as
// the operator would, it starts under a low open-file limit, and one copy at
// a time works on a settings file.
#include "AppTestSupport.h"

#include "platform/TcpClient.h"
#include "support/SimLine.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

extern char **environ;

using namespace apptest;
using namespace std::chrono_literals;

namespace {

// A port of this computer that was free a moment ago.
int FreePort()
{
  const int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in Address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t Length = sizeof Address;
  ::bind(Fd, reinterpret_cast<sockaddr *>(&Address), sizeof Address);
  ::getsockname(Fd, reinterpret_cast<sockaddr *>(&Address), &Length);
  ::close(Fd);
  return ntohs(Address.sin_port);
}

// Something listens on the port now.
bool Listening(int Port)
{
  const int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const sockaddr_in Address{AF_INET, htons(static_cast<std::uint16_t>(Port)), {htonl(INADDR_LOOPBACK)}, {}};
  const bool Connected = ::connect(Fd, reinterpret_cast<const sockaddr *>(&Address), sizeof Address) == 0;
  ::close(Fd);
  return Connected;
}

// The program on a settings file of its own whose command server listens
// on a port that was free a moment ago; with NoFile above 0 under that
// open-file limit (soft and hard, as `ulimit -n` sets them). What it says on
// its standard error output is kept, and shown when a test has failed.
class TProgram {
public:
  // StderrGone: its standard error is a pipe whose reader has gone.
  explicit TProgram(const std::string &Rows = "", rlim_t NoFile = 0, bool StderrGone = false)
      : Ini(Dir.File("q.ini")), Port(FreePort())
  {
    WriteFile(Ini, Rows + "[Server]\r\nPort=" + std::to_string(Port) + "\r\n");
    Start(NoFile, StderrGone);
  }
  // On a settings file made beforehand (another program's, say).
  struct TMadeFile {
    std::string Ini;
    int Port; // of the command server, as the file sets it
  };
  explicit TProgram(const TMadeFile &File) : Ini(File.Ini), Port(File.Port) { Start(0, false); }
  ~TProgram()
  {
    if (WaitForExit(0ms) == -1) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
    if (::testing::Test::HasFailure())
      std::cerr << "Standard error of the program on " << Ini << ":\n" << Stderr();
  }
  TProgram(const TProgram &) = delete;
  TProgram &operator=(const TProgram &) = delete;

  pid_t Pid() const { return FPid; }
  std::string Stderr() const { return ReadFile(Dir.File("stderr")); }
  void Signal(int Number) { ::kill(FPid, Number); }
  // The wait status, or -1 while the program still runs.
  int WaitForExit(std::chrono::milliseconds Timeout)
  {
    WaitUntil([this] { return FExited = FExited || ::waitpid(FPid, &FStatus, WNOHANG) == FPid; }, Timeout);
    return FExited ? FStatus : -1;
  }

  // A client of the command server, once it has been greeted.
  std::unique_ptr<platform::TcpClient> Connect()
  {
    std::unique_ptr<platform::TcpClient> Client;
    std::string Greeting;
    WaitUntil(
        [&] {
          try {
            if (!Client) {
              Client = std::make_unique<platform::TcpClient>();
              Client->Host = "127.0.0.1";
              Client->Port = Port;
              Client->Connect();
            }
            Greeting += Client->ReadAvailable();
          } catch (const std::exception &) {
            Client.reset(); // not listening yet
          }
          return Greeting.find("\r\n") != std::string::npos;
        },
        60s);
    EXPECT_EQ(Greeting, "204 Quorlan2 ready\r\n");
    return Greeting.empty() ? nullptr : std::move(Client);
  }

  const TTempDir Dir;
  const std::string Ini;
  const int Port;

private:
  void Start(rlim_t NoFile, bool StderrGone)
  {
    std::string Program = QUORLAN2_PROGRAM, Arg = Ini, Errors = Dir.File("stderr");
    char *Argv[] = {Program.data(), Arg.data(), nullptr};
    const rlimit Limit{NoFile, NoFile};
    int Pipe[2] = {-1, -1};
    if (StderrGone && ::pipe(Pipe) != 0)
      ADD_FAILURE() << "no pipe";
    FPid = ::fork();
    if (FPid == 0) {
      if (NoFile > 0)
        ::setrlimit(RLIMIT_NOFILE, &Limit);
      if (StderrGone) {
        ::dup2(Pipe[1], 2);
        ::close(Pipe[0]);
      } else if (const int Fd = ::open(Errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600); Fd >= 0) {
        ::dup2(Fd, 2);
        ::close(Fd);
      }
      ::execve(Argv[0], Argv, environ);
      ::_exit(127);
    }
    for (const int End : Pipe)
      if (End >= 0)
        ::close(End);
  }

  pid_t FPid = -1;
  bool FExited = false;
  int FStatus = 0;
};

std::string Command(platform::TcpClient &Client, const std::string &Line)
{
  Client.Write(Line + "\r\n");
  std::string Reply;
  WaitUntil([&] { return (Reply += Client.ReadAvailable()).find("\r\n") != std::string::npos; });
  return Reply;
}

// A remote process on a gateway, started.
std::unique_ptr<platform::TcpClient> StartRemote(TProgram &Program, int Gateway, int AnswerTimeOut,
                                                 int Address)
{
  auto Client = Program.Connect();
  if (Client) {
    EXPECT_EQ(Command(*Client,
                      "SET TCP=127.0.0.1," + std::to_string(Gateway) + "," + std::to_string(AnswerTimeOut)),
              "200 Ok\r\n");
    EXPECT_EQ(Command(*Client, "SET NETADR=" + std::to_string(Address)), "200 Ok\r\n");
    EXPECT_EQ(Command(*Client, "SET STATUS=START"), "202 Ok\r\n");
  }
  return Client;
}

} // namespace

// A remote process writing a meter, then SIGTERM: the process is stopped
// through its stop step (the meter leaves test mode), the settings file
// holds it, and the program ends with status 0. Its standard error goes to
// a pipe nobody reads any more, as a tee that the same Ctrl+C has ended.
TEST(Shutdown, SigtermStopsARunningProcessWritesTheSettingsAndEnds)
{
  auto Gateway = sim::SimLine::ListenTcp();
  Gateway->SetPacing(19200); // the write takes a minute or more
  const auto Meter = Gateway->AddMeter(sim::MeterConfig::ForType(0, 5));
  TProgram Program("", 0, true);
  ASSERT_NE(StartRemote(Program, Gateway->Port(), 2000, 5), nullptr);
  ASSERT_TRUE(WaitUntil([&Meter] { return Meter->InTestMode() && Meter->BlockWrites() > 0; }, 60s));

  Program.Signal(SIGTERM);
  const int Status = Program.WaitForExit(90s);
  ASSERT_TRUE(WIFEXITED(Status)) << Status;
  EXPECT_EQ(WEXITSTATUS(Status), 0);
  EXPECT_FALSE(Meter->InTestMode()) << "the stop step took the meter out of test mode";
  EXPECT_FALSE(Meter->WholeImageWritten());
  const std::string Settings = ReadFile(Program.Ini);
  EXPECT_NE(Settings.find("Count=1\r\n"), std::string::npos) << Settings;
  EXPECT_NE(Settings.find("TCPIP.Port=" + std::to_string(Gateway->Port()) + "\r\n"), std::string::npos);
  EXPECT_NE(Settings.find("NetAdr=5\r\n"), std::string::npos);
}

// A second signal while a process still ends (its gateway never answers):
// the settings are written and the program ends at once, not cleanly.
TEST(Shutdown, ASecondSignalEndsAtOnceAfterWritingTheSettings)
{
  auto Silent = sim::SimLine::ListenTcp();
  TProgram Program;
  ASSERT_NE(StartRemote(Program, Silent->Port(), 20000, 7), nullptr);
  ASSERT_TRUE(WaitUntil([&Silent] { return !Silent->Received().empty(); }, 30s));

  Program.Signal(SIGTERM);
  EXPECT_EQ(Program.WaitForExit(500ms), -1) << "the process is still ending";
  Program.Signal(SIGHUP);
  const int Status = Program.WaitForExit(30s);
  ASSERT_TRUE(WIFEXITED(Status)) << Status;
  EXPECT_EQ(WEXITSTATUS(Status), 1);
  EXPECT_NE(ReadFile(Program.Ini).find("NetAdr=7\r\n"), std::string::npos);
}

// More rows than the open-file limit has descriptors for at two a row: the
// window opens, serves its command server, and closes by signal.
TEST(Shutdown, StartsWithManyRowsUnderALowOpenFileLimit)
{
  std::string Rows = "[Main]\r\nCount=300\r\n";
  for (int i = 0; i < 300; ++i)
    Rows += "[Objects(" + std::to_string(i) + ")]\r\nNetAdr=" + std::to_string(i + 1) + "\r\n";
  TProgram Program(Rows, 128);
  const auto Client = Program.Connect();
  ASSERT_NE(Client, nullptr);
  EXPECT_EQ(Command(*Client, "GET STATUS"), "STATUS=IDLE\r\n");

  Program.Signal(SIGINT);
  const int Status = Program.WaitForExit(60s);
  ASSERT_TRUE(WIFEXITED(Status)) << Status;
  EXPECT_EQ(WEXITSTATUS(Status), 0);
  EXPECT_NE(ReadFile(Program.Ini).find("[Objects(299)]\r\nNetAdr=300\r\n"), std::string::npos);
}

// A close by signal whose settings file cannot be written (its name is a
// folder by then) says why and ends with a status that is no success.
TEST(Shutdown, ASignalCloseThatCannotWriteTheSettingsFails)
{
  TProgram Program;
  ASSERT_NE(Program.Connect(), nullptr); // the settings have been read
  std::filesystem::remove(Program.Ini);
  std::filesystem::create_directory(Program.Ini);

  Program.Signal(SIGTERM);
  const int Status = Program.WaitForExit(60s);
  ASSERT_TRUE(WIFEXITED(Status)) << Status;
  EXPECT_NE(WEXITSTATUS(Status), 0);
  EXPECT_NE(
      Program.Stderr().find("Quorlan2: Cannot read settings file \"" + Program.Ini + "\": It is a directory"),
      std::string::npos)
      << Program.Stderr();
}

// A second copy on the settings file of a running one ends at once: it says
// whose the file is, leaves it as it was and never listens on its port. A
// copy killed outright keeps no later one out.
TEST(Shutdown, OneCopyAtATimeWorksOnASettingsFile)
{
  TProgram First;
  ASSERT_NE(First.Connect(), nullptr); // it has read its settings
  const int SecondPort = FreePort();
  const std::string Settings = "[Server]\r\nPort=" + std::to_string(SecondPort) + "\r\n";
  WriteFile(First.Ini, Settings);
  struct stat Before {};
  ASSERT_EQ(::stat(First.Ini.c_str(), &Before), 0);

  TProgram Second(TProgram::TMadeFile{First.Ini, SecondPort});
  bool Listened = false;
  int Status = -1;
  WaitUntil(
      [&] {
        Listened = Listened || Listening(SecondPort);
        return Listened || (Status = Second.WaitForExit(0ms)) != -1;
      },
      60s);
  EXPECT_FALSE(Listened);
  ASSERT_TRUE(WIFEXITED(Status)) << Status;
  EXPECT_NE(WEXITSTATUS(Status), 0);
  EXPECT_NE(Second.Stderr().find("Quorlan2: the settings file " + First.Ini +
                                 " is in use by another copy of the program (process " +
                                 std::to_string(First.Pid()) + ")\n"),
            std::string::npos)
      << Second.Stderr();
  struct stat After {};
  ASSERT_EQ(::stat(First.Ini.c_str(), &After), 0);
  EXPECT_EQ(After.st_ino, Before.st_ino);
  EXPECT_EQ(After.st_mtim.tv_sec, Before.st_mtim.tv_sec);
  EXPECT_EQ(After.st_mtim.tv_nsec, Before.st_mtim.tv_nsec);
  EXPECT_EQ(ReadFile(First.Ini), Settings);

  First.Signal(SIGKILL);
  ASSERT_NE(First.WaitForExit(30s), -1);
  TProgram Next(TProgram::TMadeFile{First.Ini, SecondPort});
  EXPECT_NE(Next.Connect(), nullptr);
}
