#include "PtyPeer.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace testsupport {
namespace {

std::atomic<int> gNextCom{1};

void RemoveDir() { rmdir(PtyPeer::ComDir().c_str()); }

} // namespace

const std::string &PtyPeer::ComDir()
{
  static const std::string dir = [] {
    std::string pattern = "/tmp/quorlan2-com-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("mkdtemp failed");
    setenv("QUORLAN2_COM_DIR", pattern.c_str(), 1);
    std::atexit(RemoveDir);
    return pattern;
  }();
  return dir;
}

PtyPeer::PtyPeer(Handler OnReceive, int ComNumber) : FHandler(std::move(OnReceive))
{
  FComNumber = ComNumber > 0 ? ComNumber : gNextCom.fetch_add(1);
  FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0)
    throw std::runtime_error("posix_openpt failed");
  char name[128];
  if (ptsname_r(FMaster, name, sizeof name) != 0)
    throw std::runtime_error("ptsname failed");
  FSlavePath = name;
  FSlave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (FSlave < 0)
    throw std::runtime_error("cannot open the pty slave");
  termios2 tio{};
  ioctl(FSlave, TCGETS2, &tio);
  tio.c_iflag = 0;
  tio.c_oflag = 0;
  tio.c_lflag = 0;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ioctl(FSlave, TCSETS2, &tio);
  FLinkPath = ComDir() + "/com" + std::to_string(FComNumber);
  unlink(FLinkPath.c_str());
  if (symlink(FSlavePath.c_str(), FLinkPath.c_str()) != 0)
    throw std::runtime_error("cannot link " + FLinkPath);
  FStop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  FThread = std::thread([this] { Run(); });
}

PtyPeer::~PtyPeer()
{
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(FStop, &one, sizeof one);
  FThread.join();
  unlink(FLinkPath.c_str());
  close(FStop);
  close(FSlave);
  close(FMaster);
}

void PtyPeer::SetHandler(Handler OnReceive)
{
  std::lock_guard lock(FLock);
  FHandler = std::move(OnReceive);
}

void PtyPeer::Run()
{
  std::string pending;
  char buffer[4096];
  for (;;) {
    pollfd fds[2] = {{FMaster, POLLIN, 0}, {FStop, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR)
      return;
    if ((fds[1].revents & POLLIN) != 0)
      return;
    if ((fds[0].revents & POLLIN) == 0)
      continue;
    const ssize_t n = read(FMaster, buffer, sizeof buffer);
    if (n <= 0)
      continue;
    Handler handler;
    {
      std::lock_guard lock(FLock);
      FReceived.append(buffer, static_cast<size_t>(n));
      handler = FHandler;
    }
    FArrived.notify_all();
    pending.append(buffer, static_cast<size_t>(n));
    if (!handler) {
      pending.clear();
      continue;
    }
    try {
      handler(*this, pending);
    } catch (...) {
      std::lock_guard lock(FLock);
      ++FHandlerFailures;
    }
  }
}

void PtyPeer::Write(const std::string &Bytes)
{
  std::lock_guard lock(FWriteLock);
  size_t done = 0;
  while (done < Bytes.size()) {
    const ssize_t n = write(FMaster, Bytes.data() + done, Bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd fd{FMaster, POLLOUT, 0};
      poll(&fd, 1, 100);
    } else if (!(n < 0 && errno == EINTR)) {
      throw std::runtime_error("pty write failed");
    }
  }
}

std::string PtyPeer::Received() const
{
  std::lock_guard lock(FLock);
  return FReceived;
}

void PtyPeer::ClearReceived()
{
  std::lock_guard lock(FLock);
  FReceived.clear();
}

bool PtyPeer::WaitReceived(size_t Count, std::chrono::milliseconds Timeout) const
{
  std::unique_lock lock(FLock);
  return FArrived.wait_for(lock, Timeout, [&] { return FReceived.size() >= Count; });
}

LineSettings PtyPeer::Settings() const
{
  termios2 tio{};
  ioctl(FSlave, TCGETS2, &tio);
  LineSettings s;
  s.Baud = tio.c_ospeed;
  static const int sizes[] = {5, 6, 7, 8};
  s.DataBits = sizes[(tio.c_cflag & CSIZE) >> 4];
  s.ParityEnabled = (tio.c_cflag & PARENB) != 0;
  s.ParityOdd = (tio.c_cflag & PARODD) != 0;
  s.MarkSpace = (tio.c_cflag & CMSPAR) != 0;
  s.TwoStopBits = (tio.c_cflag & CSTOPB) != 0;
  s.ParityCheck = (tio.c_iflag & INPCK) != 0;
  s.Raw = (tio.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (tio.c_oflag & OPOST) == 0;
  return s;
}

int PtyPeer::PendingToSlave() const
{
  int n = 0;
  ioctl(FSlave, FIONREAD, &n);
  return n;
}

int PtyPeer::HandlerFailures() const
{
  std::lock_guard lock(FLock);
  return FHandlerFailures;
}

} // namespace testsupport
