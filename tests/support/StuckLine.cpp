#include "support/StuckLine.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace testsupport {

StuckLine::StuckLine(const std::string &Dir, int ComNumber)
{
  FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0)
    throw std::runtime_error("no pseudo-terminal");
  const std::string slave = ptsname(FMaster);
  FFiller = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  FStop = eventfd(0, EFD_CLOEXEC);
  if (FFiller < 0 || FStop < 0)
    throw std::runtime_error("cannot open the slave");
  termios tio{};
  tcgetattr(FFiller, &tio);
  cfmakeraw(&tio);
  tcsetattr(FFiller, TCSANOW, &tio);
  FLink = Dir + "/com" + std::to_string(ComNumber);
  unlink(FLink.c_str());
  if (symlink(slave.c_str(), FLink.c_str()) != 0)
    throw std::runtime_error("cannot link " + FLink);
  FThread = std::thread([this] { Fill(); });
}

StuckLine::~StuckLine()
{
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(FStop, &one, sizeof one);
  FThread.join();
  unlink(FLink.c_str());
  for (const int fd : {FFiller, FMaster, FStop})
    close(fd);
}

void StuckLine::Fill()
{
  const std::string junk(4096, '\x55');
  // The kernel moves what was written on to the master's side a little
  // later, which makes room for a while: the line counts as full once
  // several looks in a row, some milliseconds apart, found no room at all.
  constexpr int FullLooks = 3;
  int emptyLooks = 0;
  for (;;) {
    pollfd fds[2] = {{FFiller, POLLOUT, 0}, {FStop, POLLIN, 0}};
    // A purge empties the buffer, which poll does not always report: look
    // again every few milliseconds.
    if (poll(fds, 2, 5) < 0 || (fds[1].revents & POLLIN) != 0)
      return;
    bool wrote = false;
    while (write(FFiller, junk.data(), junk.size()) > 0)
      wrote = true;
    emptyLooks = wrote ? 0 : emptyLooks + 1;
    if (emptyLooks >= FullLooks)
      FFilled = true;
  }
}

} // namespace testsupport
