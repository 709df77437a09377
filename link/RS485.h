// One serial port on an RS485 line and its settings. The port opens COM n,
// sends a byte string, receives an answer byte by byte (one time-out for the
// first byte, another between bytes) and keeps the last error code, the last
// sent data and the last answer. It announces what it does through DoEvent,
// which the meter device implements.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/SerialPort.h"

class TRS485;

// Error codes of a port and of the meter device (1 to 15: the meter's status).
inline constexpr uint8_t ErrNone = 0;
inline constexpr uint8_t ErrDriverBusy = 251; // another Send or Receive runs
inline constexpr uint8_t ErrZeroLength = 252; // Send of empty data
inline constexpr uint8_t ErrPortBusy = 253;   // the port is not open or cannot be opened
inline constexpr uint8_t ErrCheckSum = 254;   // wrong checksum
inline constexpr uint8_t ErrNoAnswer = 255;   // no answer

// Event kinds a port raises through DoEvent.
inline constexpr uint8_t evError = 0;    // an error code other than 0 was set
inline constexpr uint8_t evSent = 1;     // data is about to be written
inline constexpr uint8_t evReceived = 2; // a receive has ended
inline constexpr uint8_t evWaiting = 3;  // the wait for the first answer byte begins
inline constexpr uint8_t evByte = 4;     // a byte was received
inline constexpr uint8_t evBusyTick = 5; // one step of the meter device's busy wait
inline constexpr uint8_t evAnswer = 6;   // logged as evReceived; nothing here raises it

// The settings of a port, by parameter index (GetParam, SetParam). Parity and
// stop bits take the platform's values: platform::NOPARITY, ODDPARITY,
// EVENPARITY, MARKPARITY, SPACEPARITY and platform::ONESTOPBIT, ONE5STOPBITS,
// TWOSTOPBITS.
enum TRS485Param : int32_t {
  rpPortNumber = 0, // COM n; takes effect at the next open
  rpBaudRate = 1,
  rpParity = 2,            // byte
  rpFlags = 3,             // the DCB flag word
  rpStopBits = 4,          // byte
  rpAnswerTimeOut = 5,     // ms for the first answer byte
  rpSystemTimeOut = 6,     // ms between bytes
  rpTimeOutMultiplier = 7, // ms per written byte
  rpByteSize = 8,          // data bits, byte
};
// The number of settings: indices 0 to RS485ParamCount - 1.
inline constexpr int32_t RS485ParamCount = 9;

// The settings of a port. A changed setting is applied to the open port at
// once. Safe to use from several threads.
class TRS485Info {
public:
  explicit TRS485Info(TRS485 *Port);
  TRS485Info(const TRS485Info &) = delete;
  TRS485Info &operator=(const TRS485Info &) = delete;

  // Index: a TRS485Param. 0 for an index outside 0 to 8; byte parameters
  // widened without sign.
  int32_t GetParam(int32_t Index) const;
  // Stores Value (a byte parameter keeps its low byte); outside 0 to 8 nothing.
  void SetParam(int32_t Index, int32_t Value);
  // Called after every SetParam, on the thread that set: the owner hears
  // that a setting may have changed. Set it once, before the settings are
  // shared; it must not throw.
  void SetOnChange(std::function<void()> Handler) { FOnChange = std::move(Handler); }
  // Applies all settings to the port when it is open; false when it is not,
  // or when the driver refuses one of them.
  bool Apply();
  void SetDefaults();

  TRS485 *const FPort; // not owned; none: SetParam only stores
  // Whether the loader sends the alert sequence first; not used by the port.
  std::atomic<bool> FAlertSequence{false};

private:
  void StoreParam(int32_t Index, int32_t Value);

  std::function<void()> FOnChange;
  mutable std::mutex FLock;
  int32_t FPortNumber = 1;
  platform::DCB FDCB;
  platform::COMMTIMEOUTS FTimeouts;
};

class TRS485 {
public:
  explicit TRS485(void *Owner = nullptr);
  virtual ~TRS485();
  TRS485(const TRS485 &) = delete;
  TRS485 &operator=(const TRS485 &) = delete;

  virtual bool Open();
  virtual bool ReadFirstByte(uint8_t &B);
  virtual bool ReadData(void *Buf, int32_t Count, int32_t &Done);
  virtual bool WriteData(const void *Buf, int32_t Count, int32_t &Done);
  virtual void DoEvent(uint8_t Kind, TRS485 &Port) = 0;
  // Count bytes, or with -1 until the line falls silent, into FRxData.
  virtual bool Receive(int32_t Count);
  virtual bool Send(const std::string &Data);
  virtual bool Transact(const std::string &Request, int32_t Count);

  // Drops what the driver holds, stops a running receive before its next byte
  // and empties the sent data and the answer. Another thread may call it to
  // abort an exchange: it never takes the port from the exchange, and the sent
  // data and the answer are then left to the running operation.
  bool Purge();
  // Ends a Send or Receive running in another thread at once, as Purge
  // does, but drops nothing and touches no data; every Send and Receive
  // after it fails at once too, until ResumeIo. Any thread.
  void AbortIo();
  void ResumeIo() { FIoCut = false; }
  bool IsOpen() const { return FHandle.IsOpen(); }
  // The position in DeviceList, -1 when not there.
  int32_t DeviceIndex() const;
  // Closes an open port; with True opens it again and applies the settings.
  // A port that cannot be opened, or whose driver refuses a setting, stays
  // closed with error 253; FHandle.LastErrorText() tells why.
  void SetActive(bool Value);
  void SetError(uint8_t Code);

  // The object the port belongs to; never read by the port.
  std::atomic<void *> FOwner{nullptr};
  const std::unique_ptr<TRS485Info> FInfo;
  int32_t FBufferSize = 2048;
  std::atomic<uint8_t> FError{0};
  bool FAutoOpen = false;
  std::atomic<bool> FBusy{false};
  platform::SerialPort FHandle;
  std::atomic<bool> FDestroying{false};
  std::atomic<bool> FAborted{false};
  std::atomic<uint8_t> FMode{0}; // the meter device's answer-check mode (ModeStandard...)
  std::string FTxData;
  std::string FRxData;

protected:
  // Held by Send, Receive and the meter device's Transact while they use the
  // port and its data; tried without waiting, so an overlapping call from
  // another thread is refused as busy. Purge never takes it.
  std::recursive_mutex FIoLock;

  // One operation's hold on the port: FIoLock tried without waiting, and the
  // thread that runs the operation noted for Purge while it holds it.
  class TIoScope {
  public:
    explicit TIoScope(TRS485 &Port);
    ~TIoScope();
    TIoScope(const TIoScope &) = delete;
    TIoScope &operator=(const TIoScope &) = delete;
    bool Owns() const { return FLock.owns_lock(); }

  private:
    TRS485 &FPort;
    std::unique_lock<std::recursive_mutex> FLock;
    bool FOutermost = false;
  };

private:
  // Guards FIoOwner and Purge's emptying of the data, nothing else; held for
  // a moment only, so it never makes an operation wait or fail.
  std::mutex FOwnerLock;
  std::thread::id FIoOwner; // the thread inside an operation; none at rest
  // The driver's abort counts taken when the running receive or send began
  // (under FIoLock); the port's reads and writes end at any abort after it.
  std::optional<uint64_t> FRxAbortMark;
  std::optional<uint64_t> FTxAbortMark;
  // Set by AbortIo: sends and receives fail until ResumeIo. Looked at after
  // the abort counts are taken, so that an abort is never missed between.
  std::atomic<bool> FIoCut{false};
};
