// The command server over real sockets on 127.0.0.1: the protocol byte for
// byte, the hand-over of loaders, their freeing while a connection is open,
// the bounds, the descriptors a remote start keeps free, and one whole run
// against a simulated meter.
#include "app/CommandServer.h"

#include "app/OpenFileLimit.h"
#include "app/WindowTexts.h"
#include "link/MeterProtocol.h"
#include "loader/BuiltinImages.h"
#include "loader/LoaderTexts.h"
#include "loader/TempDir.h"
#include "platform/TextRules.h"
#include "support/SimLine.h"
#include "support/WaitUntil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

using namespace std::chrono_literals;
using app::TCommandServer;
using loader::TQuorlan;

namespace {

// A client of the command protocol: sends one command, reads one reply line
// with its CR LF.
class TClient {
public:
  explicit TClient(int Port)
  {
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(static_cast<std::uint16_t>(Port));
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (FFd < 0 || ::connect(FFd, reinterpret_cast<const sockaddr *>(&Address), sizeof Address) != 0)
      throw std::runtime_error("cannot connect");
  }
  ~TClient() { Close(); }
  TClient(const TClient &) = delete;
  TClient &operator=(const TClient &) = delete;

  void Send(const std::string &Bytes)
  {
    std::size_t Done = 0;
    while (Done < Bytes.size()) {
      const ssize_t Sent = ::send(FFd, Bytes.data() + Done, Bytes.size() - Done, MSG_NOSIGNAL);
      if (Sent <= 0)
        throw std::runtime_error("send failed");
      Done += static_cast<std::size_t>(Sent);
    }
  }

  // The next line with its CR LF; empty when none came in time or the
  // server closed the connection.
  std::string ReadLine(std::chrono::milliseconds Timeout = 20s)
  {
    const auto Deadline = std::chrono::steady_clock::now() + Timeout;
    for (;;) {
      if (const auto End = FBuffer.find("\r\n"); End != std::string::npos) {
        std::string Line = FBuffer.substr(0, End + 2);
        FBuffer.erase(0, End + 2);
        return Line;
      }
      if (!Fill(Deadline))
        return {};
    }
  }

  std::string Ask(const std::string &Command)
  {
    Send(Command);
    return ReadLine();
  }

  // True when the server has closed the connection; what it sent before
  // stays readable.
  bool WaitClosed(std::chrono::milliseconds Timeout = 20s)
  {
    const auto Deadline = std::chrono::steady_clock::now() + Timeout;
    while (!FClosed)
      if (!Fill(Deadline) && !FClosed)
        return false;
    return true;
  }

  void ShutdownWrite() { ::shutdown(FFd, SHUT_WR); }

  void Close()
  {
    if (FFd >= 0)
      ::close(FFd);
    FFd = -1;
  }

  // Ends the connection with a reset instead of the usual close.
  void Reset()
  {
    const linger Abort{1, 0};
    ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &Abort, sizeof Abort);
    Close();
  }

  std::string FBuffer;

private:
  bool Fill(std::chrono::steady_clock::time_point Deadline)
  {
    if (FClosed)
      return false;
    const auto Left =
        std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
    pollfd Entry{FFd, POLLIN, 0};
    if (Left.count() <= 0 || ::poll(&Entry, 1, static_cast<int>(Left.count())) <= 0)
      return false;
    char Chunk[4096];
    const ssize_t Got = ::recv(FFd, Chunk, sizeof Chunk, 0);
    if (Got <= 0) {
      FClosed = true;
      return false;
    }
    FBuffer.append(Chunk, static_cast<std::size_t>(Got));
    return true;
  }

  int FFd = -1;
  bool FClosed = false;
};

const std::string Ready = "204 Quorlan2 ready\r\n";
const std::string Ok = "200 Ok\r\n";
const std::string Goodbye = "201 Goodbye\r\n";
const std::string StatusOk = "202 Ok\r\n";
const std::string BadLine = "400 Error in command line\r\n";
const std::string ExecuteError = "401 Execute error\r\n";

bool LogHas(const TQuorlan &L, const std::string &Text)
{
  for (const std::string &Line : platform::SplitCommaText(L.Log()))
    if (Line.find(Text) != std::string::npos)
      return true;
  return false;
}

// True for a block write of the update procedure.
bool IsBlockWrite(const std::string &Request)
{
  const std::size_t L = protocol::PrefixLength(Request);
  return Request.size() > L + 4 && Request[L] == '\x07';
}

// Plays the window's part: owns the loaders that connections hand over.
class CommandServerTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    ::setenv("QUORLAN2_COM_DIR", (Dir / "").c_str(), 1);
    Server = std::make_unique<TCommandServer>(
        0, [this](platform::TThreadPtr<TQuorlan> L) { HandOver(std::move(L)); },
        [this](std::int32_t, std::uint8_t, const char *, std::int32_t) { ++DeviceLogCalls; },
        TCommandServer::MaxConnections, nullptr, &Budget);
    Server->SetActive(true);
  }

  void TearDown() override
  {
    Server.reset();
    Loaders.clear();
  }

  void HandOver(platform::TThreadPtr<TQuorlan> L)
  {
    EXPECT_TRUE(WaitUntil([this] { return !HoldHandOver; }));
    if (FailHandOver)
      throw std::runtime_error("no room");
    // The procedure's fixed waits, cut short as the loader tests do.
    L->FTestModeWait = L->FCloseWait = L->FAlertWait = L->FLinkWait = 0ms;
    const std::lock_guard Lock(LoadersLock);
    Loaders.push_back(std::move(L));
  }

  std::size_t LoaderCount()
  {
    const std::lock_guard Lock(LoadersLock);
    return Loaders.size();
  }

  // The loader of the n-th connection, once it has been handed over.
  TQuorlan &LoaderOf(std::size_t Index)
  {
    EXPECT_TRUE(WaitUntil([&] { return LoaderCount() > Index; }));
    const std::lock_guard Lock(LoadersLock);
    return *Loaders.at(Index);
  }

  // A connected client that has read its greeting.
  std::unique_ptr<TClient> Connect()
  {
    auto Client = std::make_unique<TClient>(Server->BoundPort());
    EXPECT_EQ(Client->ReadLine(), Ready);
    return Client;
  }

  loader_test::TTempDir Dir;
  app::TDescriptorBudget Budget;
  std::unique_ptr<TCommandServer> Server;
  std::mutex LoadersLock;
  std::vector<platform::TThreadPtr<TQuorlan>> Loaders;
  std::atomic<int> DeviceLogCalls{0};
  std::atomic<bool> FailHandOver{false};
  std::atomic<bool> HoldHandOver{false}; // the connect handler waits while it is set
};

} // namespace

TEST_F(CommandServerTest, GreetingHandOverStatusAndQuit)
{
  auto Client = Connect();
  TQuorlan &L = LoaderOf(0);
  EXPECT_EQ(Client->FBuffer, "") << "nothing after the greeting";
  EXPECT_TRUE(LogHas(L, app::texts::SRemoteConnected));
  EXPECT_TRUE(L.FDevice->FLogEnabled);
  EXPECT_EQ(L.FDevice->FOwner.load(), &L);
  ASSERT_TRUE(L.FDevice->FOnLog);
  L.FDevice->FOnLog(0, 0, "x", 1);
  EXPECT_EQ(DeviceLogCalls, 1) << "the window's log callback is installed";
  // A new loader keeps the loader's own defaults.
  EXPECT_TRUE(L.FUseComPort);
  EXPECT_EQ(L.FDevice->FInfo->GetParam(rpPortNumber), 1);

  EXPECT_EQ(Client->Ask("GET STATUS"), "STATUS=IDLE\r\n");
  EXPECT_EQ(Client->Ask("\r\n  GET   STATUS \t\r\n"), "STATUS=IDLE\r\n");
  EXPECT_EQ(Client->Ask("   QUIT   \r\n"), Goodbye);
  EXPECT_TRUE(Client->WaitClosed());
  EXPECT_EQ(Client->FBuffer, "");
  EXPECT_TRUE(WaitUntil([&] { return LogHas(L, app::texts::SRemoteDisconnected); }));
  EXPECT_EQ(L.State(), ssIdle) << "the loader outlives its connection";

  // Every connection gets a loader of its own.
  auto Second = Connect();
  EXPECT_NE(&LoaderOf(1), &L);
}

TEST_F(CommandServerTest, ComAndTcpSettingsWithTheirPartialEffects)
{
  auto Client = Connect();
  TQuorlan &L = LoaderOf(0);
  TRS485Info &Info = *L.FDevice->FInfo;
  auto Params = [&] {
    return std::vector<std::int32_t>{Info.GetParam(rpPortNumber), Info.GetParam(rpBaudRate),
                                     Info.GetParam(rpParity), Info.GetParam(rpAnswerTimeOut),
                                     Info.GetParam(rpSystemTimeOut)};
  };

  L.FUseComPort = false;
  EXPECT_EQ(Client->Ask("SET COM=3, 19200, ODD, 500, 50"), Ok);
  EXPECT_EQ(Params(), (std::vector<std::int32_t>{3, 19200, 1, 500, 50}));
  EXPECT_TRUE(L.FUseComPort);
  EXPECT_EQ(Client->Ask("SET COM=4 9600 NONE $100 0x20"), Ok) << "blanks separate items too";
  EXPECT_EQ(Params(), (std::vector<std::int32_t>{4, 9600, 0, 256, 32}));

  // A failing item keeps what the items before it stored, and the link type.
  for (const auto *Bad : {"SET COM=3, 19200, EVEN, 500, 50", "SET COM=3, 19200, odd, 500, 50"}) {
    Info.SetParam(rpPortNumber, 1);
    Info.SetParam(rpBaudRate, 9600);
    L.FUseComPort = false;
    EXPECT_EQ(Client->Ask(Bad), BadLine) << Bad;
    EXPECT_EQ(Params(), (std::vector<std::int32_t>{3, 19200, 0, 256, 32})) << Bad;
    EXPECT_FALSE(L.FUseComPort) << Bad;
  }
  for (const auto *Bad :
       {"SET COM=3,19200,ODD,500", "SET COM=3,19200,ODD,500,50,1", "SET COM=", "SET COM=0,19200,ODD,500,50",
        "SET COM=x,19200,ODD,500,50", "SET COM=-3,19200,ODD,500,50", "SET COM=3,19200,ODD,0,50",
        "SET COM=3,19200,ODD,500,9x"})
    EXPECT_EQ(Client->Ask(Bad), BadLine) << Bad;

  L.FUseComPort = true;
  EXPECT_EQ(Client->Ask("SET TCP=10.0.0.5, 5000, 0"), BadLine);
  EXPECT_EQ(L.TcpHost(), "10.0.0.5");
  EXPECT_EQ(L.FTcpClient->Port, 5000);
  EXPECT_TRUE(L.FUseComPort) << "the link type stays";
  EXPECT_EQ(Client->Ask("SET TCP=gw.local,0,100"), BadLine);
  EXPECT_EQ(L.TcpHost(), "gw.local");
  EXPECT_EQ(L.FTcpClient->Port, 5000);
  EXPECT_EQ(Client->Ask("SET TCP=a,1"), BadLine);
  // No port beyond 16 bits, no empty host.
  for (const auto *Bad : {"SET TCP=127.0.0.1,65536,1000", "SET TCP=127.0.0.1,70000,1000",
                          "SET TCP=,5000,1000", "SET TCP=\"\",5000,1000"})
    EXPECT_EQ(Client->Ask(Bad), BadLine) << Bad;
  EXPECT_EQ(L.FTcpClient->Port, 5000);
  EXPECT_EQ(Client->Ask("SET TCP=127.0.0.1,65535,1000"), Ok);
  EXPECT_EQ(Client->Ask("SET TCP=127.0.0.1,5001,3000"), Ok);
  EXPECT_EQ(L.TcpHost(), "127.0.0.1");
  EXPECT_EQ(L.FTcpClient->Port, 5001);
  EXPECT_EQ(L.FTcpClient->ReadTimeout, 3000);
  EXPECT_EQ(Info.GetParam(rpAnswerTimeOut), 3000) << "the answer time-out follows the read time-out";
  EXPECT_FALSE(L.FUseComPort);
}

TEST_F(CommandServerTest, BlockSizeFlagsAddressesAndTheAlertSequence)
{
  auto Client = Connect();
  TQuorlan &L = LoaderOf(0);

  EXPECT_EQ(Client->Ask("SET BLOCKSIZE=100"), BadLine);
  EXPECT_EQ(L.BlockSize(), 512);
  for (const auto *Bad : {"SET BLOCKSIZE=", "SET BLOCKSIZE=abc", "SET BLOCKSIZE=1024", "SET BLOCKSIZE=64,32"})
    EXPECT_EQ(Client->Ask(Bad), BadLine) << Bad;
  EXPECT_EQ(Client->Ask("SET BLOCKSIZE= 64 "), Ok);
  EXPECT_EQ(L.BlockSize(), 64);
  EXPECT_EQ(Client->Ask("SET BLOCKSIZE=$10"), Ok);
  EXPECT_EQ(L.BlockSize(), 16);

  EXPECT_EQ(Client->Ask("SET HIGHSPEED=TRUE"), Ok);
  EXPECT_TRUE(L.FMaxSpeed);
  EXPECT_EQ(Client->Ask("SET HIGHSPEED=true"), BadLine);
  EXPECT_TRUE(L.FMaxSpeed);
  EXPECT_EQ(Client->Ask("SET HIGHSPEED=FALSE"), Ok);
  EXPECT_FALSE(L.FMaxSpeed);

  // Every line sets the alert sequence again before it is looked at.
  std::atomic<bool> &Alert = L.FDevice->FInfo->FAlertSequence;
  EXPECT_EQ(Client->Ask("SET ALERTSEQ=FALSE"), Ok);
  EXPECT_FALSE(Alert);
  EXPECT_EQ(Client->Ask("GET STATUS"), "STATUS=IDLE\r\n");
  EXPECT_TRUE(Alert);
  EXPECT_EQ(Client->Ask("SET ALERTSEQ=FALSE"), Ok);
  EXPECT_EQ(Client->Ask("nonsense"), BadLine);
  EXPECT_TRUE(Alert);
  EXPECT_EQ(Client->Ask("SET ALERTSEQ=MAYBE"), BadLine);
  EXPECT_TRUE(Alert);

  L.SetNetAdr("1");
  for (const auto *Bad : {"SET NETADR=", "SET NETADR=5,,7", "SET NETADR=5,x",
                          "SET NETADR=99999999999999999999", "SET NETADR=5,"})
    EXPECT_EQ(Client->Ask(Bad), BadLine) << Bad;
  EXPECT_EQ(L.NetAdr(), "1");
  EXPECT_EQ(Client->Ask("SET NETADR=  5, 7  "), Ok);
  EXPECT_EQ(L.NetAdr(), "5, 7") << "the text as received, trimmed";
  // An address must fit 32 bits: beyond, its low bits would name another meter.
  for (const auto *Bad : {"SET NETADR=4294967301", "SET NETADR=5,4294967296", "SET NETADR=$FFFFFFFFFF",
                          "SET NETADR=-2147483649"})
    EXPECT_EQ(Client->Ask(Bad), BadLine) << Bad;
  EXPECT_EQ(L.NetAdr(), "5, 7");
  EXPECT_EQ(Client->Ask("SET NETADR=4294967295 $FFFFFFFF -2147483648 \"12\""), Ok);
  EXPECT_EQ(L.NetAdr(), "4294967295 $FFFFFFFF -2147483648 \"12\"");
}

TEST_F(CommandServerTest, LinesThatAreNoCommand)
{
  auto Client = Connect();
  TQuorlan &L = LoaderOf(0);
  for (const auto *Bad :
       {"set COM=1,9600,ODD,500,50", "SET COM =1,9600,ODD,500,50", "SETCOM=1,9600,ODD,500,50", "SET FOO=1",
        "SET", "GET", "GET STATE", "GET STATUS X", "get status", "QUIT X", "quit",
        "X SET COM=1,9600,ODD,500,50", "SET  X COM=1", "GET STATUS\r\nGET STATUS"})
    EXPECT_EQ(Client->Ask(Bad), BadLine) << Bad;
  EXPECT_EQ(L.FDevice->FInfo->GetParam(rpBaudRate), 9600);
  EXPECT_EQ(Client->Ask("SET   COM=2,9600,ODD,500,50"), Ok) << "blanks after SET are trimmed";
  EXPECT_EQ(Client->FBuffer, "") << "one reply per transmission";
}

TEST_F(CommandServerTest, StatusInEveryStateAndCommandsWhileBusy)
{
  auto Line = sim::SimLine::OpenPty(Dir / "", 1);
  auto Meter = Line->AddMeter(sim::MeterConfig::ForType(0, 5));
  // The meter holds its answer to the first request, then to the first
  // block write, until the test lets it go on.
  std::mutex GateLock;
  std::condition_variable GateChanged;
  int Phase = 0;   // 0: hold any request; 1: hold block writes; 2: answer all
  int Holding = 0; // requests held now
  Meter->SetOverride([&](const std::string &Request) -> std::optional<std::string> {
    std::unique_lock Lock(GateLock);
    const int Seen = Phase;
    if (Phase == 0 || (Phase == 1 && IsBlockWrite(Request))) {
      ++Holding;
      GateChanged.notify_all();
      GateChanged.wait_for(Lock, 20s, [&] { return Phase != Seen; });
      --Holding;
    }
    return std::nullopt;
  });
  auto WaitHeld = [&] {
    std::unique_lock Lock(GateLock);
    return GateChanged.wait_for(Lock, 20s, [&] { return Holding > 0; });
  };
  auto Release = [&](int Next) {
    const std::lock_guard Lock(GateLock);
    Phase = Next;
    GateChanged.notify_all();
  };

  auto Client = Connect();
  TQuorlan &L = LoaderOf(0);
  EXPECT_EQ(Client->Ask("SET STATUS=STOP"), StatusOk) << "stop on an idle loader changes nothing";
  EXPECT_EQ(L.State(), ssIdle);
  EXPECT_EQ(Client->Ask("SET STATUS=PAUSE"), ExecuteError);
  EXPECT_EQ(Client->Ask("SET COM=1,9600,NONE,10000,50"), Ok);
  EXPECT_EQ(Client->Ask("SET NETADR=5"), Ok);
  EXPECT_EQ(Client->Ask("SET STATUS= START "), StatusOk);
  ASSERT_TRUE(WaitHeld());
  EXPECT_EQ(Client->Ask("GET STATUS"), "STATUS=START\r\n");
  EXPECT_EQ(Client->Ask("SET STATUS=PAUSE"), ExecuteError);
  EXPECT_EQ(Client->Ask("SET STATUS=START"), ExecuteError);

  Release(1);
  ASSERT_TRUE(WaitHeld());
  ASSERT_TRUE(WaitUntil([&] { return L.State() == ssRun; }));
  EXPECT_EQ(Client->Ask("GET STATUS"), "STATUS=RUN\r\n");
  for (const auto *Setting :
       {"SET COM=2,19200,ODD,500,50", "SET TCP=h,1,1", "SET BLOCKSIZE=16", "SET HIGHSPEED=TRUE",
        "SET ALERTSEQ=FALSE", "SET NETADR=7", "SET STATUS=START", "SET STATUS=PAUSE"})
    EXPECT_EQ(Client->Ask(Setting), ExecuteError) << Setting;
  EXPECT_EQ(Client->Ask("SET BLOCKSIZE=100"), ExecuteError) << "the state is tested before the value";
  EXPECT_EQ(Client->Ask("SET COM=1"), ExecuteError);
  EXPECT_EQ(L.FDevice->FInfo->GetParam(rpPortNumber), 1);
  EXPECT_EQ(L.BlockSize(), 512);
  EXPECT_FALSE(L.FMaxSpeed);
  EXPECT_TRUE(L.FDevice->FInfo->FAlertSequence);
  EXPECT_EQ(L.NetAdr(), "5");

  EXPECT_EQ(Client->Ask("SET STATUS=STOP"), StatusOk);
  EXPECT_EQ(Client->Ask("GET STATUS"), "STATUS=STOP\r\n");
  EXPECT_FALSE(L.FStopRequested) << "a remote stop is not the operator's stop";
  EXPECT_EQ(Client->Ask("SET STATUS=PAUSE"), ExecuteError);
  Release(2);
  EXPECT_TRUE(WaitUntil([&] { return Client->Ask("GET STATUS") == "STATUS=IDLE\r\n"; }));
}

TEST_F(CommandServerTest, ALoaderFreedWithItsRowIsNeverTouchedAgain)
{
  auto Client = Connect();
  auto Busy = Connect();
  LoaderOf(1);

  // A second client asks without pause while its loader is freed.
  std::atomic<bool> Stop{false};
  std::atomic<int> Replies{0}, Wrong{0};
  std::thread Asker([&] {
    while (!Stop) {
      const std::string Reply = Busy->Ask("GET STATUS");
      Wrong += Reply != "STATUS=IDLE\r\n" && Reply != ExecuteError;
      ++Replies;
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return Replies > 20; }));
  {
    const std::lock_guard Lock(LoadersLock);
    Loaders[0].reset(); // the operator deletes the rows
    Loaders[1].reset();
  }
  const int AfterFree = Replies;
  ASSERT_TRUE(WaitUntil([&] { return Replies > AfterFree + 20; }));
  Stop = true;
  Asker.join();
  EXPECT_EQ(Wrong, 0);
  EXPECT_EQ(Busy->Ask("GET STATUS"), ExecuteError);

  for (const auto *Command : {"GET STATUS", "SET COM=1,9600,ODD,500,50", "SET STATUS=STOP", "nonsense"})
    EXPECT_EQ(Client->Ask(Command), ExecuteError) << Command;
  EXPECT_EQ(Client->Ask("QUIT"), Goodbye);
  EXPECT_TRUE(Client->WaitClosed());
  Busy->Close(); // the disconnect handler finds no loader either
  EXPECT_TRUE(WaitUntil([&] { return Server->ConnectionCount() == 0; }));
}

TEST_F(CommandServerTest, OverlongLinesAreRefusedAndDropped)
{
  auto Client = Connect();
  TQuorlan &L = LoaderOf(0);
  Client->Send("SET NETADR=" + std::string(3 * TCommandServer::MaxLineLength, '7'));
  EXPECT_EQ(Client->ReadLine(), BadLine);
  // The tail of the long line may still come in as lines of its own; each
  // gets its 400 until the connection answers commands again.
  std::string Reply;
  ASSERT_TRUE(WaitUntil([&] {
    Reply = Client->Ask("GET STATUS");
    return Reply != BadLine;
  }));
  EXPECT_EQ(Reply, "STATUS=IDLE\r\n");
  EXPECT_EQ(L.NetAdr(), "") << "no part of it was taken as an address list";
}

TEST_F(CommandServerTest, ConnectionsOverTheBoundAreRefused)
{
  std::vector<std::unique_ptr<TClient>> Clients;
  for (std::size_t i = 0; i < TCommandServer::MaxConnections; ++i)
    Clients.push_back(Connect());
  ASSERT_TRUE(WaitUntil([&] { return LoaderCount() == TCommandServer::MaxConnections; }));
  TClient Over(Server->BoundPort());
  EXPECT_EQ(Over.ReadLine(), ExecuteError);
  EXPECT_TRUE(Over.WaitClosed());
  EXPECT_EQ(LoaderCount(), TCommandServer::MaxConnections) << "no loader for the refused client";

  Clients.front()->Close();
  ASSERT_TRUE(WaitUntil([&] { return Server->ConnectionCount() < TCommandServer::MaxConnections; }));
  auto Again = Connect();
  EXPECT_EQ(Again->Ask("GET STATUS"), "STATUS=IDLE\r\n");
}

// With every other place taken, a client that ends its connection in any
// way and connects again at once is served: the ended connection stops
// counting without waiting for its thread.
TEST_F(CommandServerTest, AClientThatReconnectsAtOnceIsNotTakenForOneTooMany)
{
  std::vector<std::unique_ptr<TClient>> Others;
  for (std::size_t i = 1; i < TCommandServer::MaxConnections; ++i)
    Others.push_back(Connect());
  auto Client = Connect();
  for (const std::string How : {"QUIT", "FIN", "RST"})
    for (int Try = 0; Try < 15; ++Try) {
      if (How == "QUIT")
        ASSERT_EQ(Client->Ask("QUIT"), Goodbye); // the old socket is closed after the new connect
      else if (How == "RST")
        Client->Reset();
      else
        Client->Close();
      auto Again = std::make_unique<TClient>(Server->BoundPort());
      ASSERT_EQ(Again->ReadLine(), Ready) << How << ", try " << Try;
      Client = std::move(Again);
    }
  EXPECT_EQ(Server->ConnectionCount(), TCommandServer::MaxConnections);
  TClient Over(Server->BoundPort());
  EXPECT_EQ(Over.ReadLine(), ExecuteError) << "the bound still holds";
}

// Under a low open-file limit a remote start keeps the window's reserve and
// room for the clients still to come: a process whose link would find no
// descriptor stays idle and says why, its client gets 401, and the processes
// started all open their links.
TEST_F(CommandServerTest, ARemoteStartKeepsTheDescriptorReserve)
{
  // A gateway that takes connections and never answers.
  const int Gateway = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in Address{};
  Address.sin_family = AF_INET;
  Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t Length = sizeof Address;
  ASSERT_EQ(::bind(Gateway, reinterpret_cast<const sockaddr *>(&Address), sizeof Address), 0);
  ASSERT_EQ(::listen(Gateway, 64), 0);
  ASSERT_EQ(::getsockname(Gateway, reinterpret_cast<sockaddr *>(&Address), &Length), 0);
  const std::string Tcp = "SET TCP=127.0.0.1," + std::to_string(ntohs(Address.sin_port)) + ",2000";

  // Each client costs two descriptors here (both ends) and one place less
  // for clients to come; each process started, one. Room for about four.
  constexpr int Clients = 8;
  rlimit Saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &Saved), 0);
  rlimit Low = Saved;
  Low.rlim_cur =
      static_cast<rlim_t>(app::OpenFileLimit() - app::FreeDescriptors() + app::WindowDescriptorReserve +
                          static_cast<std::int64_t>(TCommandServer::MaxConnections) + 1 + Clients);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &Low), 0);
  std::vector<std::unique_ptr<TClient>> Connected;
  std::vector<std::string> Replies;
  for (int i = 0; i < Clients; ++i) {
    Connected.push_back(Connect());
    EXPECT_EQ(Connected.back()->Ask(Tcp), Ok);
    EXPECT_EQ(Connected.back()->Ask("SET NETADR=5"), Ok);
    Replies.push_back(Connected.back()->Ask("SET STATUS=START"));
  }
  auto Late = Connect(); // still greeted
  ::setrlimit(RLIMIT_NOFILE, &Saved);

  // The window's line for a row it leaves idle, up to its figures.
  const std::string Line = app::texts::SStartNoDescriptors;
  const std::string NoDescriptors = Line.substr(0, Line.find('('));
  int Started = 0, LeftIdle = 0;
  for (std::size_t i = 0; i < Clients; ++i) {
    TQuorlan &L = LoaderOf(i);
    if (Replies[i] == StatusOk) {
      ++Started;
      EXPECT_TRUE(WaitUntil([&] { return LogHas(L, loader::texts::SConnectionOpened); }))
          << i << ": " << L.Log();
      EXPECT_FALSE(LogHas(L, loader::texts::SLinkError)) << i << ": " << L.Log();
    } else {
      ++LeftIdle;
      EXPECT_EQ(Replies[i], ExecuteError) << i;
      EXPECT_EQ(L.State(), ssIdle) << i;
      EXPECT_TRUE(LogHas(L, NoDescriptors)) << i << ": " << L.Log();
    }
  }
  EXPECT_GT(Started, 0);
  EXPECT_GT(LeftIdle, 0);
  EXPECT_EQ(Budget.Promised(), 0) << "every link started has been asked to open";
  // The gateway goes: the runs end quickly.
  ::close(Gateway);
  for (std::size_t i = 0; i < Clients; ++i)
    EXPECT_TRUE(WaitUntil([&] { return LoaderOf(i).State() == ssIdle; })) << i;
}

TEST_F(CommandServerTest, FailuresInHandlersEndOnlyTheirConnection)
{
  // The hand-over fails: the loader is freed, the connection stays open
  // without a loader and its input gets no answer.
  const std::size_t Services = ServiceList()->Count();
  FailHandOver = true;
  auto Orphan = Connect();
  EXPECT_TRUE(WaitUntil([&] { return ServiceList()->Count() == Services; }))
      << "the loader and its timer are gone";
  FailHandOver = false;
  Orphan->Send("GET STATUS");
  EXPECT_EQ(Orphan->ReadLine(200ms), "");
  EXPECT_FALSE(Orphan->WaitClosed(0ms));

  // A client that goes away before its reply is written. The greeting goes
  // out before the hand-over: the first loader is waited for, so that the
  // second one is the leaving client's.
  auto Other = Connect();
  LoaderOf(0);
  auto Leaving = Connect();
  TQuorlan &L = LoaderOf(1);
  Leaving->Send("GET STATUS");
  Leaving->Close();
  EXPECT_TRUE(WaitUntil([&] { return LogHas(L, app::texts::SRemoteDisconnected); }));
  EXPECT_EQ(L.State(), ssIdle);
  EXPECT_EQ(Other->Ask("GET STATUS"), "STATUS=IDLE\r\n");
}

TEST_F(CommandServerTest, AClientThatHalfClosesStillGetsItsReply)
{
  // Each client sends its command and its end while the hand-over holds its
  // connection, so both are there when the connection first reads.
  for (const auto &[Command, Reply] :
       {std::pair{"GET STATUS", std::string("STATUS=IDLE\r\n")}, std::pair{"SET STATUS=START", StatusOk}}) {
    HoldHandOver = true;
    TClient Client(Server->BoundPort());
    EXPECT_EQ(Client.ReadLine(), Ready);
    Client.Send(Command);
    Client.ShutdownWrite();
    HoldHandOver = false;
    EXPECT_TRUE(Client.WaitClosed()) << Command;
    EXPECT_EQ(Client.FBuffer, Reply) << Command;
  }
  TQuorlan &L = LoaderOf(0);
  EXPECT_TRUE(WaitUntil([&] { return LogHas(L, app::texts::SRemoteDisconnected); }));
}

TEST_F(CommandServerTest, DeactivationClosesEveryConnectionAndKeepsTheLoaders)
{
  std::vector<std::unique_ptr<TClient>> Clients;
  for (int i = 0; i < 3; ++i)
    Clients.push_back(Connect());
  ASSERT_EQ(Clients[1]->Ask("GET STATUS"), "STATUS=IDLE\r\n");
  Clients[2]->Send("GET"); // input that is not yet looked at
  ASSERT_TRUE(WaitUntil([&] { return LoaderCount() == 3; }));
  Server->SetActive(false);
  EXPECT_FALSE(Server->Active());
  EXPECT_EQ(Server->ConnectionCount(), 0u);
  for (auto &Client : Clients)
    EXPECT_TRUE(Client->WaitClosed());
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_TRUE(LogHas(LoaderOf(i), app::texts::SRemoteDisconnected)) << i;

  // A port that is taken: activation fails and the server stays inactive.
  Server->SetActive(true);
  TCommandServer Second(Server->BoundPort(), [](platform::TThreadPtr<TQuorlan>) {}, {});
  EXPECT_THROW(Second.SetActive(true), platform::TcpError);
  EXPECT_FALSE(Second.Active());
}

TEST_F(CommandServerTest, ARemoteClientUpdatesAMeterOverAComPort)
{
  auto Line = sim::SimLine::OpenPty(Dir / "", 2);
  auto Meter = Line->AddMeter(sim::MeterConfig::ForType(0, 5));
  auto Client = Connect();
  TQuorlan &L = LoaderOf(0);
  L.FAlertWait = 100ms; // the line reads the alert sequence before the loader purges the port
  EXPECT_EQ(Client->Ask("SET COM=2,9600,NONE,20000,100"), Ok); // generous time-outs, as in the loader tests
  EXPECT_EQ(Client->Ask("SET NETADR=5"), Ok);
  EXPECT_EQ(Client->Ask("SET BLOCKSIZE=256"), Ok);
  EXPECT_EQ(Client->Ask("SET STATUS=START"), StatusOk);
  std::string Status;
  EXPECT_TRUE(WaitUntil(
      [&] {
        Status = Client->Ask("GET STATUS");
        return Status == "STATUS=IDLE\r\n" && Meter->BlockWrites() > 0;
      },
      60s))
      << Status;
  EXPECT_TRUE(Meter->WholeImageWritten());
  EXPECT_EQ(Meter->Memory().substr(0x5000), loader::DumpMem[0]->Snapshot()->substr(0x5000));
  EXPECT_EQ(L.VersionAfter(), loader::ImageVersions[0]);
  EXPECT_NE(Line->Received().find(loader::SAlertSequence), std::string::npos)
      << "a remote run has the alert sequence on";
  EXPECT_EQ(Client->Ask("QUIT"), Goodbye);
  EXPECT_TRUE(WaitUntil([&] { return LogHas(L, app::texts::SRemoteDisconnected); }));
}
