#include "platform/TcpClient.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using platform::TcpClient;
using platform::TcpError;
using namespace std::chrono_literals;

namespace {

// A socket bound to 127.0.0.1 on an ephemeral port; listening on request.
class Peer {
public:
  explicit Peer(bool listening = true, int backlog = 8)
  {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(FListen, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(FListen, reinterpret_cast<sockaddr *>(&address), &length);
    FPort = ntohs(address.sin_port);
    if (listening) {
      EXPECT_EQ(::listen(FListen, backlog), 0);
    }
  }
  ~Peer()
  {
    CloseAccepted();
    ::close(FListen);
  }
  int Port() const { return FPort; }
  int Listener() const { return FListen; }

  // Accepts the next connection; it becomes the one Send, Receive and
  // CloseAccepted work on.
  void Accept()
  {
    CloseAccepted();
    FAccepted = ::accept(FListen, nullptr, nullptr);
    ASSERT_GE(FAccepted, 0);
  }
  void Send(const std::string &bytes)
  {
    ASSERT_EQ(::send(FAccepted, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  std::string Receive(std::size_t count)
  {
    std::string data(count, '\0');
    std::size_t have = 0;
    while (have < count) {
      const ssize_t got = ::recv(FAccepted, data.data() + have, count - have, 0);
      if (got <= 0)
        break;
      have += static_cast<std::size_t>(got);
    }
    data.resize(have);
    return data;
  }
  void CloseAccepted()
  {
    if (FAccepted >= 0)
      ::close(FAccepted);
    FAccepted = -1;
  }

private:
  int FListen = -1;
  int FAccepted = -1;
  int FPort = 0;
};

void Aim(TcpClient &client, int port, const char *host = "127.0.0.1")
{
  client.Host = host;
  client.Port = port;
}

TEST(TcpClient, ConnectsByAddressAndByNameAndRefusesSecondConnect)
{
  Peer peer;
  TcpClient client;
  EXPECT_FALSE(client.Connected());
  Aim(client, peer.Port(), "localhost");
  client.Connect();
  EXPECT_TRUE(client.Connected());
  EXPECT_THROW(client.Connect(), TcpError);
  client.Disconnect();
  EXPECT_FALSE(client.Connected());
  client.Disconnect(); // harmless when closed

  Aim(client, peer.Port());
  client.Connect();
  EXPECT_TRUE(client.Connected());
}

TEST(TcpClient, RefusedOrUnusableTargetsThrowAndLeaveItDisconnected)
{
  Peer notListening(false); // bound, so no one else gets the port, but refusing
  TcpClient client;
  Aim(client, notListening.Port());
  EXPECT_THROW(client.Connect(), TcpError);
  EXPECT_FALSE(client.Connected());

  Aim(client, 0);
  EXPECT_THROW(client.Connect(), TcpError);
  Aim(client, 70000);
  EXPECT_THROW(client.Connect(), TcpError);
  Aim(client, 5000, "");
  EXPECT_THROW(client.Connect(), TcpError);
  EXPECT_THROW(client.Write("x"), TcpError);
  EXPECT_THROW(client.ReadAvailable(), TcpError);
}

TEST(TcpClient, ConnectGivesUpAfterItsTimeOut)
{
  // A listener whose queue is full lets further connection attempts hang.
  Peer peer(true, 0);
  std::vector<int> fillers;
  bool full = false;
  for (int i = 0; i < 16 && !full; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(peer.Port()));
    ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    fillers.push_back(fd);
    pollfd entry{fd, POLLOUT, 0};
    full = ::poll(&entry, 1, 200) == 0;
  }
  if (!full) {
    for (int fd : fillers)
      ::close(fd);
    GTEST_SKIP() << "the listen queue never filled";
  }
  TcpClient client;
  Aim(client, peer.Port());
  client.ConnectTimeout = 200;
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(client.Connect(), TcpError);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  EXPECT_FALSE(client.Connected());
  for (int fd : fillers)
    ::close(fd);
}

TEST(TcpClient, ReadTakesWhatHasArrivedAndLeavesTheRestForTheNextRead)
{
  Peer peer;
  TcpClient client;
  Aim(client, peer.Port());
  client.Connect();
  peer.Accept();

  // Nothing arrives: the read comes back empty and the link stays up.
  client.ReadTimeout = 2;
  for (int i = 0; i < 20; ++i) { // never shorter than the time-out
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(client.ReadAvailable(), "");
    EXPECT_GE(std::chrono::steady_clock::now() - started, 2ms);
  }
  client.ReadTimeout = 0;
  EXPECT_EQ(client.ReadAvailable(), "");
  EXPECT_TRUE(client.Connected());

  // A long time-out does not hold the read once bytes are there.
  client.ReadTimeout = 60000;
  client.Write(std::string("\x01\x08\x12\x00", 4));
  EXPECT_EQ(peer.Receive(4), std::string("\x01\x08\x12\x00", 4));
  peer.Send("abc");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(client.ReadAvailable(), "abc");
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
  peer.Send("de");
  EXPECT_EQ(client.ReadAvailable(), "de");
  EXPECT_TRUE(client.Connected());
}

TEST(TcpClient, WriteSendsEveryByteOfALargeBuffer)
{
  Peer peer;
  TcpClient client;
  Aim(client, peer.Port());
  client.Connect();
  peer.Accept();
  std::string big(4 << 20, '\0');
  for (std::size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<char>(i * 7 + (i >> 12));
  std::string received;
  std::thread reader([&] { received = peer.Receive(big.size()); });
  client.Write(big);
  reader.join();
  EXPECT_TRUE(received == big);
}

TEST(TcpClient, PeerCloseShowsAsDisconnectedAfterTheLastBytesAndAllowsReconnect)
{
  Peer peer;
  TcpClient client;
  Aim(client, peer.Port());
  client.ReadTimeout = 5000;
  client.Connect();
  peer.Accept();
  peer.Send("xy");
  peer.CloseAccepted();
  EXPECT_TRUE(client.Connected()); // the bytes are still to be read
  EXPECT_EQ(client.ReadAvailable(), "xy");
  EXPECT_THROW(client.ReadAvailable(), TcpError);
  EXPECT_FALSE(client.Connected());

  // A link that the peer dropped may be connected anew.
  client.Connect();
  peer.Accept();
  peer.CloseAccepted();
  // Writing into a closed connection fails with an exception, not a signal.
  bool failed = false;
  for (int i = 0; i < 100 && !failed; ++i) {
    try {
      client.Write("ping");
    } catch (const TcpError &) {
      failed = true;
    }
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(failed);
  EXPECT_FALSE(client.Connected());
}

// An answer in pieces: read on until it is whole, keep what follows it for
// the next read, and end an answer that stops short at the pause.
TEST(TcpClient, AnswerIsReadUntilWholeAndWhatFollowsIsKept)
{
  Peer peer;
  TcpClient client;
  Aim(client, peer.Port());
  client.ReadTimeout = 60000;
  client.Connect();
  peer.Accept();
  auto atFive = [](std::string_view bytes) { return bytes.size() >= 5 ? std::size_t{5} : std::size_t{0}; };

  std::thread pieces([&] {
    peer.Send("ab");
    std::this_thread::sleep_for(20ms);
    peer.Send("cdefg");
  });
  EXPECT_EQ(client.ReadAnswer(atFive, 10s), "abcde");
  pieces.join();
  EXPECT_EQ(
      client.ReadAnswer([](std::string_view bytes) { return bytes.size() >= 1 ? std::size_t{1} : 0; }, 10s),
      "f")
      << "the rest of a segment is the next answer";
  EXPECT_EQ(client.TakeWaiting(), "g");
  EXPECT_EQ(client.TakeWaiting(), "");

  peer.Send("xy");
  EXPECT_EQ(client.ReadAnswer(atFive, 50ms), "xy") << "the pause ends an answer that stops short";
  EXPECT_TRUE(client.Connected());
}

} // namespace
