// The program itself, run as a child process: a shutdown signal closes it as
// the operator would, and it starts under a low open-file limit.
#include "AppTestSupport.h"

#include "platform/TcpClient.h"
#include "support/SimLine.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

extern char **environ;

using namespace apptest;

namespace {

// A port that nothing listens on now.
int FreePort()
{
  const int Fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Length = sizeof Address;
  ::bind(Fd, reinterpret_cast<sockaddr *>(&Address), sizeof Address);
  ::getsockname(Fd, reinterpret_cast<sockaddr *>(&Address), &Length);
  ::close(Fd);
  return ntohs(Address.sin_port);
}

// The program on IniFile; with NoFile above 0 under that open-file limit
// (soft and hard, as `ulimit -n` sets them).
class TProgram {
public:
  TProgram(const std::string &IniFile, rlim_t NoFile = 0)
  {
    std::string Program = QUORLAN2_PROGRAM, Arg = IniFile;
    char *Argv[] = {Program.data(), Arg.data(), nullptr};
    const rlimit Limit{NoFile, NoFile};
    FPid = ::fork();
    if (FPid == 0) {
      if (NoFile > 0)
        ::setrlimit(RLIMIT_NOFILE, &Limit);
      ::execve(Argv[0], Argv, environ);
      ::_exit(127);
    }
  }
  ~TProgram()
  {
    if (FPid > 0 && !FExited) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
  }
  TProgram(const TProgram &) = delete;
  TProgram &operator=(const TProgram &) = delete;

  void Signal(int Number) { ::kill(FPid, Number); }
  // Waits for the end; the wait status, or -1 when the program still runs.
  int WaitForExit(std::chrono::milliseconds Timeout)
  {
    WaitUntil([this] { return FExited = ::waitpid(FPid, &FStatus, WNOHANG) == FPid; }, Timeout);
    return FExited ? FStatus : -1;
  }

private:
  pid_t FPid = -1;
  bool FExited = false;
  int FStatus = 0;
};

// A client of the program's command server, once it greets.
std::unique_ptr<platform::TcpClient> Connect(int Port, std::chrono::seconds Timeout)
{
  std::unique_ptr<platform::TcpClient> Client;
  std::string Greeting;
  WaitUntil(
    [&] {
      try {
        if (!Client) {
          auto Made = std::make_unique<platform::TcpClient>();
          Made->Host = "127.0.0.1";
          Made->Port = Port;
          Made->ReadTimeout = 100;
          Made->Connect();
          Client = std::move(Made);
        }
        Greeting += Client->ReadAvailable();
      } catch (const std::exception &) {
        Client.reset();
        Greeting.clear();
      }
      return Greeting.find("\r\n") != std::string::npos;
    },
    Timeout);
  EXPECT_EQ(Greeting, "204 Quorlan2 ready\r\n");
  return Greeting.empty() ? nullptr : std::move(Client);
}

std::string Command(platform::TcpClient &Client, const std::string &Line)
{
  Client.Write(Line + "\r\n");
  std::string Reply;
  WaitUntil([&] {
    Reply += Client.ReadAvailable();
    return Reply.find("\r\n") != std::string::npos;
  });
  return Reply;
}

} // namespace

// A remote process writing a meter, then SIGTERM: the process is stopped
// through its stop step (the meter leaves test mode), the settings file
// holds it, and the program ends with status 0.
TEST(Shutdown, SigtermStopsARunningProcessWritesTheSettingsAndEnds)
{
  const TTempDir Dir;
  auto Gateway = sim::SimLine::ListenTcp();
  Gateway->SetPacing(19200); // the write takes a minute or more
  const auto Meter = Gateway->AddMeter(sim::MeterConfig::ForType(0, 5));
  const int Port = FreePort();
  const std::string Ini = Dir.File("q.ini");
  WriteFile(Ini, "[Server]\r\nPort=" + std::to_string(Port) + "\r\n");
  TProgram Program(Ini);
  const auto Client = Connect(Port, std::chrono::seconds(30));
  ASSERT_NE(Client, nullptr);
  EXPECT_EQ(Command(*Client, "SET TCP=127.0.0.1," + std::to_string(Gateway->Port()) + ",2000"), "200 Ok\r\n");
  EXPECT_EQ(Command(*Client, "SET NETADR=5"), "200 Ok\r\n");
  EXPECT_EQ(Command(*Client, "SET STATUS=START"), "202 Ok\r\n");
  ASSERT_TRUE(WaitUntil([&Meter] { return Meter->InTestMode() && Meter->BlockWrites() > 0; },
                        std::chrono::seconds(60)));

  Program.Signal(SIGTERM);
  const int Status = Program.WaitForExit(std::chrono::seconds(90));
  ASSERT_TRUE(WIFEXITED(Status)) << Status;
  EXPECT_EQ(WEXITSTATUS(Status), 0);
  EXPECT_FALSE(Meter->InTestMode()) << "the stop step took the meter out of test mode";
  EXPECT_FALSE(Meter->WholeImageWritten());
  const std::string Settings = ReadFile(Ini);
  EXPECT_NE(Settings.find("Count=1\r\n"), std::string::npos) << Settings;
  EXPECT_NE(Settings.find("TCPIP.Port=" + std::to_string(Gateway->Port()) + "\r\n"), std::string::npos);
  EXPECT_NE(Settings.find("NetAdr=5\r\n"), std::string::npos);
}

// More rows than the open-file limit has descriptors for the old way of two a
// row: the window opens, serves its command server, and closes by signal.
TEST(Shutdown, StartsWithManyRowsUnderALowOpenFileLimit)
{
  const TTempDir Dir;
  const int Port = FreePort();
  const std::string Ini = Dir.File("q.ini");
  std::string Text = "[Main]\r\nCount=300\r\n[Server]\r\nPort=" + std::to_string(Port) + "\r\n";
  for (int i = 0; i < 300; ++i)
    Text += "[Objects(" + std::to_string(i) + ")]\r\nNetAdr=" + std::to_string(i + 1) + "\r\n";
  WriteFile(Ini, Text);
  TProgram Program(Ini, 128);
  const auto Client = Connect(Port, std::chrono::seconds(60));
  ASSERT_NE(Client, nullptr);
  EXPECT_EQ(Command(*Client, "GET STATUS"), "STATUS=IDLE\r\n");

  Program.Signal(SIGINT);
  const int Status = Program.WaitForExit(std::chrono::seconds(60));
  ASSERT_TRUE(WIFEXITED(Status)) << Status;
  EXPECT_EQ(WEXITSTATUS(Status), 0);
  EXPECT_NE(ReadFile(Ini).find("[Objects(299)]\r\nNetAdr=300\r\n"), std::string::npos);
}

// A second signal while a process still ends (its gateway never answers):
// the settings are written and the program ends at once, not cleanly.
TEST(Shutdown, ASecondSignalEndsAtOnceAfterWritingTheSettings)
{
  const TTempDir Dir;
  auto Silent = sim::SimLine::ListenTcp();
  const int Port = FreePort();
  const std::string Ini = Dir.File("q.ini");
  WriteFile(Ini, "[Server]\r\nPort=" + std::to_string(Port) + "\r\n");
  TProgram Program(Ini);
  const auto Client = Connect(Port, std::chrono::seconds(30));
  ASSERT_NE(Client, nullptr);
  EXPECT_EQ(Command(*Client, "SET TCP=127.0.0.1," + std::to_string(Silent->Port()) + ",20000"), "200 Ok\r\n");
  EXPECT_EQ(Command(*Client, "SET NETADR=7"), "200 Ok\r\n");
  EXPECT_EQ(Command(*Client, "SET STATUS=START"), "202 Ok\r\n");
  ASSERT_TRUE(WaitUntil([&Silent] { return !Silent->Received().empty(); }, std::chrono::seconds(30)));

  Program.Signal(SIGTERM);
  EXPECT_EQ(Program.WaitForExit(std::chrono::milliseconds(500)), -1) << "the process is still ending";
  Program.Signal(SIGHUP);
  const int Status = Program.WaitForExit(std::chrono::seconds(30));
  ASSERT_TRUE(WIFEXITED(Status)) << Status;
  EXPECT_EQ(WEXITSTATUS(Status), 1);
  const std::string Settings = ReadFile(Ini);
  EXPECT_NE(Settings.find("Count=1\r\n"), std::string::npos) << Settings;
  EXPECT_NE(Settings.find("NetAdr=7\r\n"), std::string::npos);
}
