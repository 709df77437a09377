#include "app/CommandServer.h"

#include "platform/TextRules.h"

#include <any>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

namespace app {
namespace {

// What a connection knows of its loader. Loader is cleared, under Lock, when
// the loader is freed (by the window, when the operator deletes its row);
// every command touches the loader only under Lock and only while it is set.
// Nothing done under Lock waits for another thread's work (the loader has no
// state-change event that would call into the main thread), so the window,
// which takes Lock when it frees the loader, is never held up for long.
struct TRemoteLink {
  std::mutex Lock;
  loader::TQuorlan *Loader = nullptr;
};
using TRemoteLinkPtr = std::shared_ptr<TRemoteLink>;

TRemoteLinkPtr LinkOf(platform::TcpConnection &AContext)
{
  if (const auto *Link = std::any_cast<TRemoteLinkPtr>(&AContext.Data))
    return *Link;
  return nullptr;
}

// An item of a command's value as an integer; a text that does not convert
// counts as -1.
std::int32_t ItemValue(std::string_view Item)
{
  std::int32_t Value = 0;
  return platform::TryStrToInt(Item, Value) ? Value : -1;
}

// Reads items First.. of a list as integers greater than 0 and stores each
// into its port setting, in order; stops at the first item that is not.
bool SetPositiveParams(TRS485Info &Info, const std::vector<std::string> &Items, std::size_t First,
                       std::initializer_list<std::int32_t> Params)
{
  std::size_t Index = First;
  for (const std::int32_t Param : Params) {
    const std::int32_t Value = ItemValue(Items[Index++]);
    if (Value <= 0)
      return false;
    Info.SetParam(Param, Value);
  }
  return true;
}

// "TRUE" or "FALSE" into Flag; false for any other text.
bool SetFlag(std::atomic<bool> &Flag, std::string_view Value)
{
  if (Value != "TRUE" && Value != "FALSE")
    return false;
  Flag = Value == "TRUE";
  return true;
}

// The settings of "SET ". A setting that fails on an item keeps what the
// items before it stored.
bool SetCom(loader::TQuorlan &L, std::string_view Value)
{
  const std::vector<std::string> Items = platform::SplitCommaText(Value);
  if (Items.size() != 5)
    return false;
  TRS485Info &Info = *L.FDevice->FInfo;
  if (!SetPositiveParams(Info, Items, 0, {rpPortNumber, rpBaudRate}))
    return false;
  if (Items[2] == "ODD")
    Info.SetParam(rpParity, platform::ODDPARITY);
  else if (Items[2] == "NONE")
    Info.SetParam(rpParity, platform::NOPARITY);
  else
    return false;
  if (!SetPositiveParams(Info, Items, 3, {rpAnswerTimeOut, rpSystemTimeOut}))
    return false;
  L.FUseComPort = true;
  return true;
}

bool SetTcp(loader::TQuorlan &L, std::string_view Value)
{
  const std::vector<std::string> Items = platform::SplitCommaText(Value);
  if (Items.size() != 3 || Items[0].empty())
    return false;
  L.SetTcpHost(Items[0]);
  const std::int32_t Port = ItemValue(Items[1]);
  if (Port <= 0 || Port > 65535)
    return false;
  L.FTcpClient->Port = Port;
  const std::int32_t Timeout = ItemValue(Items[2]);
  if (Timeout <= 0)
    return false;
  L.FTcpClient->ReadTimeout = Timeout;
  L.FDevice->FInfo->SetParam(rpAnswerTimeOut, Timeout);
  L.FUseComPort = false;
  return true;
}

bool SetBlockSizeCommand(loader::TQuorlan &L, std::string_view Value)
{
  const std::int32_t N = ItemValue(Value);
  for (const std::int32_t Size : {512, 256, 128, 64, 32, 16})
    if (N == Size) {
      L.SetBlockSize(N);
      return true;
    }
  return false;
}

bool SetHighSpeed(loader::TQuorlan &L, std::string_view Value) { return SetFlag(L.FMaxSpeed, Value); }

bool SetAlertSeq(loader::TQuorlan &L, std::string_view Value)
{
  return SetFlag(L.FDevice->FInfo->FAlertSequence, Value);
}

bool SetNetAdrCommand(loader::TQuorlan &L, std::string_view Value)
{
  const std::vector<std::string> Items = platform::SplitCommaText(Value);
  if (Items.empty())
    return false;
  for (const std::string &Item : Items) {
    // 32 bits: the unsigned addresses, and the negative ones a stored list
    // may hold.
    std::int64_t Address = 0;
    if (!platform::TryStrToInt64(Item, Address) || Address > 0xFFFFFFFFll || Address < -0x80000000ll)
      return false;
  }
  L.SetNetAdr(std::string(Value)); // the text as received, not rebuilt from the items
  return true;
}

struct TSetting {
  std::string_view Keyword;
  bool (*Apply)(loader::TQuorlan &L, std::string_view Value);
};

// In matching order; each needs the loader idle. "STATUS=" comes last.
constexpr TSetting Settings[] = {
    {"COM=", SetCom},           {"TCP=", SetTcp},           {"BLOCKSIZE=", SetBlockSizeCommand},
    {"HIGHSPEED=", SetHighSpeed}, {"ALERTSEQ=", SetAlertSeq}, {"NETADR=", SetNetAdrCommand},
};

std::string StatusCommand(loader::TQuorlan &L, std::string_view Value, TDescriptorBudget *Budget)
{
  if (Value == "START") {
    if (L.State() != ssIdle)
      return SReplyExecuteError;
    // As the window's start: a loader whose link would find no descriptor
    // stays idle, and its log says why.
    if (!Budget)
      L.Start();
    else if (Budget->Start({&L}) != 0)
      return SReplyExecuteError;
    return SReplyStatusOk;
  }
  if (Value == "STOP") {
    // Unlike the window's stop this leaves the operator-stop flag alone:
    // the current meter is finished and the next addresses follow.
    if (L.State() != ssIdle)
      L.Stop();
    return SReplyStatusOk;
  }
  return SReplyExecuteError;
}

std::string SetCommand(loader::TQuorlan &L, std::string_view Rest, TDescriptorBudget *Budget)
{
  for (const TSetting &Setting : Settings)
    if (Rest.starts_with(Setting.Keyword)) {
      if (L.State() != ssIdle)
        return SReplyExecuteError;
      return Setting.Apply(L, platform::Trim(Rest.substr(Setting.Keyword.size()))) ? SReplyOk : SReplyBadLine;
    }
  constexpr std::string_view Status = "STATUS=";
  if (Rest.starts_with(Status))
    return StatusCommand(L, platform::Trim(Rest.substr(Status.size())), Budget);
  return SReplyBadLine;
}

std::string GetCommand(const loader::TQuorlan &L, std::string_view Rest)
{
  static constexpr const char *States[] = {"STATUS=START", "STATUS=RUN", "STATUS=STOP", "STATUS=IDLE"};
  if (Rest != "STATUS")
    return SReplyBadLine;
  const unsigned State = L.State();
  return State < std::size(States) ? States[State] : SReplyExecuteError;
}

// The reply to one trimmed command line other than "QUIT".
std::string Command(loader::TQuorlan &L, std::string_view Line, TDescriptorBudget *Budget)
{
  if (Line.starts_with("SET "))
    return SetCommand(L, platform::Trim(Line.substr(4)), Budget);
  if (Line.starts_with("GET "))
    return GetCommand(L, platform::Trim(Line.substr(4)));
  return SReplyBadLine;
}

} // namespace

TCommandServer::TCommandServer(int Port, THandOver HandOver, TLogEvent DeviceLog, std::size_t ConnectionLimit,
                               TProcessPlaces *Places, TDescriptorBudget *Budget)
    : FHandOver(std::move(HandOver)), FDeviceLog(std::move(DeviceLog)), FPlaces(Places), FBudget(Budget)
{
  FServer.DefaultPort = Port;
  FServer.OnConnect = [this](platform::TcpConnection &C) { CommandServerConnect(C); };
  FServer.OnExecute = [this](platform::TcpConnection &C) { CommandServerExecute(C); };
  FServer.OnDisconnect = [this](platform::TcpConnection &C) { CommandServerDisconnect(C); };
  FServer.SetMaxConnections(ConnectionLimit, SReplyExecuteError);
  if (FBudget)
    FBudget->SetKeptFor([this]() -> std::int64_t {
      return FServer.Active() ? static_cast<std::int64_t>(FServer.DescriptorsForClients()) : 0;
    });
}

TCommandServer::~TCommandServer()
{
  FServer.SetActive(false);
  if (FBudget)
    FBudget->SetKeptFor({});
}

void TCommandServer::SetActive(bool Value) { FServer.SetActive(Value); }

void TCommandServer::CommandServerConnect(platform::TcpConnection &AContext)
{
  if (!FHandOver)
    return;
  if (FPlaces && !FPlaces->Take()) {
    // Every place for a process is taken: refused like a client over the
    // connection limit.
    try {
      AContext.WriteLn(SReplyExecuteError);
    } catch (...) {
    }
    AContext.Disconnect();
    return;
  }
  bool HandedOver = false;
  try {
    platform::TThreadPtr<loader::TQuorlan> L = platform::MakeThread<loader::TQuorlan>();
    const auto Link = std::make_shared<TRemoteLink>();
    AContext.WriteLn(SReplyReady);
    Link->Loader = L.get();
    L->FOnFree = [Link] {
      const std::lock_guard Lock(Link->Lock);
      Link->Loader = nullptr;
    };
    AContext.Data = Link;
    TCustomModBusDevice &Device = *L->FDevice;
    Device.SetOnLog(FDeviceLog);
    Device.FLogEnabled = true;
    Device.FOwner = L.get();
    L->AppendLog(texts::SRemoteConnected);
    FHandOver(std::move(L));
    HandedOver = true;
  } catch (...) {
    // The connection stays open without a loader; the loader, unless its
    // new owner kept it, is freed with its pointer, and its place goes back.
    AContext.Data.reset();
    if (FPlaces && !HandedOver)
      FPlaces->Give();
  }
}

void TCommandServer::CommandServerExecute(platform::TcpConnection &AContext)
{
  const TRemoteLinkPtr Link = LinkOf(AContext);
  if (!Link || AContext.InputBufferIsEmpty())
    return;
  {
    // Every line sets the alert sequence again, whatever it holds.
    const std::lock_guard Lock(Link->Lock);
    if (Link->Loader)
      Link->Loader->FDevice->FInfo->FAlertSequence = true;
  }
  const std::string Raw = AContext.ReadAvailable(MaxLineLength + 1);
  std::string Reply;
  bool Quit = false;
  if (Raw.size() > MaxLineLength) {
    // Too long for a command: the rest that has arrived goes too. With no
    // framing, what arrives later is a line of its own: a line just over
    // the bound that comes in two pieces gets two replies, as a rule two
    // 400s.
    while (AContext.ReadAvailable(MaxLineLength).size() == MaxLineLength) {
    }
    Reply = SReplyBadLine;
  } else if (const std::string_view Line = platform::Trim(Raw); Line == "QUIT") {
    Reply = SReplyGoodbye;
    Quit = true;
  } else {
    const std::lock_guard Lock(Link->Lock);
    // A loader freed with its row is never touched again: every command
    // but "QUIT" fails from then on.
    Reply = Link->Loader ? Command(*Link->Loader, Line, FBudget) : SReplyExecuteError;
  }
  // Written without the lock: a client that does not read never holds up
  // the freeing of its loader. The goodbye ends the connection, which no
  // longer counts against the bound once the client can read it: a client
  // that connects again at once is not taken for one too many.
  if (Quit)
    AContext.WriteLastLn(Reply);
  else
    AContext.WriteLn(Reply);
}

void TCommandServer::CommandServerDisconnect(platform::TcpConnection &AContext)
{
  const TRemoteLinkPtr Link = LinkOf(AContext);
  if (!Link)
    return;
  const std::lock_guard Lock(Link->Lock);
  if (Link->Loader)
    Link->Loader->AppendLog(texts::SRemoteDisconnected);
}

} // namespace app
