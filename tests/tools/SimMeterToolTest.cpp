// The simulated-meter tool as a user runs it: a process of its own whose
// line a loader updates end to end, ended by a signal.
#include "loader/BuiltinImages.h"
#include "loader/LoaderTexts.h"
#include "loader/Quorlan.h"
#include "loader/TempDir.h"
#include "platform/Cp1251.h"
#include "support/SimMeter.h"
#include "support/WaitUntil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

extern char **environ;

namespace {

// The tool, started with the given arguments; its output read through a pipe.
class TTool {
public:
  explicit TTool(const std::vector<std::string> &Args)
  {
    int Pipe[2];
    if (::pipe(Pipe) != 0)
      throw std::runtime_error("pipe");
    posix_spawn_file_actions_t Actions;
    posix_spawn_file_actions_init(&Actions);
    posix_spawn_file_actions_adddup2(&Actions, Pipe[1], 1);
    posix_spawn_file_actions_adddup2(&Actions, Pipe[1], 2);
    posix_spawn_file_actions_addclose(&Actions, Pipe[0]);
    std::vector<std::string> All{QUORLAN2_SIMMETER};
    All.insert(All.end(), Args.begin(), Args.end());
    std::vector<char *> Argv;
    for (auto &A : All)
      Argv.push_back(A.data());
    Argv.push_back(nullptr);
    const int Error = posix_spawn(&FPid, Argv[0], &Actions, nullptr, Argv.data(), environ);
    posix_spawn_file_actions_destroy(&Actions);
    ::close(Pipe[1]);
    FOut = Pipe[0];
    if (Error != 0)
      throw std::runtime_error("posix_spawn");
  }
  ~TTool()
  {
    if (FPid > 0) {
      ::kill(FPid, SIGKILL);
      ::waitpid(FPid, nullptr, 0);
    }
    ::close(FOut);
  }
  TTool(const TTool &) = delete;
  TTool &operator=(const TTool &) = delete;

  // Reads the output until it holds Text or the time-out has passed.
  bool WaitFor(const std::string &Text, std::chrono::milliseconds Timeout = 20s)
  {
    const auto Deadline = std::chrono::steady_clock::now() + Timeout;
    while (FText.find(Text) == std::string::npos) {
      const auto Left =
          std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
      pollfd Fd{FOut, POLLIN, 0};
      if (Left.count() <= 0 || ::poll(&Fd, 1, static_cast<int>(Left.count())) <= 0)
        return false;
      char Chunk[1024];
      const ssize_t N = ::read(FOut, Chunk, sizeof Chunk);
      if (N <= 0)
        return false;
      FText.append(Chunk, static_cast<std::size_t>(N));
    }
    return true;
  }
  // Sends the signal and waits for the exit code (-1: not a normal exit).
  int Stop(int Signal)
  {
    ::kill(FPid, Signal);
    int Status = 0;
    ::waitpid(FPid, &Status, 0);
    FPid = -1;
    WaitFor("\x01", 2s); // the rest of the output
    return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
  }
  const std::string &Text() const { return FText; }

private:
  pid_t FPid = -1;
  int FOut = -1;
  std::string FText;
};

// A version as the tool prints it: without the loader's final dot.
std::string Shown(std::string_view Version) { return std::string(Version.substr(0, Version.size() - 1)); }

class SimMeterTool : public ::testing::Test {
protected:
  void SetUp() override { loader::LoaderUnitsInitialization(); }
  void TearDown() override { loader::LoaderUnitsFinalization(); }

  static platform::TThreadPtr<loader::TQuorlan> MakeLoader(const std::string &Addresses)
  {
    auto Q = platform::MakeThread<loader::TQuorlan>();
    Q->FDevice->FInfo->SetParam(rpAnswerTimeOut,
                                20000); // answers come at once: only a loaded machine delays them
    Q->FDevice->FInfo->SetParam(rpSystemTimeOut, 100);
    Q->SetNetAdr(Addresses);
    Q->FTestModeWait = Q->FCloseWait = Q->FAlertWait = Q->FLinkWait = 0ms;
    return Q;
  }
  static void Run(loader::TQuorlan &Q)
  {
    Q.Start();
    ASSERT_TRUE(WaitUntil([&] { return Q.State() == ssIdle; }, 60s)) << platform::Cp1251ToUtf8(Q.Log());
    EXPECT_EQ(Q.StateText(), loader::texts::SRunDone) << platform::Cp1251ToUtf8(Q.Log());
  }
};

} // namespace

TEST_F(SimMeterTool, ComLineServesALoaderAndIsRemovedOnCtrlC)
{
  const loader_test::TTempDir Temp;
  const std::string Dir = std::filesystem::path(Temp / "").parent_path().string();
  ::setenv("QUORLAN2_COM_DIR", Dir.c_str(), 1);
  TTool Tool({"--com", Dir, "7", "--meters", "5:LA,6:lct"});
  ASSERT_TRUE(Tool.WaitFor("Serving")) << Tool.Text();
  EXPECT_NE(Tool.Text().find("COM7: " + Dir + "/com7 -> /dev/pts/"), std::string::npos) << Tool.Text();
  EXPECT_NE(Tool.Text().find("meter 5: KV-750LA, software " +
                             Shown(sim::VersionText(sim::MeterConfig::OlderThanBuiltIn(0)))),
            std::string::npos)
      << Tool.Text();
  EXPECT_NE(Tool.Text().find("meter 6: KV-750LCT, software " +
                             Shown(sim::VersionText(sim::MeterConfig::OlderThanBuiltIn(4)))),
            std::string::npos)
      << Tool.Text();
  ASSERT_TRUE(std::filesystem::is_symlink(Dir + "/com7"));

  auto Q = MakeLoader("5,6");
  Q->FDevice->FInfo->SetParam(rpPortNumber, 7);
  Run(*Q);
  EXPECT_TRUE(Tool.WaitFor("meter 5: test mode entered")) << Tool.Text();
  EXPECT_TRUE(Tool.WaitFor("meter 5: new version " + Shown(loader::ImageVersions[0]))) << Tool.Text();
  EXPECT_TRUE(Tool.WaitFor("meter 6: new version " + Shown(loader::ImageVersions[4]))) << Tool.Text();
  EXPECT_TRUE(Tool.WaitFor("blocks written")) << Tool.Text();

  EXPECT_EQ(Tool.Stop(SIGINT), 0);
  EXPECT_NE(Tool.Text().find("Line closed."), std::string::npos) << Tool.Text();
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(Dir + "/com7")));
}

TEST_F(SimMeterTool, TcpGatewayServesALoaderAndEndsOnSigterm)
{
  TTool Tool({"--tcp", "0", "--meters", "9:LB"});
  ASSERT_TRUE(Tool.WaitFor("Serving")) << Tool.Text();
  const auto At = Tool.Text().find("127.0.0.1:");
  ASSERT_NE(At, std::string::npos) << Tool.Text();
  const int Port = std::stoi(Tool.Text().substr(At + 10));

  auto Q = MakeLoader("9");
  Q->FUseComPort = false;
  Q->SetTcpHost("127.0.0.1");
  Q->FTcpClient->Port = Port;
  Q->FTcpClient->ReadTimeout = 20000;
  Run(*Q);
  EXPECT_TRUE(Tool.WaitFor("meter 9: new version " + Shown(loader::ImageVersions[1]))) << Tool.Text();
  EXPECT_EQ(Tool.Stop(SIGTERM), 0);
}

TEST_F(SimMeterTool, BadArgumentsAreRefusedWithTheUsage)
{
  for (const std::vector<std::string> &Args : {std::vector<std::string>{"--tcp", "0"},
                                               {"--tcp", "0", "--meters", "5:LX"},
                                               {"--tcp", "70000", "--meters", "5:LA"},
                                               {"--meters", "5:LA"},
                                               {"--tcp", "0", "--meters", "5:LA,5:LB"},
                                               {"--tcp", "0", "--meters", "0:LA"},
                                               {"--tcp", "0", "--com", "/tmp", "3", "--meters", "5:LA"},
                                               {"--bogus"},
                                               {"--com", "/tmp", "3", "--pieces", "9600", "--meters", "5:LA"},
                                               {"--tcp", "0", "--pieces", "10", "--meters", "5:LA"}}) {
    TTool Tool(Args);
    EXPECT_TRUE(Tool.WaitFor("Usage:")) << Args.back();
    EXPECT_EQ(Tool.Stop(0), 2) << Args.back();
  }
  TTool Help({"--help"});
  EXPECT_TRUE(Help.WaitFor("--meters LIST"));
  EXPECT_EQ(Help.Stop(0), 0);
}
