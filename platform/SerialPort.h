// A serial port with the behaviour of the Windows serial calls the link layer
// was written against (CreateFileA on "\\.\COMn", SetupComm, SetCommState,
// SetCommTimeouts, PurgeComm, ReadFile, WriteFile, CloseHandle), on POSIX
// termios.
//
// COM n is the file $QUORLAN2_COM_DIR/com<n> when that variable is set (a
// symlink to any tty or pty), else /dev/ttyS<n-1>. The port is opened
// exclusively: a second opener, in this process or another, is refused as busy.
// Read time-outs follow COMMTIMEOUTS in user space with poll(); changing them
// never touches the driver. PurgeComm may be called from another thread: with
// the abort flags it wakes a ReadFile or WriteFile blocked in this object.
// A closed port holds no descriptor; an open one holds three (the port and
// two wake-up counters).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace platform {

// The Windows serial-line record. Flags holds the bit fields: bit 0 fBinary,
// bit 1 fParity, bits 4-5 fDtrControl, bits 12-13 fRtsControl (the others are
// flow-control and error-character options this port does not support).
// With fParity a byte received with a parity error reads as 0x00 here, where
// Windows hands over the byte as it came; either way the meter protocol's
// checksum then fails, which is what catches it.
struct DCB {
  uint32_t DCBlength = 28;
  uint32_t BaudRate = 0;
  uint32_t Flags = 0;
  uint16_t wReserved = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 0;
  uint8_t Parity = 0;
  uint8_t StopBits = 0;
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  uint16_t wReserved1 = 0;
};

struct COMMTIMEOUTS {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

inline constexpr uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
inline constexpr uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;
inline constexpr uint32_t DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
inline constexpr uint32_t RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1;
inline constexpr uint32_t PURGE_TXABORT = 0x01, PURGE_RXABORT = 0x02, PURGE_TXCLEAR = 0x04,
                          PURGE_RXCLEAR = 0x08;
inline constexpr uint32_t MAXDWORD = 0xFFFFFFFFu;

// What the last failed call of a port ran into.
enum class SerialError {
  None,
  NotFound,     // no such port, a bad name, or not a terminal
  Busy,         // another opener holds the port
  NotOpen,      // the call needs an open port
  BadSetting,   // SetCommState with a value the line cannot take
  Aborted,      // PurgeComm with an abort flag ended the call
  TimedOut,     // a write did not finish within its time-out
  Io,           // the driver reported an error or the line hung up
  NoDescriptors // the open-file limit left no descriptor for the port
};

class SerialPort {
public:
  SerialPort();
  ~SerialPort();
  SerialPort(const SerialPort &) = delete;
  SerialPort &operator=(const SerialPort &) = delete;

  // "\\.\COM" followed by the port number in decimal.
  static std::string ComDeviceName(int32_t PortNumber);
  // The file that COM n stands for; empty for n <= 0.
  static std::string ComDevicePath(int32_t PortNumber);

  // CreateFileA(Name, GENERIC_READ | GENERIC_WRITE, no sharing, OPEN_EXISTING):
  // Name must be "\\.\COM" and a port number above 0. Closes an open port first.
  bool Open(const std::string &Name);
  bool IsOpen() const { return FFd.load() >= 0; }
  // CloseHandle. Call it on the thread that uses the port, never while
  // another thread is inside ReadFile or WriteFile: those work on the file
  // they found open, which Close releases (and the system may hand on). To
  // stop another thread's read or write, use PurgeComm with an abort flag.
  void Close();

  // SetupComm: the driver's queues are its own on this platform; accepted.
  bool SetupComm(uint32_t InQueue, uint32_t OutQueue);
  bool SetCommState(const DCB &Dcb);
  // Stored for the following reads and writes only.
  bool SetCommTimeouts(const COMMTIMEOUTS &Timeouts);
  COMMTIMEOUTS GetCommTimeouts() const;
  // Abort flags wake a read or write running in another thread; clear flags
  // drop what the driver holds.
  bool PurgeComm(uint32_t Flags);
  bool ReadFile(void *Buffer, uint32_t Count, uint32_t &Done);
  // The number of receive aborts (PURGE_RXABORT) so far.
  uint64_t RxAbortGeneration() const { return FRxAbort.load(); }
  // ReadFile that counts as aborted by every receive abort after AbortSeen
  // (a value of RxAbortGeneration), also one made before this call began:
  // a caller that takes the count before it looks at its own abort flag
  // misses no abort in between.
  bool ReadFile(void *Buffer, uint32_t Count, uint32_t &Done, uint64_t AbortSeen);
  // With write time-outs of 0 a write still ends: when its bytes have not
  // been taken by the time they need at the line's speed (11 bits a
  // character) plus a margin of the read time-out's constant, at least
  // ImplicitWriteMarginMs, it fails with TimedOut.
  bool WriteFile(const void *Buffer, uint32_t Count, uint32_t &Done);
  static constexpr uint32_t ImplicitWriteMarginMs = 1000;
  // The number of transmit aborts (PURGE_TXABORT, AbortTransfers) so far.
  uint64_t TxAbortGeneration() const { return FTxAbort.load(); }
  // WriteFile that counts as aborted by every transmit abort after
  // AbortSeen, as ReadFile does.
  bool WriteFile(const void *Buffer, uint32_t Count, uint32_t &Done, uint64_t AbortSeen);
  // Ends a ReadFile and a WriteFile running in another thread, as
  // PurgeComm's abort flags do, without dropping anything the driver holds;
  // a read or write that begins afterwards is not affected. Any thread, open
  // or closed; never fails and leaves the last error as it is.
  void AbortTransfers();

  SerialError LastError() const { return FLastError.load(); }
  // Why the last failed call failed, in the system's words ("Permission
  // denied", "Not a tty"...); empty when nothing has failed since the open.
  std::string LastErrorText() const;

private:
  // Error, with the system's error number that caused it (0: none).
  bool Fail(SerialError Error, int Errno = 0);
  bool FailOpen(int Fd, SerialError Error, int Errno);
  // The deadline of a write of Count bytes, in steady-clock microseconds;
  // Implicit: the port's write time-outs are 0, and the deadline is ours.
  int64_t WriteDeadline(uint32_t Count, bool &Implicit) const;
  void ApplyModemLines(int Fd, uint32_t Flags);
  // Waits for Events on the port or for an abort of generation Generation;
  // returns poll's revents for the port (0: time-out or a stale wake), -1 on
  // abort, -2 on error.
  int WaitPort(int Fd, short Events, int TimeoutMs, int WakeFd, const std::atomic<uint64_t> &Generation,
               uint64_t Seen);
  bool DrainOutput(int Fd, uint64_t Seen, int64_t DeadlineMs);
  bool MakeWakeCounters();
  void CloseWakeCounters();

  std::atomic<int> FFd{-1};
  // eventfds written by PurgeComm's abort flags; made by Open, closed by
  // Close (both under FLock)
  std::atomic<int> FRxWake{-1};
  std::atomic<int> FTxWake{-1};
  std::atomic<uint64_t> FRxAbort{0};
  std::atomic<uint64_t> FTxAbort{0};
  mutable std::mutex FLock; // open, close, settings and time-outs
  COMMTIMEOUTS FTimeouts{};
  uint32_t FBaudRate = 9600;
  bool FLowLatencySet = false; // Open switched the driver to low latency
  std::atomic<SerialError> FLastError{SerialError::None};
  std::atomic<int> FLastErrno{0};
};

} // namespace platform
