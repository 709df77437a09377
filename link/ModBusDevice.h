// The meter device: a serial port that judges the meter's answers. Transact
// sends a request, receives the answer and checks it by the request's checksum
// type: a missing answer or one of another checksum type is an error, a short
// status answer is decoded (status code in its low nibble, a wait in its high
// nibble), a meter that refuses access gets its channel re-opened with the
// channel password, and requests are sent again under three re-entry guards.
// DoEvent turns the port's events into texts for the log callback.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "link/DeviceList.h"
#include "link/MeterProtocol.h"
#include "link/RS485.h"
#include "link/RecurseClass.h"
#include "platform/Clock.h"

// The log callback: device index, event kind, the text and its length in bytes.
using TLogEvent = std::function<void(int32_t DeviceIndex, uint8_t Kind, const char *Text, int32_t Len)>;

// Re-entry guards of FRetry.
inline constexpr int32_t GuardReopen = 0;   // re-open the channel on status 3 or 5
inline constexpr int32_t GuardRepeat = 1;   // send again on status 6
inline constexpr int32_t GuardNoAnswer = 2; // send again on no answer or a wrong checksum

// Answer-check modes of FMode. With any other value no answer is taken for a
// short status answer, and the log is formatted.
inline constexpr uint8_t ModeStandard = 0; // a short status answer has exactly its length
// A short status answer may be one byte longer, an echo of the request counts
// as success, and the password of an open-channel request is padded to 16 bytes.
inline constexpr uint8_t ModeRelaxed = 1;
inline constexpr uint8_t ModeRelaxed2 = 2; // the same as ModeRelaxed
inline constexpr uint8_t ModeRaw = 4;      // no checks; the log gets the bytes themselves

class TCustomModBusDevice : public TRS485 {
public:
  TCustomModBusDevice();
  explicit TCustomModBusDevice(void *Owner);
  ~TCustomModBusDevice() override;

  // FLogEnabled and a callback installed.
  bool IsLogEnabled();
  // Installs the log callback; safe while the device is in use on its thread.
  void SetOnLog(TLogEvent OnLog);
  void SetRetryLimit(int32_t Guard, int32_t Limit);
  // Sleeps at least Ms milliseconds in 1 ms steps, raising event 5 after each.
  void WaitMs(int32_t Ms);
  // Count: the answer's length; -1 reads until the line falls silent; 0 only
  // sends. The answer stays in FRxData, the reason of a failure in FError.
  bool Transact(const std::string &Request, int32_t Count) override;
  void DoEvent(uint8_t Kind, TRS485 &Port) override;

  std::atomic<int32_t> FNetAddress{0};
  std::string FPassword = protocol::ChannelPassword;
  bool FReopenOnAccess = true;
  bool FRepeatOnNoAnswer = true;
  TLogEvent FOnLog; // set before the device is used, or through SetOnLog
  std::atomic<bool> FLogEnabled{true};
  std::atomic<bool> FWaitOnBusy{true};
  // Arrival of the current answer's first byte; all zero when not set.
  platform::TSystemTime FRxStart{};
  const std::unique_ptr<TRecurseClass> FRetry;
  std::recursive_mutex FLogLock; // tried, never waited for, around the callback

private:
  bool JudgePlain(const std::string &Request, int32_t Count, uint8_t RequestType, bool Ok);
  // No answer or one of another checksum type: sent again under GuardNoAnswer.
  bool RepeatUnanswered(const std::string &Request, int32_t Count, bool Ok);
  // The status code of a short status answer.
  bool JudgeStatus(const std::string &Request, int32_t Count, uint8_t Code, uint8_t AnswerType,
                   int32_t StatusLength, bool Ok);
  // Status 6: sent again under GuardRepeat.
  bool RepeatWhenAsked(const std::string &Request, int32_t Count);
  bool JudgeOther(const std::string &Request, int32_t Count, uint8_t RequestType, bool Ok);
  bool ReopenAndRepeat(const std::string &Request, int32_t Count, uint8_t Code, uint8_t AnswerType,
                       int32_t StatusLength);
};
