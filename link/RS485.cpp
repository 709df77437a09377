#include "link/RS485.h"

#include "link/DeviceList.h"

namespace {

// Puts a setting back when the scope ends, also when an event's receiver
// throws, so that a failed receive does not leave the port's time-outs bent.
class TKeepParam {
public:
  TKeepParam(TRS485Info &Info, int32_t Index) : FInfo(Info), FIndex(Index), FValue(Info.GetParam(Index)) {}
  ~TKeepParam() { FInfo.SetParam(FIndex, FValue); }
  TKeepParam(const TKeepParam &) = delete;
  TKeepParam &operator=(const TKeepParam &) = delete;

private:
  TRS485Info &FInfo;
  int32_t FIndex;
  int32_t FValue;
};

// Notes the driver's abort count for the reads of one receive.
class TAbortMark {
public:
  TAbortMark(std::optional<uint64_t> &Mark, uint64_t Value) : FMark(Mark) { FMark = Value; }
  ~TAbortMark() { FMark.reset(); }
  TAbortMark(const TAbortMark &) = delete;
  TAbortMark &operator=(const TAbortMark &) = delete;

private:
  std::optional<uint64_t> &FMark;
};

class TBusyScope {
public:
  explicit TBusyScope(std::atomic<bool> &Busy) : FBusy(Busy) { FBusy = true; }
  ~TBusyScope() { FBusy = false; }
  TBusyScope(const TBusyScope &) = delete;
  TBusyScope &operator=(const TBusyScope &) = delete;

private:
  std::atomic<bool> &FBusy;
};

} // namespace

// ---- TRS485Info ----

TRS485Info::TRS485Info(TRS485 *Port) : FPort(Port) { SetDefaults(); }

void TRS485Info::SetDefaults()
{
  std::lock_guard lock(FLock);
  FDCB = platform::DCB{};
  FTimeouts = platform::COMMTIMEOUTS{};
  FDCB.DCBlength = 28;
  FDCB.BaudRate = 9600;
  FDCB.Flags = 0x11; // fBinary, DTR_CONTROL_ENABLE
  FDCB.XonLim = 2048;
  FDCB.XoffLim = 512;
  FDCB.ByteSize = 8;
  FDCB.Parity = platform::NOPARITY;
  FDCB.StopBits = platform::ONESTOPBIT;
  FDCB.XonChar = 0x11;
  FDCB.XoffChar = 0x13;
  FDCB.ErrorChar = 0x3F;
  FDCB.EofChar = 0x1A;
  FDCB.EvtChar = 0;
  FTimeouts.ReadIntervalTimeout = 30;
  FTimeouts.ReadTotalTimeoutMultiplier = 1;
  FTimeouts.ReadTotalTimeoutConstant = 150;
  FTimeouts.WriteTotalTimeoutMultiplier = 0;
  FTimeouts.WriteTotalTimeoutConstant = 0;
}

int32_t TRS485Info::GetParam(int32_t Index) const
{
  std::lock_guard lock(FLock);
  switch (Index) {
  case rpPortNumber:
    return FPortNumber;
  case rpBaudRate:
    return static_cast<int32_t>(FDCB.BaudRate);
  case rpParity:
    return FDCB.Parity;
  case rpFlags:
    return static_cast<int32_t>(FDCB.Flags);
  case rpStopBits:
    return FDCB.StopBits;
  case rpAnswerTimeOut:
    return static_cast<int32_t>(FTimeouts.ReadTotalTimeoutConstant);
  case rpSystemTimeOut:
    return static_cast<int32_t>(FTimeouts.ReadIntervalTimeout);
  case rpTimeOutMultiplier:
    return static_cast<int32_t>(FTimeouts.WriteTotalTimeoutMultiplier);
  case rpByteSize:
    return FDCB.ByteSize;
  default:
    return 0;
  }
}

void TRS485Info::SetParam(int32_t Index, int32_t Value)
{
  if (Index < 0 || Index >= RS485ParamCount)
    return;
  StoreParam(Index, Value);
  if (FOnChange)
    FOnChange();
}

void TRS485Info::StoreParam(int32_t Index, int32_t Value)
{
  std::lock_guard lock(FLock);
  const auto word = static_cast<uint32_t>(Value);
  const auto byte = static_cast<uint8_t>(Value);
  bool changed = false;
  switch (Index) {
  case rpPortNumber:
    FPortNumber = Value;
    break; // takes effect at the next open
  case rpBaudRate:
    changed = FDCB.BaudRate != word;
    FDCB.BaudRate = word;
    break;
  case rpParity:
    changed = FDCB.Parity != Value;
    FDCB.Parity = byte;
    break;
  case rpFlags:
    changed = FDCB.Flags != word;
    FDCB.Flags = word;
    break;
  case rpStopBits:
    changed = FDCB.StopBits != Value;
    FDCB.StopBits = byte;
    break;
  case rpAnswerTimeOut:
    changed = FTimeouts.ReadTotalTimeoutConstant != word;
    FTimeouts.ReadTotalTimeoutConstant = word;
    break;
  case rpSystemTimeOut:
    changed = FTimeouts.ReadIntervalTimeout != word;
    FTimeouts.ReadIntervalTimeout = word;
    break;
  case rpTimeOutMultiplier:
    changed = FTimeouts.WriteTotalTimeoutMultiplier != word;
    FTimeouts.WriteTotalTimeoutMultiplier = word;
    break;
  case rpByteSize:
    changed = FDCB.ByteSize != Value;
    FDCB.ByteSize = byte;
    break;
  default:
    break;
  }
  if (!changed || FPort == nullptr || !FPort->IsOpen())
    return;
  if (Index >= rpAnswerTimeOut && Index <= rpTimeOutMultiplier)
    FPort->FHandle.SetCommTimeouts(FTimeouts);
  else
    FPort->FHandle.SetCommState(FDCB);
}

bool TRS485Info::Apply()
{
  std::lock_guard lock(FLock);
  if (FPort == nullptr || !FPort->IsOpen())
    return false;
  // A setting the driver refuses (a speed the adapter cannot make) is no
  // setting at all: the port would run at the speed it had before.
  return FPort->FHandle.SetCommState(FDCB) && FPort->FHandle.SetCommTimeouts(FTimeouts);
}

// ---- TRS485 ----

TRS485::TIoScope::TIoScope(TRS485 &Port) : FPort(Port), FLock(Port.FIoLock, std::try_to_lock)
{
  if (!FLock.owns_lock())
    return;
  std::lock_guard lock(FPort.FOwnerLock);
  if (FPort.FIoOwner == std::thread::id{}) { // not an operation nested in another
    FPort.FIoOwner = std::this_thread::get_id();
    FOutermost = true;
  }
}

TRS485::TIoScope::~TIoScope()
{
  if (!FOutermost)
    return;
  std::lock_guard lock(FPort.FOwnerLock);
  FPort.FIoOwner = std::thread::id{};
}

TRS485::TRS485(void *Owner) : FInfo(std::make_unique<TRS485Info>(this))
{
  SetError(ErrNone);
  if (TDeviceList *list = DeviceList.load())
    list->Add(this);
  FOwner = Owner;
}

TRS485::~TRS485()
{
  FDestroying = true;
  SetActive(false);
  if (TDeviceList *list = DeviceList.load())
    list->Remove(this);
}

bool TRS485::Open()
{
  FHandle.Open(platform::SerialPort::ComDeviceName(FInfo->GetParam(rpPortNumber)));
  return IsOpen();
}

bool TRS485::ReadFirstByte(uint8_t &B)
{
  // The first byte may take as long as the answer time-out allows.
  TKeepParam interval(*FInfo, rpSystemTimeOut), multiplier(*FInfo, rpTimeOutMultiplier);
  FInfo->SetParam(rpSystemTimeOut, 65535);
  FInfo->SetParam(rpTimeOutMultiplier, 65535);
  DoEvent(evWaiting, *this);
  if (FAborted || FIoCut)
    return false;
  int32_t done = 0;
  return ReadData(&B, 1, done) && done == 1;
}

bool TRS485::ReadData(void *Buf, int32_t Count, int32_t &Done)
{
  Done = 0;
  if (Count < 0)
    return false;
  uint32_t done = 0;
  const bool ok = FRxAbortMark ? FHandle.ReadFile(Buf, static_cast<uint32_t>(Count), done, *FRxAbortMark)
                               : FHandle.ReadFile(Buf, static_cast<uint32_t>(Count), done);
  Done = static_cast<int32_t>(done);
  return ok;
}

bool TRS485::WriteData(const void *Buf, int32_t Count, int32_t &Done)
{
  Done = 0;
  if (Count < 0)
    return false;
  uint32_t done = 0;
  const bool ok = FTxAbortMark ? FHandle.WriteFile(Buf, static_cast<uint32_t>(Count), done, *FTxAbortMark)
                               : FHandle.WriteFile(Buf, static_cast<uint32_t>(Count), done);
  Done = static_cast<int32_t>(done);
  return ok;
}

bool TRS485::Receive(int32_t Count)
{
  TIoScope io(*this);
  if (!io.Owns() || FBusy) {
    SetError(ErrDriverBusy);
    return false;
  }
  FRxData.clear();
  if (!IsOpen() && FAutoOpen)
    SetActive(true);
  // Cleared after the auto-open, whose purge would otherwise end this receive.
  FAborted = false;
  // The abort count is taken before the flag is first looked at: a purge that
  // lands between a look at the flag and the read still ends the read.
  TAbortMark mark(FRxAbortMark, FHandle.RxAbortGeneration());
  TBusyScope busy(FBusy);
  if (!IsOpen()) {
    SetError(ErrPortBusy);
    return false;
  }
  if (Count == 0)
    return false;
  {
    TKeepParam answerTimeout(*FInfo, rpAnswerTimeOut);
    uint8_t b = 0;
    if (ReadFirstByte(b)) {
      FRxData.assign(1, static_cast<char>(b));
      DoEvent(evByte, *this);
      // From now on each byte may take the time-out between bytes.
      FInfo->SetParam(rpAnswerTimeOut, FInfo->GetParam(rpSystemTimeOut));
      while (!FAborted && !FIoCut && static_cast<int64_t>(FRxData.size()) != Count) {
        int32_t done = 0;
        if (!ReadData(&b, 1, done) || done != 1)
          break;
        FRxData.push_back(static_cast<char>(b));
        DoEvent(evByte, *this);
      }
    }
  }
  const bool result = Count == -1 || static_cast<int64_t>(FRxData.size()) == Count;
  DoEvent(evReceived, *this);
  return result;
}

bool TRS485::Send(const std::string &Data)
{
  if (Data.empty()) {
    SetError(ErrZeroLength);
    return false;
  }
  TIoScope io(*this);
  if (!io.Owns() || FBusy) {
    SetError(ErrDriverBusy);
    return false;
  }
  TBusyScope busy(FBusy);
  if (!IsOpen() && FAutoOpen)
    SetActive(true);
  if (!IsOpen()) {
    SetError(ErrPortBusy);
    return false;
  }
  TAbortMark mark(FTxAbortMark, FHandle.TxAbortGeneration());
  if (FIoCut)
    return false; // as a write that failed: no error code
  FError = ErrNone;
  FTxData = Data;
  DoEvent(evSent, *this);
  int32_t done = 0;
  const auto count = static_cast<int32_t>(Data.size());
  return WriteData(Data.data(), count, done) && done == count;
}

bool TRS485::Transact(const std::string &Request, int32_t Count)
{
  const bool sent = Send(Request);
  if (Count == 0)
    return sent;
  return sent && Receive(Count);
}

bool TRS485::Purge()
{
  // The data of a running operation is its own: only the thread that runs it
  // (from an event, or through an auto-open) empties it here. That is settled
  // before the abort, which can end another thread's operation at once: looked
  // at afterwards, the port could seem at rest already, and the answer that
  // the ended operation keeps would be emptied under it.
  {
    std::lock_guard lock(FOwnerLock);
    if (FIoOwner == std::thread::id{} || FIoOwner == std::this_thread::get_id()) {
      FTxData.clear();
      FRxData.clear();
    }
  }
  FAborted = true;
  bool result = false;
  if (IsOpen())
    result = FHandle.PurgeComm(platform::PURGE_TXABORT | platform::PURGE_RXABORT | platform::PURGE_TXCLEAR |
                               platform::PURGE_RXCLEAR);
  return result;
}

int32_t TRS485::DeviceIndex() const
{
  TDeviceList *list = DeviceList.load();
  return list != nullptr ? list->IndexOf(this) : -1;
}

void TRS485::SetActive(bool Value)
{
  if (IsOpen()) {
    Purge();
    FHandle.Close();
  }
  if (!Value)
    return;
  if (Open() && !FInfo->Apply())
    FHandle.Close(); // the reason stays the port's last error
  if (IsOpen()) {
    FHandle.SetupComm(static_cast<uint32_t>(FBufferSize), static_cast<uint32_t>(FBufferSize));
    Purge();
  } else {
    SetError(ErrPortBusy);
  }
}

void TRS485::AbortIo()
{
  FIoCut = true;
  FAborted = true;
  FHandle.AbortTransfers();
}

void TRS485::SetError(uint8_t Code)
{
  FError = Code;
  if (Code != ErrNone)
    DoEvent(evError, *this);
}
