// Processes from the clipboard: every line of the copied text whose first
// item is "Object" becomes a new process row. The line gives its TCP port
// (item 6) and its meter addresses (item 8, written as 'xxx=<addresses>');
// the other link settings come from the process whose row has the focus.
#include "app/MainForm.h"

#include "app/QtText.h"
#include "app/WindowTexts.h"
#include "platform/TextFormat.h"
#include "platform/TextRules.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMessageBox>
#include <QTreeWidget>

#include <stdexcept>
#include <vector>

namespace app {
namespace {

// The lines of a text whose lines end with CR LF; a lone CR or LF ends none.
std::vector<std::string> CutLines(std::string_view Text)
{
  std::vector<std::string> Lines;
  for (std::size_t End; (End = Text.find("\r\n")) != std::string_view::npos; Text.remove_prefix(End + 2))
    Lines.emplace_back(Text.substr(0, End));
  if (!Text.empty())
    Lines.emplace_back(Text);
  return Lines;
}

// A line that lacks an item it needs: the import ends there.
class EListError : public std::out_of_range {
public:
  using std::out_of_range::out_of_range;
};

const std::string &ItemOf(const std::vector<std::string> &Items, std::size_t Index)
{
  if (Index >= Items.size())
    throw EListError("List index out of bounds (" + platform::IntToStr(static_cast<std::int64_t>(Index)) +
                     ")");
  return Items[Index];
}

// The address list of an item written as a single quote, three characters,
// "=", the list and a single quote; false for any other form.
bool NetAdrOfItem(const std::string &Item, std::string &NetAdr)
{
  const std::size_t Quote = Item.find('\'');
  const std::size_t Equals = Item.find('=');
  if (Quote == std::string::npos || Equals != Quote + 4)
    return false;
  const std::string Rest = Item.substr(Equals + 1);
  const std::size_t Close = Rest.find('\'');
  if (Close == std::string::npos || Close == 0)
    return false;
  NetAdr = platform::Trim(std::string_view(Rest).substr(0, Close));
  return true;
}

bool IsObjectLine(const std::vector<std::string> &Items) { return !Items.empty() && Items[0] == "Object"; }

// What a new row takes from the template: its link and time-outs, but not
// its port number, speed, parity or multiplier.
constexpr TLinkSettingSet TemplateSettings = lsAnswerTimeOut | lsSystemTimeOut | lsTcpReadTimeout |
                                             lsTcpHost | lsUseComPort | lsPacketMode | lsBlockSize |
                                             lsAlertSequence;

} // namespace

void TForm1::AddObjectsFromBufferActionExecute(QObject *)
{
  // The template: the focused row's process, else the first selected one's.
  const auto *Focused = static_cast<const TListItem *>(ListView1->currentItem());
  const TListItem *TemplateRow = Focused ? Focused : FirstSelectedRow();
  const loader::TQuorlan *Template = TemplateRow ? TemplateRow->Data() : nullptr;
  const TLinkSettings T = Template ? ReadConfiguredLinkSettings(*Template) : TLinkSettings{};

  // Clipboard text ends its lines with CR LF on the system this program
  // comes from, and often with LF alone here: lone LFs become CR LF at the
  // boundary, so that a list copied from any editor gives all its lines.
  QString Clip = QGuiApplication::clipboard()->text();
  Clip.replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
      .replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
  const std::string Text = FromQt(Clip);
  const std::vector<std::string> Lines = CutLines(Text);
  int Added = 0;
  try {
    for (std::size_t i = 0; i < Lines.size(); ++i) {
      const std::vector<std::string> Items = platform::SplitCommaText(Lines[i]);
      if (!IsObjectLine(Items))
        continue;
      TListItem *Item = AddProcess(nullptr);
      if (!Item) {
        // The list is full: the rows added stay, and the operator learns how
        // many of the objects came in and why the others did not.
        int Objects = Added;
        for (std::size_t j = i; j < Lines.size(); ++j)
          Objects += IsObjectLine(platform::SplitCommaText(Lines[j]));
        const std::string Message =
            platform::Format(texts::SImportBounded, Added, Objects, static_cast<int>(FProcessPlaces.Limit()));
        QMessageBox::warning(this, QString(), ToQt(Message), QMessageBox::Ok);
        return;
      }
      ++Added;
      loader::TQuorlan *L = Item->Data();
      if (Template)
        ApplyLinkSettings(*L, T, TemplateSettings);
      std::int32_t Port = 0;
      if (platform::TryStrToInt(ItemOf(Items, 6), Port))
        L->FTcpClient->Port = Port;
      std::string NetAdr;
      if (NetAdrOfItem(ItemOf(Items, 8), NetAdr))
        L->SetNetAdr(NetAdr);
    }
  } catch (const std::exception &Error) {
    // A line without an item it needs (or any other failure): the rows made
    // so far stay; the lines after this one are not read.
    ShowError(Error);
  }
}

} // namespace app
