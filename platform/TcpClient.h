#pragma once
// A TCP client connection to one host, as the loader uses it to reach a
// serial gateway: connect with a bounded wait, write a byte string whole, and
// read an answer that may come in pieces, within the read time-out.
//
// One thread uses a client at a time (the loader's own thread while it runs,
// the thread that frees it afterwards). Port and ReadTimeout are atomic so
// that the window may show them while another thread changes them; Host is a
// text and is guarded by its owner.
#include "platform/Watched.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform {

// A socket operation failed; the message says which and why.
class TcpError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A TcpError whose message is What, a colon and the system's text of Error.
TcpError SocketError(std::string_view What, int Error);

class TcpClient {
public:
  TcpClient() = default;
  ~TcpClient();
  TcpClient(const TcpClient &) = delete;
  TcpClient &operator=(const TcpClient &) = delete;

  std::string Host;                      // host name or dotted IPv4 address
  TWatched<int> Port{0};                 // 1 to 65535; its owner may watch it
  std::atomic<int> ReadTimeout{0};       // ms that one read waits; 0 or less: no wait
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

  // Judges the bytes of an answer read so far: the length of the complete
  // answer they begin with (at most their size), or 0 while it is not
  // complete.
  using AnswerEnd = std::function<std::size_t(std::string_view Bytes)>;

  // Reads one answer that may arrive in pieces: waits for its first byte at
  // most ReadTimeout, then goes on reading until End finds it complete, until
  // Pause passes with no new byte, or until ReadTimeout has passed since the
  // call, whichever comes first. Bytes after a complete answer stay for the
  // next read. Empty when nothing came in time; throws as ReadAvailable.
  std::string ReadAnswer(const AnswerEnd &End, std::chrono::milliseconds Pause);

  // Takes every byte that waits in the connection, without waiting for any
  // (bytes that a read left for the next one included). A close by the peer
  // or a socket error is left for the next read to report.
  std::string TakeWaiting();

private:
  void Close();
  // Appends what the socket holds now, without waiting; 0, or the errno
  // that ended it (-1: the peer has closed the connection).
  int ReceiveWaiting(std::string &Data);
  int FSocket = -1;
  std::string FPending; // read past the end of the last answer
};

} // namespace platform
