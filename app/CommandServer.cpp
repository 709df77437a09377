#include "app/CommandServer.h"

#include "app/LinkSettings.h"
#include "loader/BlockSizes.h"
#include "platform/TextRules.h"

#include <any>
#include <atomic>
#include <cstdint>
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

// Reads an item as an integer greater than 0 into Field and marks Setting
// as read; false for any other item.
bool ReadPositive(std::string_view Item, std::int32_t &Field, TLinkSetting Setting, TLinkSettingSet &Read)
{
  const std::int32_t Value = ItemValue(Item);
  if (Value <= 0)
    return false;
  Field = Value;
  Read |= Setting;
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

// The items of "SET COM=" (port, speed, parity, answer and system
// time-outs) into S in order, each marked as read; false at the first item
// that is not valid.
bool ReadComItems(const std::vector<std::string> &Items, TLinkSettings &S, TLinkSettingSet &Read)
{
  if (!ReadPositive(Items[0], S.Port, lsPort, Read) || !ReadPositive(Items[1], S.BaudRate, lsBaudRate, Read))
    return false;
  if (Items[2] == "ODD")
    S.Parity = platform::ODDPARITY;
  else if (Items[2] == "NONE")
    S.Parity = platform::NOPARITY;
  else
    return false;
  Read |= lsParity;
  return ReadPositive(Items[3], S.AnswerTimeOut, lsAnswerTimeOut, Read) &&
         ReadPositive(Items[4], S.SystemTimeOut, lsSystemTimeOut, Read);
}

// The items of "SET TCP=" (host, port, time-out) likewise.
bool ReadTcpItems(const std::vector<std::string> &Items, TLinkSettings &S, TLinkSettingSet &Read)
{
  if (Items[0].empty())
    return false;
  S.TcpHost = Items[0];
  Read |= lsTcpHost;
  const std::int32_t Port = ItemValue(Items[1]);
  if (Port <= 0 || Port > 65535)
    return false;
  S.TcpPort = Port;
  Read |= lsTcpPort;
  const std::int32_t TimeOut = ItemValue(Items[2]);
  if (TimeOut <= 0)
    return false;
  S.SetAnswerTimeOut(TimeOut);
  Read |= lsAnswerTimeOuts;
  return true;
}

using TItemsReader = bool (*)(const std::vector<std::string> &Items, TLinkSettings &S, TLinkSettingSet &Read);

// "SET COM=" and "SET TCP=": the settings read are set, and the link type
// once every item has been read. A setting that fails on an item so keeps
// what the items before it set.
bool SetLink(loader::TQuorlan &L, std::string_view Value, std::size_t ItemCount, TItemsReader ReadItems,
             bool UseComPort)
{
  const std::vector<std::string> Items = platform::SplitCommaText(Value);
  if (Items.size() != ItemCount)
    return false;
  TLinkSettings S;
  TLinkSettingSet Read = 0;
  const bool Whole = ReadItems(Items, S, Read);
  S.UseComPort = UseComPort;
  ApplyLinkSettings(L, S, Whole ? Read | lsUseComPort : Read);
  return Whole;
}

// The settings of "SET ".
bool SetCom(loader::TQuorlan &L, std::string_view Value) { return SetLink(L, Value, 5, ReadComItems, true); }

bool SetTcp(loader::TQuorlan &L, std::string_view Value) { return SetLink(L, Value, 3, ReadTcpItems, false); }

bool SetBlockSizeCommand(loader::TQuorlan &L, std::string_view Value)
{
  const std::int32_t N = ItemValue(Value);
  if (!loader::IsBlockSize(N))
    return false;
  L.SetBlockSize(N);
  return true;
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
    {"COM=", SetCom},
    {"TCP=", SetTcp},
    {"BLOCKSIZE=", SetBlockSizeCommand},
    {"HIGHSPEED=", SetHighSpeed},
    {"ALERTSEQ=", SetAlertSeq},
    {"NETADR=", SetNetAdrCommand},
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

TCommandServer::THandOver LoaderOnly(TCommandServer::TLoaderHandOver HandOver)
{
  if (!HandOver)
    return {};
  return [HandOver = std::move(HandOver)](TPlacedLoader Process) { HandOver(std::move(Process.Loader)); };
}

} // namespace

TCommandServer::TCommandServer(int Port, TLoaderHandOver HandOver, TLogEvent DeviceLog,
                               std::size_t ConnectionLimit, TProcessPlaces *Places, TDescriptorBudget *Budget)
    : TCommandServer(Port, LoaderOnly(std::move(HandOver)), std::move(DeviceLog), ConnectionLimit, Places,
                     Budget)
{
}

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
  TProcessPlace Place = FPlaces ? FPlaces->Take() : TProcessPlace();
  if (FPlaces && !Place) {
    // Every place for a process is taken: refused like a client over the
    // connection limit.
    try {
      AContext.WriteLn(SReplyExecuteError);
    } catch (...) {
    }
    AContext.Disconnect();
    return;
  }
  try {
    TPlacedLoader Process(std::move(Place), platform::MakeThread<loader::TQuorlan>());
    loader::TQuorlan *const L = Process.Loader.get();
    const auto Link = std::make_shared<TRemoteLink>();
    AContext.WriteLn(SReplyReady);
    Link->Loader = L;
    L->FOnFree = [Link] {
      const std::lock_guard Lock(Link->Lock);
      Link->Loader = nullptr;
    };
    AContext.Data = Link;
    TCustomModBusDevice &Device = *L->FDevice;
    Device.SetOnLog(FDeviceLog);
    Device.FLogEnabled = true;
    Device.FOwner = L;
    L->AppendLog(texts::SRemoteConnected);
    FHandOver(std::move(Process));
  } catch (...) {
    // The connection stays open without a loader; the loader, unless its
    // new owner kept it, has been freed with its place.
    AContext.Data.reset();
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
