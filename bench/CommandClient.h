#pragma once
// A client of the command server for the benchmarks: one connection on
// 127.0.0.1; a reply that does not come within ten seconds fails it instead
// of hanging the run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>
#include <string>

class TCommandClient {
public:
  explicit TCommandClient(int Port)
  {
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FFd < 0)
      throw std::runtime_error("no socket");
    const timeval Timeout{10, 0};
    ::setsockopt(FFd, SOL_SOCKET, SO_RCVTIMEO, &Timeout, sizeof Timeout);
    sockaddr_in Address{};
    Address.sin_family = AF_INET;
    Address.sin_port = htons(static_cast<std::uint16_t>(Port));
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(FFd, reinterpret_cast<const sockaddr *>(&Address), sizeof Address) != 0) {
      ::close(FFd);
      throw std::runtime_error("cannot connect");
    }
  }
  ~TCommandClient() { ::close(FFd); }
  TCommandClient(const TCommandClient &) = delete;
  TCommandClient &operator=(const TCommandClient &) = delete;

  void Send(const std::string &Bytes)
  {
    if (::send(FFd, Bytes.data(), Bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(Bytes.size()))
      throw std::runtime_error("send failed");
  }

  // The next line with its CR LF.
  std::string ReadLine()
  {
    for (;;) {
      if (const auto End = FBuffer.find("\r\n"); End != std::string::npos) {
        std::string Line = FBuffer.substr(0, End + 2);
        FBuffer.erase(0, End + 2);
        return Line;
      }
      char Chunk[256];
      const ssize_t Got = ::recv(FFd, Chunk, sizeof Chunk, 0);
      if (Got < 0 && errno == EINTR)
        continue;
      if (Got <= 0)
        throw std::runtime_error(Got == 0 ? "connection closed" : "no reply in time");
      FBuffer.append(Chunk, static_cast<std::size_t>(Got));
    }
  }

  // Sends one command and gives its reply, without its CR LF.
  std::string Ask(const std::string &Command)
  {
    Send(Command);
    return WithoutLineEnd(ReadLine());
  }

  static std::string WithoutLineEnd(const std::string &Line) { return Line.substr(0, Line.size() - 2); }

private:
  int FFd = -1;
  std::string FBuffer;
};
