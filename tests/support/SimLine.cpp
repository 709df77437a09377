#include "support/SimLine.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace sim {
namespace {

void Check(bool ok, const char *what)
{
  if (!ok)
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

void WriteAll(int fd, const std::string &bytes)
{
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == ENOTSOCK) {
      const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (w <= 0)
        return;
      done += static_cast<std::size_t>(w);
      continue;
    }
    if (n <= 0)
      return;
    done += static_cast<std::size_t>(n);
  }
}

} // namespace

std::unique_ptr<SimLine> SimLine::OpenPty(const std::string &dir, int number)
{
  std::unique_ptr<SimLine> line(new SimLine);
  line->FFd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  Check(line->FFd >= 0, "posix_openpt");
  Check(::grantpt(line->FFd) == 0 && ::unlockpt(line->FFd) == 0, "unlockpt");
  char name[256];
  Check(::ptsname_r(line->FFd, name, sizeof name) == 0, "ptsname_r");
  line->FSlavePath = name;
  line->FSlaveFd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  Check(line->FSlaveFd >= 0, "open pty slave");
  termios raw{};
  Check(::tcgetattr(line->FSlaveFd, &raw) == 0, "tcgetattr");
  ::cfmakeraw(&raw);
  Check(::tcsetattr(line->FSlaveFd, TCSANOW, &raw) == 0, "tcsetattr");
  line->FLinkPath = dir + "/com" + std::to_string(number);
  ::unlink(line->FLinkPath.c_str());
  Check(::symlink(name, line->FLinkPath.c_str()) == 0, "symlink");
  line->Start();
  return line;
}

std::unique_ptr<SimLine> SimLine::ListenTcp(int port)
{
  std::unique_ptr<SimLine> line(new SimLine);
  line->FListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  Check(line->FListenFd >= 0, "socket");
  if (port != 0) { // a fixed port is taken again at once after a restart
    const int on = 1;
    Check(::setsockopt(line->FListenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0, "setsockopt");
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  Check(::bind(line->FListenFd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0, "bind");
  Check(::listen(line->FListenFd, 4) == 0, "listen");
  socklen_t len = sizeof addr;
  Check(::getsockname(line->FListenFd, reinterpret_cast<sockaddr *>(&addr), &len) == 0, "getsockname");
  line->FPort = ntohs(addr.sin_port);
  line->Start();
  return line;
}

void SimLine::Start()
{
  Check(::pipe2(FWake, O_CLOEXEC) == 0, "pipe2");
  FThread = std::thread([this] { Serve(); });
}

SimLine::~SimLine()
{
  FStop = true;
  if (FWake[1] >= 0)
    (void)!::write(FWake[1], "x", 1);
  if (FThread.joinable())
    FThread.join();
  for (int fd : {FFd, FSlaveFd, FListenFd, FWake[0], FWake[1]})
    if (fd >= 0)
      ::close(fd);
  if (!FLinkPath.empty())
    ::unlink(FLinkPath.c_str());
}

std::shared_ptr<SimMeter> SimLine::AddMeter(MeterConfig config)
{
  auto meter = std::make_shared<SimMeter>(config);
  std::lock_guard lock(FLock);
  FMeters.push_back(meter);
  return meter;
}

bool SimLine::LineSettings(unsigned &Speed, unsigned &ControlFlags) const
{
  termios t{};
  if (FSlaveFd < 0 || ::tcgetattr(FSlaveFd, &t) != 0)
    return false;
  Speed = static_cast<unsigned>(::cfgetospeed(&t));
  ControlFlags = static_cast<unsigned>(t.c_cflag);
  return true;
}

void SimLine::DropConnection() { FDrop = true; }

std::string SimLine::Received() const
{
  std::lock_guard lock(FLock);
  return FReceived;
}

std::vector<std::string> SimLine::Frames() const
{
  std::lock_guard lock(FLock);
  return FFrames;
}

std::vector<SimLine::FrameTimes> SimLine::Times() const
{
  std::lock_guard lock(FLock);
  return FTimes;
}

SimLine::Clock::duration SimLine::WireTime(std::size_t bytes) const
{
  const unsigned baud = FBaud;
  if (baud == 0)
    return {};
  return std::chrono::duration_cast<Clock::duration>(
      std::chrono::nanoseconds(static_cast<std::int64_t>(bytes) * 11 * 1'000'000'000 / baud));
}

SimLine::FrameTimes SimLine::Arrival(std::size_t buffered, std::size_t length)
{
  // The request's last byte arrived as many byte times before the last byte
  // held as there are bytes after it.
  FrameTimes times;
  times.Start = FRxStart;
  times.Complete = FRxEnd - WireTime(buffered - length);
  times.Answered = times.Written = times.Complete;
  FRxStart = times.Complete;
  if (FBaud != 0)
    std::this_thread::sleep_until(times.Complete);
  return times;
}

void SimLine::Reply(int fd, const std::string &answer)
{
  // The answer leaves as soon as its request is complete; the line's own
  // lateness in waking up does not delay it further.
  auto answered = Clock::now();
  std::optional<Clock::time_point> start;
  if (FBaud != 0) {
    {
      std::lock_guard lock(FLock);
      if (!FTimes.empty())
        answered = FTimes.back().Complete;
    }
    start = answered;
    answered += WireTime(answer.size());
  }
  WritePieces(fd, answer, start);
  const auto written = Clock::now();
  std::lock_guard lock(FLock);
  if (!FTimes.empty()) {
    FTimes.back().Answered = answered;
    FTimes.back().Written = written;
    FTimes.back().AnswerBytes = answer.size();
  }
}

void SimLine::WritePieces(int fd, const std::string &answer, std::optional<Clock::time_point> Start)
{
  std::vector<std::size_t> ends; // where each piece ends
  const Pieces how = FListenFd >= 0 && answer.size() > 1 ? FPieces.load() : Pieces::Whole;
  if (how == Pieces::EveryByte) {
    for (std::size_t i = 1; i <= answer.size(); ++i)
      ends.push_back(i);
  } else if (how == Pieces::RandomSplit) {
    ends.push_back(std::uniform_int_distribution<std::size_t>(1, answer.size() - 1)(FRandom));
    ends.push_back(answer.size());
  } else {
    ends.push_back(answer.size());
  }
  std::size_t done = 0;
  for (const std::size_t end : ends) {
    if (Start)
      std::this_thread::sleep_until(*Start + WireTime(end));
    else if (done > 0)
      std::this_thread::sleep_for(FPieceGap.load());
    WriteAll(fd, answer.substr(done, end - done));
    done = end;
  }
}

void SimLine::Serve()
{
  std::string buffer;
  auto lastByte = Clock::now();
  while (!FStop) {
    pollfd fds[2] = {{FWake[0], POLLIN, 0}, {-1, POLLIN, 0}};
    const bool listening = FListenFd >= 0 && FFd < 0;
    fds[1].fd = listening ? FListenFd : FFd;
    if (::poll(fds, 2, 20) < 0 && errno != EINTR)
      return;
    if (fds[0].revents)
      return;
    if (FDrop.exchange(false) && FListenFd >= 0 && FFd >= 0) {
      ::close(FFd);
      FFd = -1;
      continue;
    }
    if (listening) {
      if (fds[1].revents & POLLIN)
        FFd = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (FFd >= 0 && FPieces != Pieces::Whole) { // every piece a segment of its own
        const int on = 1;
        ::setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      }
      buffer.clear();
      continue;
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      char chunk[4096];
      const ssize_t n = ::read(FFd, chunk, sizeof chunk);
      if (n <= 0) {
        if (FListenFd >= 0) { // the gateway's client went away: wait for the next
          ::close(FFd);
          FFd = -1;
        }
        continue;
      }
      lastByte = Clock::now();
      // On a paced line the bytes follow one another at the wire's rate.
      const auto wireFree = std::max(lastByte, FRxEnd);
      if (buffer.empty())
        FRxStart = wireFree;
      FRxEnd = wireFree + WireTime(static_cast<std::size_t>(n));
      buffer.append(chunk, static_cast<std::size_t>(n));
      {
        std::lock_guard lock(FLock);
        FReceived.append(chunk, static_cast<std::size_t>(n));
      }
      Handle(FFd, buffer);
    } else if (!buffer.empty() && Clock::now() - lastByte > std::chrono::milliseconds(200)) {
      buffer.clear(); // a torn request: the line fell silent
    }
  }
}

void SimLine::Handle(int fd, std::string &buffer)
{
  for (;;) {
    const int length = RequestLength(buffer);
    if (length == 0)
      return;
    if (length < 0) { // not a request: look for one further on
      buffer.erase(0, 1);
      FRxStart += WireTime(1);
      continue;
    }
    const std::string request = buffer.substr(0, static_cast<std::size_t>(length));
    const FrameTimes times = Arrival(buffer.size(), request.size());
    buffer.erase(0, static_cast<std::size_t>(length));
    std::vector<std::shared_ptr<SimMeter>> meters;
    {
      std::lock_guard lock(FLock);
      FFrames.push_back(request);
      FTimes.push_back(times);
      meters = FMeters;
    }
    const auto first = static_cast<unsigned char>(request[0]);
    if (first == 0xAA)
      continue; // alert sequences get no answer
    if (first == 0x02 && request.size() > 1 && (request[1] & 0x80)) {
      const std::string answer = AnswerPacket(meters, request);
      if (!answer.empty())
        WritePieces(fd, answer, std::nullopt);
      continue;
    }
    const std::string prefix = request.substr(0, first == 0xFC ? 5 : 1);
    for (const auto &meter : meters) {
      if (meter->Addressed(prefix)) {
        const std::string answer = meter->Answer(request);
        if (!answer.empty())
          Reply(fd, answer);
        break;
      }
    }
  }
}

} // namespace sim
