#include "platform/TcpServer.h"

#include "platform/Synchronize.h"
#include "support/WaitUntil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

using platform::TcpClient;
using platform::TcpConnection;
using platform::TcpError;
using platform::TcpServer;
using namespace std::chrono_literals;

namespace {

// A client that reads CR LF lines.
struct LineClient : TcpClient {
  std::string Pending;
};

std::unique_ptr<LineClient> ConnectTo(const TcpServer &server)
{
  auto client = std::make_unique<LineClient>();
  client->Host = "127.0.0.1";
  client->Port = server.BoundPort();
  client->ReadTimeout = 100;
  client->Connect();
  return client;
}

// The next CR LF line from Client, without its end; "<closed>" when the
// server closed the connection first.
std::string ReadLine(LineClient &client)
{
  std::string &pending = client.Pending;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    const auto end = pending.find("\r\n");
    if (end != std::string::npos) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 2);
      return line;
    }
    if (std::chrono::steady_clock::now() > deadline)
      return "<timed out>";
    try {
      pending += client.ReadAvailable();
    } catch (const TcpError &) {
      pending.clear();
      return "<closed>";
    }
  }
}

// A plain client socket on 127.0.0.1, for what TcpClient does not offer
// (a half-close); closed with the object.
struct RawClient {
  explicit RawClient(int port)
  {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (Fd < 0 || ::connect(Fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
      throw std::runtime_error("cannot connect");
  }
  ~RawClient() { ::close(Fd); }
  RawClient(const RawClient &) = delete;
  RawClient &operator=(const RawClient &) = delete;

  void Send(std::string_view bytes) const
  {
    ASSERT_EQ(::send(Fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }

  // Everything the server sends until it closes the connection, followed by
  // "<open>" when it has not closed it within the deadline.
  std::string ReadToEnd() const
  {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd entry{Fd, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
        return data + "<open>";
      char chunk[4096];
      const ssize_t got = ::recv(Fd, chunk, sizeof chunk, 0);
      if (got <= 0)
        return data;
      data.append(chunk, static_cast<std::size_t>(got));
    }
  }

  const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
};

// The server's end of Client's connection among this process's descriptors;
// -1 while it has not been accepted.
int ServerSideOf(const RawClient &client)
{
  sockaddr_in mine{};
  socklen_t length = sizeof mine;
  if (::getsockname(client.Fd, reinterpret_cast<sockaddr *>(&mine), &length) != 0)
    return -1;
  for (int fd = 0; fd < 4096; ++fd) {
    sockaddr_in peer{};
    length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) == 0 && peer.sin_family == AF_INET &&
        peer.sin_port == mine.sin_port && peer.sin_addr.s_addr == mine.sin_addr.s_addr)
      return fd;
  }
  return -1;
}

int IntOption(int fd, int level, int name)
{
  int value = -1;
  socklen_t length = sizeof value;
  return ::getsockopt(fd, level, name, &value, &length) == 0 ? value : -1;
}

// A small line protocol: a greeting, "got " and the line (line ends shown as
// "|") with a per-connection count, "bye" and a close on QUIT, an exception on "boom".
struct EchoServer {
  EchoServer()
  {
    Server.OnConnect = [this](TcpConnection &connection) {
      connection.Data = 0;
      ++Connects;
      connection.WriteLn("204 ready " + connection.PeerAddress());
    };
    Server.OnExecute = [this](TcpConnection &connection) {
      ++Executes;
      std::string line = connection.ReadAvailable(4096);
      if (line == "boom")
        throw std::runtime_error("boom");
      if (line == "QUIT") {
        connection.WriteLn("bye");
        connection.Disconnect();
        return;
      }
      for (char &c : line)
        c = (c == '\r' || c == '\n') ? '|' : c;
      auto &count = std::any_cast<int &>(connection.Data);
      connection.WriteLn("got " + line + " " + std::to_string(++count));
    };
    Server.OnDisconnect = [this](TcpConnection &) { ++Disconnects; };
    Server.SetActive(true);
  }

  TcpServer Server;
  std::atomic<int> Connects{0};
  std::atomic<int> Executes{0};
  std::atomic<int> Disconnects{0};
};

TEST(TcpServer, GreetsAnswersEachTransmissionOnceAndClosesOnRequest)
{
  EchoServer echo;
  EXPECT_TRUE(echo.Server.Active());
  EXPECT_GT(echo.Server.BoundPort(), 0);
  auto client = ConnectTo(echo.Server);
  EXPECT_EQ(ReadLine(*client).rfind("204 ready 127.0.0.1:", 0), 0u);

  client->Write("GET STATUS");
  EXPECT_EQ(ReadLine(*client), "got GET STATUS 1");
  client->Write("a\r\nb"); // one transmission is one line
  EXPECT_EQ(ReadLine(*client), "got a||b 2");
  // The handler ran once per transmission: the server waits, it does not spin.
  EXPECT_EQ(echo.Executes, 2);

  client->Write("QUIT");
  EXPECT_EQ(ReadLine(*client), "bye");
  EXPECT_EQ(ReadLine(*client), "<closed>");
  EXPECT_TRUE(WaitUntil([&] { return echo.Disconnects == 1; }));
  EXPECT_TRUE(WaitUntil([&] { return echo.Server.ConnectionCount() == 0; }));

  // A client that closes ends its connection too; the data slot is per connection.
  auto second = ConnectTo(echo.Server);
  ReadLine(*second);
  second->Write("x");
  EXPECT_EQ(ReadLine(*second), "got x 1");
  second->Disconnect();
  EXPECT_TRUE(WaitUntil([&] { return echo.Disconnects == 2; }));
}

TEST(TcpServer, AClientThatHalfClosesGetsItsReplyAndTheConnectionEnds)
{
  TcpServer server;
  std::atomic<bool> sent{false};
  std::atomic<int> disconnects{0};
  // The connect handler holds the connection until the client has sent its
  // command and its end, so both are there at the first read.
  server.OnConnect = [&](TcpConnection &connection) {
    connection.WriteLn("hello");
    EXPECT_TRUE(WaitUntil([&] { return sent.load(); }));
  };
  server.OnExecute = [](TcpConnection &connection) {
    connection.WriteLn("got " + connection.ReadAvailable(100));
  };
  server.OnDisconnect = [&](TcpConnection &) { ++disconnects; };
  server.SetActive(true);

  RawClient client(server.BoundPort());
  client.Send("GET STATUS");
  ::shutdown(client.Fd, SHUT_WR);
  sent = true;
  EXPECT_EQ(client.ReadToEnd(), "hello\r\ngot GET STATUS\r\n");
  EXPECT_TRUE(WaitUntil([&] { return disconnects == 1; }));

  // A client that half-closes without a word ends its connection too.
  RawClient silent(server.BoundPort());
  ::shutdown(silent.Fd, SHUT_WR);
  EXPECT_EQ(silent.ReadToEnd(), "hello\r\n");
  EXPECT_TRUE(WaitUntil([&] { return disconnects == 2 && server.ConnectionCount() == 0; }));
}

TEST(TcpServer, PortInUseFailsActivationAndTheServerCanListenAgainLater)
{
  EchoServer echo;
  TcpServer other;
  other.DefaultPort = echo.Server.BoundPort();
  EXPECT_THROW(other.SetActive(true), TcpError);
  EXPECT_FALSE(other.Active());

  // Deactivate with a connection just used, then listen on the same port again.
  auto client = ConnectTo(echo.Server);
  ReadLine(*client);
  const int port = echo.Server.BoundPort();
  echo.Server.SetActive(false);
  EXPECT_FALSE(echo.Server.Active());
  echo.Server.DefaultPort = port;
  echo.Server.SetActive(true);
  EXPECT_EQ(echo.Server.BoundPort(), port);
  auto again = ConnectTo(echo.Server);
  EXPECT_EQ(ReadLine(*again).rfind("204 ready", 0), 0u);
}

TEST(TcpServer, DeactivationEndsIdleWaitingAndBlockedConnectionsAndJoinsThem)
{
  TcpServer server;
  std::atomic<int> disconnects{0};
  std::atomic<bool> flooding{false};
  std::atomic<bool> waitedOut{false};
  server.OnConnect = [&](TcpConnection &connection) { connection.WriteLn("hello"); };
  server.OnExecute = [&](TcpConnection &connection) {
    const std::string line = connection.ReadAvailable(100);
    if (line == "flood") {
      // Writes to a client that never reads: blocks once the buffers are full.
      flooding = true;
      const std::string block(1 << 20, 'z');
      for (;;)
        connection.Write(block);
    }
    if (line == "wait") {
      connection.WriteLn("waiting");
      while (connection.WaitForInput(-1))
        connection.ReadAvailable(100);
      waitedOut = true;
    }
  };
  server.OnDisconnect = [&](TcpConnection &connection) {
    EXPECT_FALSE(connection.Connected());
    ++disconnects;
  };
  server.SetActive(true);

  std::vector<std::unique_ptr<LineClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(ConnectTo(server));
    EXPECT_EQ(ReadLine(*clients.back()), "hello");
  }
  clients[1]->Write("flood");
  clients[2]->Write("wait");
  EXPECT_TRUE(WaitUntil([&] { return flooding.load(); }));
  ReadLine(*clients[2]);
  EXPECT_EQ(server.ConnectionCount(), 3u);

  server.SetActive(false); // returns only when every connection thread has ended
  EXPECT_EQ(disconnects, 3);
  EXPECT_TRUE(waitedOut);
  EXPECT_EQ(server.ConnectionCount(), 0u);
  EXPECT_EQ(ReadLine(*clients[0]), "<closed>");
  // No one listens any more.
  TcpClient late;
  late.Host = "127.0.0.1";
  late.Port = server.BoundPort();
  EXPECT_THROW(late.Connect(), TcpError);
}

TEST(TcpServer, DeactivationOnTheMainThreadServesTheCallsHandlersWaitFor)
{
  platform::SetMainThread();
  TcpServer server;
  std::atomic<bool> waiting{false};
  std::atomic<bool> served{false};
  server.OnExecute = [&](TcpConnection &connection) {
    waiting = true;
    while (connection.WaitForInput(-1))
      connection.ReadAvailable(100);
    // Closed by the deactivation; now this thread waits for the main thread,
    // as one that frees a loader waits for its timer's call to the window.
    platform::Synchronize([&] { served = true; });
  };
  server.SetActive(true);
  RawClient client(server.BoundPort());
  client.Send("x");
  ASSERT_TRUE(WaitUntil([&] { return waiting.load(); }));
  server.SetActive(false); // would wait for the connection's thread for good
  EXPECT_TRUE(served);
  EXPECT_EQ(server.ConnectionCount(), 0u);
}

TEST(TcpServer, AcceptedConnectionsProbeAPeerThatWentSilent)
{
  EchoServer echo;
  RawClient client(echo.Server.BoundPort());
  pollfd greeting{client.Fd, POLLIN, 0}; // the connection has been set up
  ASSERT_EQ(::poll(&greeting, 1, 10000), 1);
  const int fd = ServerSideOf(client);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(IntOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 60);
  EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 10);
  EXPECT_EQ(IntOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 3);
}

TEST(TcpServer, HandlerExceptionClosesOnlyItsOwnConnection)
{
  EchoServer echo;
  auto failing = ConnectTo(echo.Server);
  auto healthy = ConnectTo(echo.Server);
  ReadLine(*failing);
  ReadLine(*healthy);
  failing->Write("boom");
  EXPECT_EQ(ReadLine(*failing), "<closed>");
  // The failing connection stops counting once it has been closed.
  EXPECT_TRUE(WaitUntil([&] { return echo.Disconnects == 1 && echo.Server.ConnectionCount() == 1; }));
  healthy->Write("still");
  EXPECT_EQ(ReadLine(*healthy), "got still 1");
  EXPECT_EQ(echo.Server.ConnectionCount(), 1u);
}

TEST(TcpServer, ConnectionsOverTheBoundGetTheRefusalAndAreClosed)
{
  EchoServer echo;
  echo.Server.SetMaxConnections(2, "503 Too many connections");
  auto first = ConnectTo(echo.Server);
  auto second = ConnectTo(echo.Server);
  ReadLine(*first);
  ReadLine(*second);
  auto third = ConnectTo(echo.Server);
  EXPECT_EQ(ReadLine(*third), "503 Too many connections");
  EXPECT_EQ(ReadLine(*third), "<closed>");
  EXPECT_EQ(echo.Connects, 2);

  // A place that frees up can be taken again.
  first->Disconnect();
  EXPECT_TRUE(WaitUntil([&] { return echo.Server.ConnectionCount() == 1; }));
  auto fourth = ConnectTo(echo.Server);
  EXPECT_EQ(ReadLine(*fourth).rfind("204 ready", 0), 0u);
}

// This process's open descriptors.
int OpenDescriptors()
{
  int count = 0;
  for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
    ++count;
  return count;
}

TEST(TcpServer, AnEndedConnectionReleasesItsDescriptorAtOnce)
{
  EchoServer echo;
  const int before = OpenDescriptors();
  // Ended by the server on request, then by the client.
  for (const bool quit : {true, false}) {
    SCOPED_TRACE(quit ? "QUIT" : "client closed");
    {
      auto client = ConnectTo(echo.Server);
      EXPECT_EQ(ReadLine(*client).rfind("204 ready", 0), 0u);
      if (quit) {
        client->Write("QUIT");
        EXPECT_EQ(ReadLine(*client), "bye");
      }
    }
    // No further client comes that would make the server look at its ended
    // connections: the socket has gone with the connection all the same.
    EXPECT_TRUE(WaitUntil([&] { return echo.Server.ConnectionCount() == 0; }));
    EXPECT_TRUE(WaitUntil([&] { return OpenDescriptors() == before; }))
        << OpenDescriptors() << " open, " << before << " before";
  }
}

TEST(TcpServer, EndlessInputIsTakenInBoundedPiecesAndIgnoredInputIsDropped)
{
  TcpServer server;
  std::atomic<std::size_t> total{0};
  std::atomic<std::size_t> largest{0};
  std::atomic<int> ignored{0};
  server.OnExecute = [&](TcpConnection &connection) {
    if (!connection.Data.has_value()) {
      // The first connection reads in pieces of at most 1000 bytes.
      const std::size_t piece = connection.ReadAvailable(1000).size();
      total += piece;
      if (piece > largest)
        largest = piece;
    } else {
      ++ignored; // the second one never reads
    }
  };
  server.SetActive(true);

  auto reading = ConnectTo(server);
  const std::string big(1 << 20, 'q');
  reading->Write(big);
  EXPECT_TRUE(WaitUntil([&] { return total == big.size(); }));
  EXPECT_LE(largest, 1000u);
  reading->Disconnect();
  EXPECT_TRUE(WaitUntil([&] { return server.ConnectionCount() == 0; }));

  server.SetActive(false);
  server.OnConnect = [](TcpConnection &connection) { connection.Data = true; };
  server.SetActive(true);
  auto ignoring = ConnectTo(server);
  ignoring->Write("x");
  EXPECT_TRUE(WaitUntil([&] { return ignored == 1; }));
  ignoring->Write("y");
  EXPECT_TRUE(WaitUntil([&] { return ignored >= 2; }));
  std::this_thread::sleep_for(50ms);
  // Each transmission reached the handler once: unread input was dropped
  // instead of being offered again and again.
  EXPECT_EQ(ignored, 2);
}

} // namespace
