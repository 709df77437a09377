#pragma once
// A TCP client connection to one host, as the loader uses it to reach a
// serial gateway: connect with a bounded wait, write a byte string whole, and
// read whatever has arrived within the read time-out.
//
// One thread uses a client at a time (the loader's own thread while it runs,
// the thread that frees it afterwards). Port and ReadTimeout are atomic so
// that the window may show them while another thread changes them; Host is a
// text and is guarded by its owner.
#include "platform/Watched.h"

#include <atomic>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

// A socket operation failed; the message says which and why.
class TcpError : public std::runtime_error
{
public:
  using std::runtime_error::runtime_error;
};

// A TcpError whose message is What, a colon and the system's text of Error.
TcpError SocketError(std::string_view What, int Error);

class TcpClient
{
public:
  TcpClient() = default;
  ~TcpClient();
  TcpClient(const TcpClient &) = delete;
  TcpClient &operator=(const TcpClient &) = delete;

  std::string Host;                    // host name or dotted IPv4 address
  TWatched<int> Port{0};               // 1 to 65535; its owner may watch it
  std::atomic<int> ReadTimeout{0};     // ms that one read waits; 0 or less: no wait
  std::atomic<int> ConnectTimeout{5000}; // ms that Connect waits for the host

  // Connects to Host:Port (IPv4; every address of the name is tried in turn,
  // all within ConnectTimeout). Throws TcpError when connected already, when
  // the name does not resolve, or when no address accepts in time.
  void Connect();

  // True while the connection is open and the peer has not closed it. Data
  // that arrived before the peer closed still counts as connected until read.
  bool Connected();

  // Closes the connection, notifying the peer; nothing when not connected.
  void Disconnect();

  // Writes every byte of Bytes. Throws TcpError when not connected or when
  // the connection fails.
  void Write(std::string_view Bytes);

  // One read: waits until bytes arrive, at most ReadTimeout, then takes
  // every byte that has arrived by then. Empty when nothing came in time.
  // Throws TcpError when not connected, when the peer has closed the
  // connection (the client is then disconnected) or on a socket error.
  std::string ReadAvailable();

private:
  void Close();
  int FSocket = -1;
};

} // namespace platform
