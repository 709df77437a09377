#include "platform/TcpClient.h"

#include "platform/FileDescriptor.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// One read takes at most this much; what is left waits for the next read.
constexpr std::size_t MaxReadBytes = 65536;

// Rounded up: a wait cut down to whole milliseconds would end before its time.
int MillisecondsUntil(Clock::time_point deadline)
{
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for Events on Fd until Deadline; the poll result (0 = time passed).
int PollUntil(int fd, short events, Clock::time_point deadline)
{
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, MillisecondsUntil(deadline));
    if (ready >= 0 || errno != EINTR)
      return ready;
  }
}

// Connects a new non-blocking socket to Address within Deadline; the socket,
// or -1 with errno set.
int ConnectOne(const addrinfo &address, Clock::time_point deadline)
{
  const int fd =
      ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address.ai_protocol);
  if (fd < 0)
    return -1;
  int error = 0;
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      const int ready = PollUntil(fd, POLLOUT, deadline);
      socklen_t length = sizeof error;
      if (ready < 0)
        error = errno;
      else if (ready == 0)
        error = ETIMEDOUT;
      else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        error = errno;
    }
  }
  // Reads wait in poll(); writes block until the bytes are handed on.
  if (error == 0 && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
    error = errno;
  if (error != 0) {
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

} // namespace

TcpError SocketError(std::string_view What, int Error)
{
  return TcpError(std::string(What) + ": " + std::strerror(Error));
}

TcpClient::~TcpClient() { Close(); }

void TcpClient::Close()
{
  if (FSocket >= 0)
    ::close(FSocket);
  FSocket = -1;
  FPending.clear();
}

void TcpClient::Connect()
{
  if (Connected())
    throw TcpError("Already connected.");
  Close(); // a connection that the peer has closed

  const int port = Port;
  const std::string where = Host + ":" + std::to_string(port);
  if (Host.empty() || port < 1 || port > 65535)
    throw TcpError("Cannot connect to \"" + where + "\": no such host or port.");
  const auto deadline = Clock::now() + std::chrono::milliseconds(ConnectTimeout.load());

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *addresses = nullptr;
  const int resolved = ::getaddrinfo(Host.c_str(), std::to_string(port).c_str(), &hints, &addresses);
  if (resolved != 0)
    throw TcpError("Cannot connect to " + where + ": " + ::gai_strerror(resolved));
  int error = ETIMEDOUT;
  for (const addrinfo *address = addresses; address != nullptr && FSocket < 0; address = address->ai_next) {
    FSocket = ConnectOne(*address, deadline);
    if (FSocket < 0)
      error = errno;
  }
  ::freeaddrinfo(addresses);
  if (FSocket < 0)
    throw SocketError("Cannot connect to " + where, error);
}

bool TcpClient::Connected()
{
  if (FSocket < 0)
    return false;
  if (!FPending.empty())
    return true;
  char byte;
  const ssize_t got = ::recv(FSocket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (got > 0 || (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)))
    return true;
  Close(); // closed by the peer, or broken
  return false;
}

void TcpClient::Disconnect() { Close(); }

void TcpClient::Write(std::string_view Bytes)
{
  if (FSocket < 0)
    throw TcpError("Not connected.");
  if (!SendAll(FSocket, Bytes))
    throw SocketError("Write failed", errno);
}

int TcpClient::ReceiveWaiting(std::string &Data)
{
  char buffer[4096];
  while (Data.size() < MaxReadBytes) {
    const ssize_t got =
        ::recv(FSocket, buffer, std::min(sizeof buffer, MaxReadBytes - Data.size()), MSG_DONTWAIT);
    if (got > 0) {
      Data.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    const int error = got == 0 ? -1 : errno;
    if (error == EINTR)
      continue;
    return error == EAGAIN || error == EWOULDBLOCK ? 0 : error;
  }
  return 0;
}

std::string TcpClient::ReadAvailable()
{
  return ReadAnswer([](std::string_view Bytes) { return Bytes.size(); }, std::chrono::milliseconds(0));
}

std::string TcpClient::ReadAnswer(const AnswerEnd &End, std::chrono::milliseconds Pause)
{
  if (FSocket < 0)
    throw TcpError("Not connected.");
  const int timeout = ReadTimeout;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout > 0 ? timeout : 0);
  std::string data;
  data.swap(FPending);
  // The answer as it stands, with what follows its end kept for the next read.
  auto answer = [&](std::size_t length) {
    FPending = data.substr(length);
    data.resize(length);
    return std::move(data);
  };
  for (;;) {
    if (!data.empty()) {
      if (const std::size_t length = End(data); length > 0)
        return answer(std::min(length, data.size()));
      // The read time-out bounds the whole read, also when bytes keep coming.
      if (data.size() >= MaxReadBytes || Clock::now() >= deadline)
        return answer(data.size());
    }
    // The first byte is waited for until the deadline, each further one for
    // the pause at most.
    const auto until = data.empty() ? deadline : std::min(deadline, Clock::now() + Pause);
    const int ready = PollUntil(FSocket, POLLIN, until);
    if (ready < 0)
      throw SocketError("Read failed", errno);
    if (ready == 0)
      return answer(data.size());
    const int error = ReceiveWaiting(data);
    if (error == 0)
      continue;
    if (!data.empty()) { // a close or an error after data shows at the next read
      if (const std::size_t length = End(data); length > 0)
        return answer(std::min(length, data.size()));
      return answer(data.size());
    }
    Close();
    if (error < 0)
      throw TcpError("Connection closed gracefully.");
    throw SocketError("Read failed", error);
  }
}

std::string TcpClient::TakeWaiting()
{
  std::string data;
  data.swap(FPending);
  if (FSocket >= 0)
    ReceiveWaiting(data);
  return data;
}

} // namespace platform
