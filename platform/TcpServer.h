#pragma once
// A TCP server listening on every local IPv4 address, one thread per client
// connection. Each connection's thread calls the connect handler once, then
// the execute handler each time input has arrived (it waits in poll() in
// between, never spinning), and the disconnect handler once at the end.
// A peer that half-closes still gets the replies to all it sent; then its
// connection ends.
//
// Deactivation closes every connection and joins every connection thread,
// also while handlers wait for input or are blocked writing; on the main
// thread it serves Synchronize calls meanwhile, so a handler that waits for
// the main thread does not hang it. An exception
// that escapes a handler closes only that handler's connection. Keep-alive
// probes end the connection of a peer that has gone without a word. A
// connection's socket is closed as soon as the connection has ended.
//
// A connection counts against the limit on connections until it has ended:
// closed here, or its peer has closed, reset or half-closed it. The server
// does not wait for the connection's thread to notice: a client over the
// limit is refused only after the server has looked whether the peers of the
// connections it counts are still there, so a client that closes and
// connects again at once finds its old place free.
#include "platform/TcpClient.h" // TcpError

#include <any>
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace platform {

// One client connection, handed to the handlers on its own thread.
class TcpConnection {
public:
  TcpConnection(const TcpConnection &) = delete;
  TcpConnection &operator=(const TcpConnection &) = delete;
  ~TcpConnection();

  // Waits until input has arrived, at most TimeoutMs (negative: no limit).
  // True when bytes wait to be read; false when the time passed, the peer
  // has finished sending (closed or half-closed: writing still works) or
  // the connection has ended (closed here or by deactivation).
  bool WaitForInput(int TimeoutMs);

  // True when no byte waits to be read now.
  bool InputBufferIsEmpty();

  // Takes the bytes that have arrived, at most MaxBytes, without waiting.
  // Empty when nothing is there. More than MaxBytes stays for the next read,
  // so a client that sends without end never fills the server's memory.
  std::string ReadAvailable(std::size_t MaxBytes);

  // Writes Bytes whole, or Line followed by CR LF. Throws TcpError when the
  // connection has ended or the write fails.
  void Write(std::string_view Bytes);
  void WriteLn(std::string_view Line);

  // Ends the connection, notifying the peer. The server calls the disconnect
  // handler once the running handler has returned.
  void Disconnect();

  // Writes Line followed by CR LF as the connection's last words and ends
  // it. The connection stops counting against the limit before the line
  // goes out, so a peer that reads it may connect again at once. Throws
  // like WriteLn (the connection ends all the same).
  void WriteLastLn(std::string_view Line);

  bool Connected() const { return FOpen; }

  // The peer's address as dotted IPv4 text, a colon and the port.
  const std::string &PeerAddress() const { return FPeerAddress; }

  // Free for the application; touched only by this connection's handlers.
  std::any Data;

private:
  friend class TcpServer;
  TcpConnection(int Socket, std::string PeerAddress);
  void MarkClosed();
  void CloseSocket();  // on the connection's thread, once its handlers are done
  void PeerFinished(); // the peer has finished sending; on the connection's thread
  // Any thread: the peer has closed, reset or half-closed the connection,
  // whether or not the connection's thread has seen it yet.
  bool PeerHasEnded();

  // Closed (and -1) as soon as the connection's handlers are done, so that
  // a finished connection holds no descriptor. Only the connection's thread
  // changes it, under FSocketLock; other threads touch it only under the
  // lock (MarkClosed).
  int FSocket;
  std::mutex FSocketLock;
  const std::string FPeerAddress;
  std::atomic<bool> FOpen{true};
  // Counts against the server's limit: neither ended here nor by the peer.
  // Once false it stays false.
  std::atomic<bool> FCounted{true};
  bool FPeerFinished = false; // the peer sent its end; touched on the connection's thread only
  std::size_t FReads = 0;     // ReadAvailable calls, to see whether a handler looked at the input
};

class TcpServer {
public:
  using Handler = std::function<void(TcpConnection &)>;

  TcpServer();
  ~TcpServer(); // deactivates
  TcpServer(const TcpServer &) = delete;
  TcpServer &operator=(const TcpServer &) = delete;

  // Set these before activation; they are not changed while active.
  int DefaultPort = 0; // 0: a free port that the system chooses (see BoundPort)
  Handler OnConnect;
  Handler OnExecute; // input it was called for and left unread is dropped: no spinning
  Handler OnDisconnect;

  // At most Max connections at once (0: no limit). A client over the limit
  // gets RefusalLine followed by CR LF (nothing when it is empty) and is
  // closed at once; no handler runs for it.
  void SetMaxConnections(std::size_t Max, std::string RefusalLine);

  // Activation opens the listening socket on DefaultPort and throws TcpError
  // when that fails (the port is in use, for example); the server stays
  // inactive then. Deactivation must not be asked for from a handler.
  void SetActive(bool Value);
  bool Active() const { return FListen >= 0; }

  // The port listened on while active.
  int BoundPort() const { return FBoundPort; }

  // Connections that count against the limit (see above).
  std::size_t ConnectionCount() const;

  // Descriptors that clients may still take: one for each connection the
  // limit still allows and one to accept and refuse a client over it (with
  // no limit, only that one).
  std::size_t DescriptorsForClients() const;

private:
  struct Entry {
    std::unique_ptr<TcpConnection> Connection;
    std::thread Thread;
    std::atomic<bool> Done{false};
  };

  void Activate();
  void Deactivate();
  void AcceptLoop();
  void Accept();
  void Serve(Entry &entry);
  void ReapFinished();               // with FLock held
  std::size_t CountedLocked() const; // with FLock held
  // With FLock held: true when one more connection is allowed; at the limit
  // it first stops counting the connections whose peers have ended.
  bool RoomForOneMore();

  int FListen = -1;
  int FWake = -1; // eventfd that wakes the accepting thread
  int FBoundPort = 0;
  std::size_t FMaxConnections = 0;
  std::string FRefusalLine;
  std::thread FAcceptThread;
  mutable std::mutex FLock; // guards FEntries
  std::vector<std::unique_ptr<Entry>> FEntries;
};

} // namespace platform
