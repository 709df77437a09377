#include "link/ModBusDevice.h"

#include <chrono>
#include <exception>
#include <thread>

#include "link/MeterProtocol.h"
#include "link/PacketString.h"
#include "link/UnExtlibs.h"

namespace {

// One entry into a re-entry guard, left when the scope ends: also when a
// nested exchange throws (from the log callback), so the counts stay right.
class TGuardEntry {
public:
  explicit TGuardEntry(TRecurseClass *Node) : FNode(Node), FAllowed(Node->Enter()) {}
  ~TGuardEntry() { FNode->Leave(); }
  TGuardEntry(const TGuardEntry &) = delete;
  TGuardEntry &operator=(const TGuardEntry &) = delete;
  bool Allowed() const { return FAllowed; }

private:
  TRecurseClass *FNode;
  bool FAllowed;
};

bool IsSet(const platform::TSystemTime &T) { return T.wYear != 0 || T.wMonth != 0; }

bool IsRelaxed(uint8_t Mode) { return Mode == ModeRelaxed || Mode == ModeRelaxed2; }

// The status codes of a short status answer that the device acts on.
constexpr uint8_t StatusOk = 0;
constexpr uint8_t StatusLowAccess = 3;     // too low an access level
constexpr uint8_t StatusChannelClosed = 5; // the channel is closed
constexpr uint8_t StatusRepeatLater = 6;   // ask again a little later

// Whether an answer of N bytes, whose address part and checksum take E bytes,
// is a short status answer in Mode.
bool IsStatusLength(uint8_t Mode, size_t N, size_t E)
{
  if (Mode == ModeStandard)
    return N == E + 1;
  return IsRelaxed(Mode) && (N == E + 1 || N == E + 2);
}

} // namespace

TCustomModBusDevice::TCustomModBusDevice() : TCustomModBusDevice(nullptr) {}

TCustomModBusDevice::TCustomModBusDevice(void *Owner)
    : TRS485(Owner), FRetry(std::make_unique<TRecurseClass>(3))
{
  SetRetryLimit(GuardReopen, 2);
  SetRetryLimit(GuardRepeat, 4);
  SetRetryLimit(GuardNoAnswer, 2);
}

TCustomModBusDevice::~TCustomModBusDevice()
{
  // The port goes first, while the device can still answer its events.
  FDestroying = true;
  SetActive(false);
  if (TDeviceList *list = DeviceList.load())
    list->Remove(this);
}

bool TCustomModBusDevice::IsLogEnabled()
{
  std::lock_guard lock(FLogLock);
  return FLogEnabled && FOnLog;
}

void TCustomModBusDevice::SetOnLog(TLogEvent OnLog)
{
  std::lock_guard lock(FLogLock);
  FOnLog = std::move(OnLog);
}

void TCustomModBusDevice::SetRetryLimit(int32_t Guard, int32_t Limit)
{
  if (TRecurseClass *node = FRetry->Node(Guard))
    node->FLimit = Limit;
}

void TCustomModBusDevice::WaitMs(int32_t Ms)
{
  // The deadline is kept on the fine clock: whole milliseconds read at the
  // start and at each step would let the wait end up to 1 ms early.
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(Ms);
  while (Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    DoEvent(evBusyTick, *this);
  }
}

bool TCustomModBusDevice::Transact(const std::string &Request, int32_t Count)
{
  TIoScope io(*this);
  if (!io.Owns()) {
    // Another thread's exchange holds the port. Refused here and now: a Send
    // tried after it might find the port free, write the request and report
    // an exchange that never received its answer as a success.
    SetError(ErrDriverBusy);
    return false;
  }

  const bool sent = Send(Request);
  bool ok = sent;
  if (sent && Count != 0)
    ok = Receive(Count);
  if (FMode == ModeRaw || FAborted)
    return ok;
  // A send-only exchange, or one whose write failed, has no answer of its own
  // to judge: the answer of an earlier exchange is not looked at.
  if (!sent || Count == 0)
    return ok;
  const TCheckSumType t = FindCheckSumType(Request);
  if (t > ctSum16)
    return ok;
  if (t == ctCrc16 || t == ctXor8)
    return JudgePlain(Request, Count, t, ok);
  return JudgeOther(Request, Count, t, ok);
}

bool TCustomModBusDevice::JudgePlain(const std::string &Request, int32_t Count, uint8_t RequestType, bool Ok)
{
  if (FError != ErrNone)
    return Ok;
  TCheckSumType a = ctNone;
  if (FRxData.empty()) {
    SetError(ErrNoAnswer);
  } else {
    a = FindCheckSumType(FRxData);
    if (a != RequestType)
      SetError(ErrCheckSum);
  }
  if (FError == ErrNoAnswer || FError == ErrCheckSum)
    return RepeatUnanswered(Request, Count, Ok);

  const uint8_t mode = FMode;
  const size_t n = FRxData.size();
  const size_t crcBytes = static_cast<size_t>(BytesInCheckSum(a));
  const size_t e = crcBytes + protocol::PrefixLength(Request);
  // A data answer of the right type: its length is in Ok.
  if (!IsStatusLength(mode, n, e))
    return Ok;

  const uint8_t s = static_cast<uint8_t>(FRxData[n - crcBytes - 1]);
  if ((s & 0xF0) != 0 && FWaitOnBusy)
    WaitMs((s & 0xF0) * 62);
  const bool relaxed = IsRelaxed(mode);
  if (relaxed && n == e + 1 && FRxData == FTxData) { // the request's echo
    SetError(ErrNone);
    return Ok;
  }
  const auto statusLength = static_cast<int32_t>(relaxed ? e + 2 : e + 1);
  return JudgeStatus(Request, Count, s & 0x0F, a, statusLength, Ok);
}

bool TCustomModBusDevice::RepeatUnanswered(const std::string &Request, int32_t Count, bool Ok)
{
  bool ok = Ok;
  TGuardEntry guard(FRetry->Node(GuardNoAnswer));
  if (guard.Allowed() && FRepeatOnNoAnswer) {
    if (!FRxData.empty())
      Receive(-1); // drain what still arrives
    // A request to every meter (0xFE) is never sent twice on a silent line.
    if (static_cast<uint8_t>(Request[0]) != 0xFE)
      ok = Transact(Request, Count);
  }
  return ok;
}

bool TCustomModBusDevice::JudgeStatus(const std::string &Request, int32_t Count, uint8_t Code,
                                      uint8_t AnswerType, int32_t StatusLength, bool Ok)
{
  switch (Code) {
  case StatusOk:
    SetError(ErrNone);
    return Ok;
  case StatusLowAccess:
  case StatusChannelClosed:
    return ReopenAndRepeat(Request, Count, Code, AnswerType, StatusLength);
  case StatusRepeatLater:
    return RepeatWhenAsked(Request, Count);
  default:
    SetError(Code);
    return false;
  }
}

bool TCustomModBusDevice::RepeatWhenAsked(const std::string &Request, int32_t Count)
{
  if (!FRepeatOnNoAnswer) {
    SetError(StatusRepeatLater); // not repeated: the meter did not do it
    return false;
  }
  TGuardEntry guard(FRetry->Node(GuardRepeat));
  if (guard.Allowed())
    return Transact(Request, Count);
  SetError(StatusRepeatLater);
  return false;
}

bool TCustomModBusDevice::ReopenAndRepeat(const std::string &Request, int32_t Count, uint8_t Code,
                                          uint8_t AnswerType, int32_t StatusLength)
{
  // Too low an access level, or the channel closed: open it with the password
  // (padded to 16 bytes in modes 1 and 2) and, once it is open, ask again.
  bool ok = false;
  SetError(Code);
  TGuardEntry guard(FRetry->Node(GuardReopen));
  if (guard.Allowed() && FReopenOnAccess) {
    std::string open = Request.substr(0, protocol::PrefixLength(Request));
    open += protocol::CmdOpenChannel;
    open += IsRelaxed(FMode) ? FitStr(FPassword, 16, '\0', false) : FPassword;
    open = AddCheckSum(open, AnswerType);
    if (Transact(open, StatusLength)) {
      TGuardEntry again(FRetry->Node(GuardReopen));
      if (again.Allowed())
        ok = Transact(Request, Count);
    }
  }
  return ok;
}

bool TCustomModBusDevice::JudgeOther(const std::string &Request, int32_t Count, uint8_t RequestType, bool Ok)
{
  bool ok = Ok;
  if (FError != ErrNone)
    return ok;
  if (FRxData.empty()) {
    TGuardEntry guard(FRetry->Node(GuardNoAnswer));
    if (guard.Allowed() && FRepeatOnNoAnswer)
      ok = Transact(Request, Count);
    else
      SetError(ErrNoAnswer);
  }
  if (FError == ErrNoAnswer)
    return ok;

  if (RequestType == ctCrc16Ccitt) {
    // Packet mode: read on until the chain of answer frames is complete.
    ok = true;
    for (;;) {
      if (TPacketString(FRxData, false).IsComplete())
        break;
      const std::string copy = FRxData;
      Receive(-1);
      if (FAborted) { // purged: the chain stays incomplete, and is judged so
        FRxData = copy + FRxData;
        ok = false;
        break;
      }
      if (FRxData.empty()) {
        ok = false;
        FRxData = copy;
        break;
      }
      FRxData = copy + FRxData;
    }
    SetError(ok ? ErrNone : ErrCheckSum);
    return ok;
  }
  if (RequestType == ctSum8 || RequestType == ctSum16) {
    if (FindCheckSumType(FRxData) == ctNone) {
      SetError(ErrCheckSum); // for the log only
      FError = ErrNone;
    }
  }
  return ok;
}

void TCustomModBusDevice::DoEvent(uint8_t Kind, TRS485 &Port)
{
  std::string text;
  std::exception_ptr failure;
  try {
    const bool raw = Port.FMode == ModeRaw;
    switch (Kind) {
    case evError:
      if (const char *message = GetProtocolMessage(static_cast<int8_t>(Port.FError.load())))
        text = message;
      break;
    case evSent:
      text = Port.FTxData;
      if (!raw)
        text = protocol::SentLine(platform::GetLocalTime(), Port.FTxData);
      break;
    case evReceived:
    case evAnswer:
      text = Port.FRxData;
      if (!raw) {
        if (Port.FRxData.empty() || !IsSet(FRxStart))
          FRxStart = platform::GetLocalTime();
        text = protocol::ReceivedLine(FRxStart, Port.FRxData);
        FRxStart = {};
      }
      break;
    case evWaiting:
      text.assign(1, '\0');
      break;
    case evByte:
      if (FRxData.size() == 1)
        FRxStart = platform::GetLocalTime();
      text = StrToHex(FRxData, " ");
      break;
    default:
      break;
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (!text.empty() && FLogEnabled) {
    // A notification raised while another thread runs the callback for this
    // device is dropped, not queued.
    std::unique_lock lock(FLogLock, std::try_to_lock);
    if (lock.owns_lock() && FOnLog)
      FOnLog(DeviceIndex(), Kind, text.data(), static_cast<int32_t>(text.size()));
  }
  if (failure)
    std::rethrow_exception(failure);
}
