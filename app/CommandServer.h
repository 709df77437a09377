#pragma once
// The command server: another program creates and drives processes through
// a line-based text protocol over TCP. Every client connection gets a new
// loader of its own, which is handed over to the window (and becomes an
// ordinary process row there); the connection then configures, starts, stops
// and watches that loader with one command per transmission.
//
// The protocol has no authentication and the server listens on every local
// address: keep its port inside a trusted network.
//
// Threads: the handlers run on the connection's own thread only. A loader
// that the window frees while its connection is still open is forgotten by
// the connection first (TQuorlan::FOnFree), under the same lock that every
// command holds while it touches the loader; the lock is never held while a
// reply is written, so freeing a loader never waits for a slow client.
#include "app/DescriptorBudget.h"
#include "app/ProcessPlaces.h"
#include "link/ModBusDevice.h" // TLogEvent
#include "loader/Quorlan.h"
#include "platform/TcpServer.h"
#include "platform/Thread.h"

#include <cstddef>
#include <functional>
#include <string>

namespace app {

namespace texts {
// Произошло подключение по внешнему клиентскому соединению
inline constexpr char SRemoteConnected[] =
    "\xCF\xF0\xEE\xE8\xE7\xEE\xF8\xEB\xEE \xEF\xEE\xE4\xEA\xEB\xFE\xF7\xE5\xED\xE8\xE5 \xEF\xEE "
    "\xE2\xED\xE5\xF8\xED\xE5\xEC\xF3 \xEA\xEB\xE8\xE5\xED\xF2\xF1\xEA\xEE\xEC\xF3 "
    "\xF1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xFE";
// Клиентское соединение закрыто!
inline constexpr char SRemoteDisconnected[] =
    "\xCA\xEB\xE8\xE5\xED\xF2\xF1\xEA\xEE\xE5 \xF1\xEE\xE5\xE4\xE8\xED\xE5\xED\xE8\xE5 \xE7\xE0\xEA\xF0\xFB\xF2\xEE!";
} // namespace texts

// The replies, each sent followed by CR LF.
inline constexpr char SReplyReady[] = "204 Quorlan2 ready";
inline constexpr char SReplyOk[] = "200 Ok";
inline constexpr char SReplyGoodbye[] = "201 Goodbye";
inline constexpr char SReplyStatusOk[] = "202 Ok";
inline constexpr char SReplyBadLine[] = "400 Error in command line";
inline constexpr char SReplyExecuteError[] = "401 Execute error";

class TCommandServer {
public:
  // Takes ownership of each loader a connection makes, with the place taken
  // for it (none where the server has no places); called on the
  // connection's thread. When it raises, the loader it was given is freed,
  // its place goes back, and the connection goes on without a loader (its
  // input gets no answer).
  using THandOver = std::function<void(TPlacedLoader Process)>;
  // A hand-over of the loader alone, for an owner that keeps no places: a
  // place taken for the loader goes back as soon as the hand-over returns.
  using TLoaderHandOver = std::function<void(platform::TThreadPtr<loader::TQuorlan> L)>;

  // The default port of the settings file.
  static constexpr int DefaultCommandPort = 9111;
  // A command line longer than this is answered "400 Error in command line"
  // and dropped whole, never kept.
  static constexpr std::size_t MaxLineLength = 64 * 1024;
  // Connections served at once by default; one more gets "401 Execute
  // error" instead of the greeting and is closed, and no loader is made for
  // it.
  static constexpr std::size_t MaxConnections = 32;

  // Port: the port to listen on (0: one the system chooses). HandOver: where
  // new loaders go; empty: connections get no loader and no greeting.
  // DeviceLog: installed as the log callback of each new loader's device.
  // ConnectionLimit: the connections served at once (a load benchmark raises
  // it; 0 sets no bound). Places: where each connection takes a place for its
  // loader before making it (none: no bound); with every place taken a new
  // client gets "401 Execute error" instead of the greeting and is closed,
  // and no loader is made for it. Budget: what "SET STATUS=START" may start
  // (none: no bound). A loader it leaves idle for want of descriptors says so
  // in its log and its client gets "401 Execute error"; while the server
  // exists the budget keeps room for its clients still to come.
  TCommandServer(int Port, THandOver HandOver, TLogEvent DeviceLog,
                 std::size_t ConnectionLimit = MaxConnections, TProcessPlaces *Places = nullptr,
                 TDescriptorBudget *Budget = nullptr);
  TCommandServer(int Port, TLoaderHandOver HandOver, TLogEvent DeviceLog,
                 std::size_t ConnectionLimit = MaxConnections, TProcessPlaces *Places = nullptr,
                 TDescriptorBudget *Budget = nullptr);
  ~TCommandServer(); // deactivates, then lets go of the budget
  TCommandServer(const TCommandServer &) = delete;
  TCommandServer &operator=(const TCommandServer &) = delete;

  // Activation listens on every local address and raises platform::TcpError
  // when the port cannot be bound (the server stays inactive). Deactivation
  // closes every connection and waits for their threads; their loaders stay
  // with their new owner.
  void SetActive(bool Value);
  bool Active() const { return FServer.Active(); }
  int BoundPort() const { return FServer.BoundPort(); }
  std::size_t ConnectionCount() const { return FServer.ConnectionCount(); }

  // The handlers, on the connection's thread.
  void CommandServerConnect(platform::TcpConnection &AContext);
  void CommandServerExecute(platform::TcpConnection &AContext);
  void CommandServerDisconnect(platform::TcpConnection &AContext);

private:
  const THandOver FHandOver;
  const TLogEvent FDeviceLog;
  TProcessPlaces *const FPlaces;
  TDescriptorBudget *const FBudget;
  platform::TcpServer FServer; // last: its threads end before the rest goes
};

} // namespace app
