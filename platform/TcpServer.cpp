#include "platform/TcpServer.h"

#include "platform/FileDescriptor.h"
#include "platform/Synchronize.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {
namespace {

bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// A peer that vanishes without a word (its host gone, a cable pulled) would
// hold its connection and its place for good: after 60 s of silence the
// system probes it every 10 s, and after 3 unanswered probes the connection
// fails and ends. Where an option cannot be set the connection goes on
// without it.
void KeepAlive(int fd)
{
  const int on = 1, idle = 60, interval = 10, count = 3;
  ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

} // namespace

// --- TcpConnection ---------------------------------------------------------

TcpConnection::TcpConnection(int Socket, std::string PeerAddress)
    : FSocket(Socket), FPeerAddress(std::move(PeerAddress))
{
}

TcpConnection::~TcpConnection() { CloseSocket(); }

void TcpConnection::MarkClosed()
{
  // shutdown() wakes a poll() or send() that another thread is blocked in.
  // The lock keeps the descriptor from being closed (and its number reused
  // by some other file) in between.
  FOpen = false;
  FCounted = false;
  const std::lock_guard lock(FSocketLock);
  if (FSocket >= 0)
    ::shutdown(FSocket, SHUT_RDWR);
}

void TcpConnection::CloseSocket()
{
  const std::lock_guard lock(FSocketLock);
  if (FSocket >= 0)
    ::close(FSocket);
  FSocket = -1;
}

void TcpConnection::PeerFinished()
{
  FPeerFinished = true;
  FCounted = false;
}

bool TcpConnection::PeerHasEnded()
{
  const std::lock_guard lock(FSocketLock);
  if (FSocket < 0)
    return true;
  pollfd entry{FSocket, POLLRDHUP, 0};
  return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

bool TcpConnection::WaitForInput(int TimeoutMs)
{
  // Once the peer has finished sending no input can come any more (and
  // poll() would report the socket readable without end).
  while (FOpen && !FPeerFinished) {
    pollfd entry{FSocket, POLLIN, 0};
    const int ready = ::poll(&entry, 1, TimeoutMs < 0 ? -1 : TimeoutMs);
    if (ready == 0)
      return false;
    if (ready < 0) {
      if (errno != EINTR)
        MarkClosed();
      continue; // after a signal the wait starts anew
    }
    // Readable but empty means the peer has finished sending
    // (InputBufferIsEmpty notes that), or a wake-up with nothing to read.
    if (!InputBufferIsEmpty())
      return true;
  }
  return false;
}

bool TcpConnection::InputBufferIsEmpty()
{
  char byte;
  const ssize_t got = ::recv(FSocket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (got > 0)
    return false;
  if (got == 0)
    PeerFinished(); // replies can still go out
  else if (!WouldBlock(errno) && errno != EINTR)
    MarkClosed(); // the connection broke
  return true;
}

std::string TcpConnection::ReadAvailable(std::size_t MaxBytes)
{
  ++FReads;
  std::string data;
  char buffer[4096];
  while (data.size() < MaxBytes) {
    const std::size_t wanted = std::min(sizeof buffer, MaxBytes - data.size());
    const ssize_t got = ::recv(FSocket, buffer, wanted, MSG_DONTWAIT);
    if (got > 0) {
      data.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR)
      continue;
    if (got == 0)
      PeerFinished(); // the reply to what came before still goes out
    else if (!WouldBlock(errno))
      MarkClosed();
    break;
  }
  return data;
}

void TcpConnection::Write(std::string_view Bytes)
{
  if (!FOpen)
    throw TcpError("Not connected.");
  if (!SendAll(FSocket, Bytes)) {
    const int error = errno;
    MarkClosed();
    throw SocketError("Write failed", error);
  }
}

void TcpConnection::WriteLn(std::string_view Line)
{
  std::string text(Line);
  text += "\r\n";
  Write(text);
}

void TcpConnection::Disconnect() { MarkClosed(); }

void TcpConnection::WriteLastLn(std::string_view Line)
{
  FCounted = false;
  try {
    WriteLn(Line);
  } catch (...) {
    MarkClosed();
    throw;
  }
  MarkClosed();
}

// --- TcpServer -------------------------------------------------------------

TcpServer::TcpServer() = default;

TcpServer::~TcpServer() { Deactivate(); }

void TcpServer::SetMaxConnections(std::size_t Max, std::string RefusalLine)
{
  const std::lock_guard lock(FLock);
  FMaxConnections = Max;
  FRefusalLine = std::move(RefusalLine);
}

void TcpServer::SetActive(bool Value)
{
  if (Value)
    Activate();
  else
    Deactivate();
}

std::size_t TcpServer::ConnectionCount() const
{
  const std::lock_guard lock(FLock);
  return CountedLocked();
}

std::size_t TcpServer::CountedLocked() const
{
  std::size_t count = 0;
  for (const auto &entry : FEntries)
    count += entry->Connection->FCounted ? 1 : 0;
  return count;
}

std::size_t TcpServer::DescriptorsForClients() const
{
  const std::lock_guard lock(FLock);
  const std::size_t counted = CountedLocked();
  return FMaxConnections == 0 || counted >= FMaxConnections ? 1 : FMaxConnections - counted + 1;
}

bool TcpServer::RoomForOneMore()
{
  if (FMaxConnections == 0 || CountedLocked() < FMaxConnections)
    return true;
  // A peer that has just closed or reset its connection and connects again
  // comes in here before (or while) the old connection's thread sees the
  // end: its old connection is not counted any more.
  for (const auto &entry : FEntries)
    if (entry->Connection->FCounted && entry->Connection->PeerHasEnded())
      entry->Connection->FCounted = false;
  return CountedLocked() < FMaxConnections;
}

void TcpServer::Activate()
{
  if (Active())
    return;
  if (DefaultPort < 0 || DefaultPort > 65535)
    throw TcpError("Cannot listen on port " + std::to_string(DefaultPort) + ": no such port.");
  const std::string what = "Cannot listen on port " + std::to_string(DefaultPort);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0)
    throw SocketError(what, errno);
  const int yes = 1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<std::uint16_t>(DefaultPort));
  socklen_t length = sizeof address;
  // SO_REUSEADDR lets a restarted program listen again while old connections
  // linger; a port that another program listens on is still refused.
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
      ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
      ::listen(fd, SOMAXCONN) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    const int error = errno;
    ::close(fd);
    throw SocketError(what, error);
  }
  FWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FWake < 0) {
    const int error = errno;
    ::close(fd);
    throw SocketError(what, error);
  }
  FListen = fd;
  FBoundPort = ntohs(address.sin_port);
  try {
    FAcceptThread = std::thread([this] { AcceptLoop(); });
  } catch (const std::system_error &error) {
    ::close(FWake);
    ::close(FListen);
    FListen = FWake = -1;
    throw TcpError(what + ": " + error.what());
  }
}

void TcpServer::Deactivate()
{
  if (!Active())
    return;
  {
    const std::lock_guard lock(FLock);
    for (const auto &entry : FEntries)
      if (entry->Thread.get_id() == std::this_thread::get_id())
        throw std::logic_error("A TCP server cannot be deactivated from its own handler.");
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t woken = ::write(FWake, &one, sizeof one);
  FAcceptThread.join(); // from here on no connection is added

  std::vector<std::unique_ptr<Entry>> entries;
  {
    const std::lock_guard lock(FLock);
    entries.swap(FEntries);
  }
  for (const auto &entry : entries)
    entry->Connection->MarkClosed();
  if (IsMainThread()) {
    // A handler may itself wait for the main thread (it frees an object
    // whose thread waits in Synchronize): serve such calls meanwhile.
    WaitServingSynchronize([&entries] {
      return std::all_of(entries.begin(), entries.end(),
                         [](const auto &entry) { return entry->Done.load(); });
    });
  }
  for (const auto &entry : entries)
    entry->Thread.join();
  ::close(FWake);
  ::close(FListen);
  FListen = FWake = -1;
}

void TcpServer::AcceptLoop()
{
  for (;;) {
    pollfd entries[2] = {{FListen, POLLIN, 0}, {FWake, POLLIN, 0}};
    const int ready = ::poll(entries, 2, -1);
    if (ready < 0 && errno != EINTR)
      return; // cannot happen with valid descriptors
    if (entries[1].revents != 0)
      return;
    if (entries[0].revents == 0)
      continue;
    try {
      Accept();
    } catch (...) {
      // Out of memory for one client: it is dropped, the server goes on.
    }
  }
}

void TcpServer::Accept()
{
  sockaddr_in address{};
  socklen_t length = sizeof address;
  const int fd = ::accept4(FListen, reinterpret_cast<sockaddr *>(&address), &length, SOCK_CLOEXEC);
  if (fd < 0) {
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      // Out of resources: the client stays queued; look again a little later
      // instead of spinning (a wake-up for deactivation ends the wait).
      pollfd wake{FWake, POLLIN, 0};
      ::poll(&wake, 1, 100);
    }
    return;
  }
  char text[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  const std::string peer = std::string(text) + ":" + std::to_string(ntohs(address.sin_port));

  const std::lock_guard lock(FLock);
  ReapFinished();
  if (!RoomForOneMore()) {
    if (!FRefusalLine.empty()) {
      const std::string line = FRefusalLine + "\r\n";
      // Never wait for the refused client: what fits in the buffer is sent.
      [[maybe_unused]] const ssize_t sent = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    return;
  }
  KeepAlive(fd);
  auto entry = std::make_unique<Entry>();
  entry->Connection.reset(new TcpConnection(fd, peer));
  Entry &started = *entry;
  try {
    FEntries.push_back(std::move(entry));
    started.Thread = std::thread([this, &started] { Serve(started); });
  } catch (const std::exception &) {
    // No thread for it: the client is closed at once.
    if (!FEntries.empty() && FEntries.back().get() == &started)
      FEntries.pop_back();
  }
}

void TcpServer::ReapFinished()
{
  std::erase_if(FEntries, [](const std::unique_ptr<Entry> &entry) {
    if (!entry->Done)
      return false;
    entry->Thread.join(); // it has finished: this returns at once
    return true;
  });
}

void TcpServer::Serve(Entry &entry)
{
  TcpConnection &connection = *entry.Connection;
  try {
    if (OnConnect)
      OnConnect(connection);
    // A peer that has finished sending (a half-close) still gets the
    // replies to what it sent; the connection ends once those are written.
    while (connection.Connected() && !connection.FPeerFinished) {
      if (!connection.WaitForInput(-1))
        continue; // the connection has ended: the loop stops
      const std::size_t readsBefore = connection.FReads;
      int waiting = 0;
      if (::ioctl(connection.FSocket, FIONREAD, &waiting) != 0)
        waiting = 0;
      if (OnExecute)
        OnExecute(connection);
      if (connection.FReads == readsBefore) {
        // The handler left the input alone: drop what it was called for, or
        // it would be called again at once for the same bytes. Bytes that
        // came in meanwhile stay for the next call.
        connection.ReadAvailable(static_cast<std::size_t>(std::max(waiting, 1)));
      }
    }
  } catch (...) {
    // An escaped exception ends only this connection.
  }
  connection.MarkClosed();
  try {
    if (OnDisconnect)
      OnDisconnect(connection);
  } catch (...) {
  }
  // The connection object stays until the next client comes or the server
  // stops; its socket goes now.
  connection.CloseSocket();
  entry.Done = true;
  NotifyMainThreadWaiters();
}

} // namespace platform
