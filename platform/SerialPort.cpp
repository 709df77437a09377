#include "platform/SerialPort.h"

// termios2 (any baud rate through BOTHER) comes from the kernel headers, which
// cannot be mixed with <termios.h>: this unit uses the ioctls directly.
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

const char kComPrefix[] = "\\\\.\\COM";

int64_t NowUs()
{
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Milliseconds to wait for poll() until DeadlineUs, rounded up; 0 when passed.
int MsUntil(int64_t DeadlineUs)
{
  const int64_t left = DeadlineUs - NowUs();
  if (left <= 0)
    return 0;
  return static_cast<int>(std::min<int64_t>((left + 999) / 1000, INT_MAX));
}

speed_t StandardSpeed(uint32_t Baud)
{
  switch (Baud) {
  case 300:
    return B300;
  case 600:
    return B600;
  case 1200:
    return B1200;
  case 2400:
    return B2400;
  case 4800:
    return B4800;
  case 9600:
    return B9600;
  case 19200:
    return B19200;
  case 38400:
    return B38400;
  case 57600:
    return B57600;
  case 115200:
    return B115200;
  case 230400:
    return B230400;
  case 460800:
    return B460800;
  case 921600:
    return B921600;
  default:
    return BOTHER;
  }
}

void MakeRaw(termios2 &Tio)
{
  Tio.c_iflag = 0;
  Tio.c_oflag = 0;
  Tio.c_lflag = 0;
  Tio.c_cflag &= ~(CRTSCTS | HUPCL);
  Tio.c_cflag |= CREAD | CLOCAL;
  // With O_NONBLOCK, VMIN 1 makes an empty read say EAGAIN, so that a read of
  // 0 bytes means a hung-up line.
  Tio.c_cc[VMIN] = 1;
  Tio.c_cc[VTIME] = 0;
}

void Signal(int WakeFd)
{
  if (WakeFd < 0)
    return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(WakeFd, &one, sizeof one);
}

// The port number of "\\.\COM" followed by 1 to 9 decimal digits; false for
// any other name.
bool ParseComName(const std::string &Name, int32_t &Number)
{
  const std::string prefix = kComPrefix;
  if (Name.size() <= prefix.size() || Name.compare(0, prefix.size(), prefix) != 0 ||
      Name.size() - prefix.size() > 9)
    return false;
  Number = 0;
  for (size_t i = prefix.size(); i < Name.size(); ++i) {
    if (Name[i] < '0' || Name[i] > '9')
      return false;
    Number = Number * 10 + (Name[i] - '0');
  }
  return true;
}

// What an open that failed with Errno ran into: no descriptor left, or Otherwise.
SerialError OpenError(int Errno, SerialError Otherwise)
{
  return Errno == EMFILE || Errno == ENFILE ? SerialError::NoDescriptors : Otherwise;
}

// USB serial adapters hold received bytes back for several milliseconds
// unless asked not to; ports that know no such setting refuse, which is fine.
// The setting outlives the open file: true when it was set here, for Close
// to put back.
bool SetLowLatency(int Fd)
{
  serial_struct serial{};
  if (ioctl(Fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0)
    return false;
  serial.flags |= ASYNC_LOW_LATENCY;
  return ioctl(Fd, TIOCSSERIAL, &serial) == 0;
}

// How a read waits, by the COMMTIMEOUTS rules: MAXDWORD interval with zero
// totals returns what is there; MAXDWORD interval and multiplier with a
// constant wait for the first byte only; otherwise a total of multiplier x
// count + constant (0: none) and an interval between bytes timed from the
// first byte on (0: none).
struct TReadTimes {
  bool Immediate = false;
  bool FirstByte = false;
  int64_t TotalDeadlineUs = INT64_MAX; // INT64_MAX: none
  int64_t IntervalUs = 0;

  TReadTimes(const COMMTIMEOUTS &T, uint32_t Count)
  {
    Immediate = T.ReadIntervalTimeout == MAXDWORD && T.ReadTotalTimeoutMultiplier == 0 &&
                T.ReadTotalTimeoutConstant == 0;
    FirstByte = T.ReadIntervalTimeout == MAXDWORD && T.ReadTotalTimeoutMultiplier == MAXDWORD &&
                T.ReadTotalTimeoutConstant != 0 && T.ReadTotalTimeoutConstant != MAXDWORD;
    const int64_t start = NowUs();
    if (FirstByte) {
      TotalDeadlineUs = start + int64_t{T.ReadTotalTimeoutConstant} * 1000;
    } else if (!Immediate && (T.ReadTotalTimeoutMultiplier != 0 || T.ReadTotalTimeoutConstant != 0)) {
      const uint64_t ms = uint64_t{T.ReadTotalTimeoutMultiplier} * Count + T.ReadTotalTimeoutConstant;
      TotalDeadlineUs = start + static_cast<int64_t>(ms) * 1000;
    }
    IntervalUs = (Immediate || FirstByte) ? 0 : int64_t{T.ReadIntervalTimeout} * 1000;
  }

  // How long poll() may wait for more after Done bytes, the last of them at
  // LastByteUs: -1 without limit, 0 when the read is over.
  int WaitMs(uint32_t Done, int64_t LastByteUs) const
  {
    if (Immediate)
      return 0;
    int64_t deadline = TotalDeadlineUs;
    if (IntervalUs != 0 && Done > 0)
      deadline = std::min(deadline, LastByteUs + IntervalUs);
    return deadline == INT64_MAX ? -1 : MsUntil(deadline);
  }
};

} // namespace

SerialPort::SerialPort() = default;

SerialPort::~SerialPort()
{
  Close();
  CloseWakeCounters();
}

// The wake-up counters exist only while the port is open: a closed port
// holds no descriptor at all.
bool SerialPort::MakeWakeCounters()
{
  std::lock_guard lock(FLock);
  if (FRxWake < 0)
    FRxWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (FTxWake < 0)
    FTxWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return FRxWake >= 0 && FTxWake >= 0;
}

void SerialPort::CloseWakeCounters()
{
  for (std::atomic<int> *wake : {&FRxWake, &FTxWake}) {
    const int fd = wake->exchange(-1);
    if (fd >= 0)
      close(fd);
  }
}

std::string SerialPort::ComDeviceName(int32_t PortNumber) { return kComPrefix + std::to_string(PortNumber); }

std::string SerialPort::ComDevicePath(int32_t PortNumber)
{
  if (PortNumber <= 0)
    return {};
  if (const char *dir = std::getenv("QUORLAN2_COM_DIR"); dir != nullptr && *dir != '\0')
    return std::string(dir) + "/com" + std::to_string(PortNumber);
  return "/dev/ttyS" + std::to_string(PortNumber - 1);
}

bool SerialPort::Fail(SerialError Error, int Errno)
{
  FLastErrno = Errno;
  FLastError = Error;
  return false;
}

std::string SerialPort::LastErrorText() const
{
  const int number = FLastErrno.load();
  switch (FLastError.load()) {
  case SerialError::None:
    return {};
  case SerialError::Aborted:
    return "Aborted";
  case SerialError::TimedOut:
    return "Write not taken in time";
  case SerialError::NotOpen:
    return "Not open";
  default:
    break;
  }
  // The system's own words for the number, in English whatever the locale:
  // the log holds Windows-1251 text.
  if (number == ENOTTY)
    return "Not a tty";
  const char *text = number != 0 ? strerrordesc_np(number) : nullptr;
  return text ? text : "Error " + std::to_string(number);
}

// Gives back what a failed Open took: the port's file (none: -1) and the
// wake-up counters.
bool SerialPort::FailOpen(int Fd, SerialError Error, int Errno)
{
  if (Fd >= 0)
    close(Fd);
  std::lock_guard lock(FLock);
  CloseWakeCounters();
  return Fail(Error, Errno);
}

bool SerialPort::Open(const std::string &Name)
{
  Close();
  int32_t number = 0;
  const std::string path = ParseComName(Name, number) ? ComDevicePath(number) : std::string();
  if (path.empty())
    return Fail(SerialError::NotFound, ENOENT);
  if (!MakeWakeCounters()) {
    const int error = errno;
    return FailOpen(-1, OpenError(error, SerialError::Io), error);
  }

  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    return FailOpen(-1, error == EBUSY ? SerialError::Busy : OpenError(error, SerialError::NotFound), error);
  }
  termios2 tio{};
  if (ioctl(fd, TCGETS2, &tio) != 0)
    return FailOpen(fd, SerialError::NotFound, ENOTTY);
  // No sharing: a lock on the open file keeps out every other opener, root
  // included; TIOCEXCL also keeps out programs that do not ask for the lock.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    return FailOpen(fd, SerialError::Busy, EBUSY);
  ioctl(fd, TIOCEXCL);
  const bool lowLatencySet = SetLowLatency(fd);
  // A Windows port never echoes or edits what it receives: start raw.
  MakeRaw(tio);
  ioctl(fd, TCSETS2, &tio);

  std::lock_guard lock(FLock);
  FTimeouts = {};
  FBaudRate = tio.c_ospeed != 0 ? tio.c_ospeed : 9600;
  FLowLatencySet = lowLatencySet;
  FFd = fd;
  FLastErrno = 0;
  FLastError = SerialError::None;
  return true;
}

void SerialPort::Close()
{
  std::lock_guard lock(FLock);
  const int fd = FFd.exchange(-1);
  if (fd < 0) {
    CloseWakeCounters();
    return;
  }
  // The driver gets back the latency setting it had before Open; a driver
  // that refuses now keeps ours.
  serial_struct serial{};
  if (FLowLatencySet && ioctl(fd, TIOCGSERIAL, &serial) == 0) {
    serial.flags &= ~ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &serial);
  }
  FLowLatencySet = false;
  // The exclusive flag belongs to the terminal, not to this file: lift it, or
  // the terminal stays closed to others while anyone else still holds it open.
  ioctl(fd, TIOCNXCL);
  close(fd);
  CloseWakeCounters();
}

bool SerialPort::SetupComm(uint32_t, uint32_t) { return IsOpen() ? true : Fail(SerialError::NotOpen); }

bool SerialPort::SetCommState(const DCB &Dcb)
{
  std::lock_guard lock(FLock);
  const int fd = FFd.load();
  if (fd < 0)
    return Fail(SerialError::NotOpen);
  if (Dcb.BaudRate == 0 || Dcb.ByteSize < 5 || Dcb.ByteSize > 8 || Dcb.Parity > SPACEPARITY ||
      Dcb.StopBits > TWOSTOPBITS)
    return Fail(SerialError::BadSetting, EINVAL);
  termios2 tio{};
  if (ioctl(fd, TCGETS2, &tio) != 0)
    return Fail(SerialError::Io, errno);
  MakeRaw(tio);
  tio.c_cflag &= ~(CBAUD | CIBAUD | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
  tio.c_cflag |= StandardSpeed(Dcb.BaudRate);
  tio.c_ispeed = tio.c_ospeed = Dcb.BaudRate;
  static const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
  tio.c_cflag |= sizes[Dcb.ByteSize - 5];
  if (Dcb.StopBits != ONESTOPBIT)
    tio.c_cflag |= CSTOPB; // one and a half is sent as two
  switch (Dcb.Parity) {
  case ODDPARITY:
    tio.c_cflag |= PARENB | PARODD;
    break;
  case EVENPARITY:
    tio.c_cflag |= PARENB;
    break;
  case MARKPARITY:
    tio.c_cflag |= PARENB | CMSPAR | PARODD;
    break;
  case SPACEPARITY:
    tio.c_cflag |= PARENB | CMSPAR;
    break;
  default:
    break;
  }
  // fParity: check received parity. Without IGNPAR or PARMRK the driver
  // hands over a byte with a parity error as 0x00.
  if ((Dcb.Flags & 0x2) != 0)
    tio.c_iflag |= INPCK;
  if (ioctl(fd, TCSETS2, &tio) != 0)
    return Fail(SerialError::BadSetting, errno);
  FBaudRate = Dcb.BaudRate;
  ApplyModemLines(fd, Dcb.Flags);
  return true;
}

void SerialPort::ApplyModemLines(int Fd, uint32_t Flags)
{
  // Pseudo-terminals have no modem lines and refuse: not an error.
  const uint32_t dtr = (Flags >> 4) & 0x3;
  const uint32_t rts = (Flags >> 12) & 0x3;
  int bit = TIOCM_DTR;
  ioctl(Fd, dtr == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &bit);
  bit = TIOCM_RTS;
  ioctl(Fd, rts == RTS_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, &bit);
}

bool SerialPort::SetCommTimeouts(const COMMTIMEOUTS &Timeouts)
{
  std::lock_guard lock(FLock);
  if (FFd.load() < 0)
    return Fail(SerialError::NotOpen);
  FTimeouts = Timeouts;
  return true;
}

COMMTIMEOUTS SerialPort::GetCommTimeouts() const
{
  std::lock_guard lock(FLock);
  return FTimeouts;
}

bool SerialPort::PurgeComm(uint32_t Flags)
{
  std::lock_guard lock(FLock);
  const int fd = FFd.load();
  if (fd < 0)
    return Fail(SerialError::NotOpen);
  if ((Flags & PURGE_RXABORT) != 0) {
    ++FRxAbort;
    Signal(FRxWake);
  }
  if ((Flags & PURGE_TXABORT) != 0) {
    ++FTxAbort;
    Signal(FTxWake);
  }
  bool ok = true;
  if ((Flags & PURGE_TXCLEAR) != 0)
    ok = ioctl(fd, TCFLSH, TCOFLUSH) == 0 && ok;
  if ((Flags & PURGE_RXCLEAR) != 0)
    ok = ioctl(fd, TCFLSH, TCIFLUSH) == 0 && ok;
  return ok ? true : Fail(SerialError::Io, errno);
}

void SerialPort::AbortTransfers()
{
  std::lock_guard lock(FLock);
  ++FRxAbort;
  Signal(FRxWake);
  ++FTxAbort;
  Signal(FTxWake);
}

int SerialPort::WaitPort(int Fd, short Events, int TimeoutMs, int WakeFd,
                         const std::atomic<uint64_t> &Generation, uint64_t Seen)
{
  if (Generation.load() != Seen)
    return -1;
  pollfd fds[2] = {{Fd, Events, 0}, {WakeFd, POLLIN, 0}};
  const int n = poll(fds, WakeFd >= 0 ? 2 : 1, TimeoutMs);
  if (n < 0)
    return errno == EINTR ? 0 : -2;
  if (WakeFd >= 0 && (fds[1].revents & POLLIN) != 0) {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t r = read(WakeFd, &count, sizeof count);
    // A wake left over from an abort before this call started is no abort.
    if (Generation.load() != Seen)
      return -1;
  }
  return fds[0].revents;
}

bool SerialPort::ReadFile(void *Buffer, uint32_t Count, uint32_t &Done)
{
  return ReadFile(Buffer, Count, Done, FRxAbort.load());
}

bool SerialPort::ReadFile(void *Buffer, uint32_t Count, uint32_t &Done, uint64_t AbortSeen)
{
  Done = 0;
  const int fd = FFd.load();
  if (fd < 0)
    return Fail(SerialError::NotOpen);
  if (FRxAbort.load() != AbortSeen)
    return Fail(SerialError::Aborted);
  const COMMTIMEOUTS t = GetCommTimeouts();
  if (Count == 0)
    return true;

  const TReadTimes times(t, Count);
  int64_t lastByte = 0;
  auto *out = static_cast<uint8_t *>(Buffer);
  bool hungUp = false;
  for (;;) {
    const ssize_t n = read(fd, out + Done, Count - Done);
    if (n > 0) {
      Done += static_cast<uint32_t>(n);
      lastByte = NowUs();
      if (Done == Count || times.FirstByte)
        return true;
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n == 0 || errno != EAGAIN || hungUp)
      return Fail(SerialError::Io, n == 0 || errno == EAGAIN ? EIO : errno);
    const int wait = times.WaitMs(Done, lastByte);
    if (wait == 0)
      return true; // a time-out is not an error: Done tells
    const int revents = WaitPort(fd, POLLIN, wait, FRxWake, FRxAbort, AbortSeen);
    if (revents == -1)
      return Fail(SerialError::Aborted);
    if (revents == -2)
      return Fail(SerialError::Io, errno);
    hungUp = (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0; // one more read, then fail
  }
}

bool SerialPort::WriteFile(const void *Buffer, uint32_t Count, uint32_t &Done)
{
  return WriteFile(Buffer, Count, Done, FTxAbort.load());
}

bool SerialPort::WriteFile(const void *Buffer, uint32_t Count, uint32_t &Done, uint64_t AbortSeen)
{
  Done = 0;
  const int fd = FFd.load();
  if (fd < 0)
    return Fail(SerialError::NotOpen);
  if (FTxAbort.load() != AbortSeen)
    return Fail(SerialError::Aborted);
  bool implicit = false;
  const int64_t deadline = WriteDeadline(Count, implicit);
  const auto *in = static_cast<const uint8_t *>(Buffer);

  while (Done < Count) {
    const ssize_t n = write(fd, in + Done, Count - Done);
    if (n > 0) {
      Done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n == 0 || errno != EAGAIN)
      return Fail(SerialError::Io, n == 0 ? EIO : errno);
    const int wait = MsUntil(deadline);
    if (wait == 0) {
      // A line that takes nothing for so long is as good as lost.
      if (implicit)
        return Fail(SerialError::TimedOut);
      FLastError = SerialError::TimedOut;
      return true; // as on Windows: the call succeeds, Done is short
    }
    const int revents = WaitPort(fd, POLLOUT, wait, FTxWake, FTxAbort, AbortSeen);
    if (revents == -1)
      return Fail(SerialError::Aborted);
    if (revents == -2)
      return Fail(SerialError::Io, errno);
    if ((revents & POLLOUT) == 0 && (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
      return Fail(SerialError::Io, EIO);
  }
  return DrainOutput(fd, AbortSeen, deadline);
}

int64_t SerialPort::WriteDeadline(uint32_t Count, bool &Implicit) const
{
  std::lock_guard lock(FLock);
  const COMMTIMEOUTS &t = FTimeouts;
  const uint64_t ms = uint64_t{t.WriteTotalTimeoutMultiplier} * Count + t.WriteTotalTimeoutConstant;
  Implicit = ms == 0;
  if (!Implicit)
    return NowUs() + static_cast<int64_t>(ms) * 1000;
  // Without time-outs of its own a write may take the time its bytes need
  // on the line and a margin as long as an answer may take, at least a
  // second: a real line drains long before, a wedged one never does.
  const int64_t lineUs = int64_t{Count} * 11'000'000 / std::max<uint32_t>(FBaudRate, 50);
  const int64_t marginMs = std::max<int64_t>(t.ReadTotalTimeoutConstant, ImplicitWriteMarginMs);
  return NowUs() + lineUs + marginMs * 1000;
}

// A synchronous write on Windows returns when the bytes have left for the line,
// so the answer time-out that follows starts when the request is out. Wait for
// the driver's output queue to empty, at most twice the time it takes to send.
bool SerialPort::DrainOutput(int Fd, uint64_t Seen, int64_t DeadlineUs)
{
  uint32_t baud = 0;
  {
    std::lock_guard lock(FLock);
    baud = std::max<uint32_t>(FBaudRate, 50);
  }
  int queued = 0;
  if (ioctl(Fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
    return true;
  const int64_t charUs = 11'000'000 / baud; // start, 8 data, parity and stop bits
  const int64_t limit = std::min(DeadlineUs, NowUs() + 2 * queued * charUs + 100'000);
  while (queued > 0) {
    const int64_t now = NowUs();
    if (now >= limit)
      return true;
    const int64_t waitUs = std::min<int64_t>(std::max<int64_t>(queued * charUs, 1000), limit - now);
    const int revents = WaitPort(Fd, 0, static_cast<int>((waitUs + 999) / 1000), FTxWake, FTxAbort, Seen);
    if (revents == -1)
      return Fail(SerialError::Aborted);
    // A hung-up or failing line makes poll return at once, every turn, and
    // will not take the rest: stop waiting. The bytes were handed over; the
    // read that follows reports the line.
    if (revents == -2 || (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
      return true;
    if (ioctl(Fd, TIOCOUTQ, &queued) != 0)
      return true;
  }
  return true;
}

} // namespace platform
