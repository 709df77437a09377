#include "loader/SourceUnit.h"

#include <array>

namespace loader {

namespace {

constexpr std::size_t LineBytes = 16;
// "#$XX" for each byte, then "+" or ";".
constexpr std::size_t DataLineLength = LineBytes * 4 + 1;
constexpr std::string_view LineEnd = "\r\n";
constexpr std::string_view HexDigits = "0123456789ABCDEF";
constexpr std::string_view UnitWord = "Unit ";
constexpr std::string_view DateMark = ";// Date: ";

// The fixed lines between the header and the data, and after the data.
constexpr std::array<std::string_view, 9> HeadLines{"",
                                                    "Interface",
                                                    "",
                                                    "Uses UnQuorlan;",
                                                    "",
                                                    "implementation",
                                                    "",
                                                    "{$IFDEF USER_PROCESS}",
                                                    "const   UserData : String ="};
constexpr std::array<std::string_view, 8> TailLines{"{$ELSE}",
                                                    "const   UserData : String ='';",
                                                    "{$ENDIF}",
                                                    "initialization",
                                                    "if Assigned(DumpMem) then",
                                                    " DumpMem.LoadFromStr(UserData);",
                                                    "finalization",
                                                    "end."};

// The name after its last folder separator.
std::string_view NameWithoutFolder(std::string_view FileName)
{
  const std::size_t Separator = FileName.find_last_of("\\:/");
  return Separator == std::string_view::npos ? FileName : FileName.substr(Separator + 1);
}

void AddLine(std::string &Text, std::string_view Line)
{
  Text += Line;
  Text += LineEnd;
}

std::string Quoted(std::string_view Text) { return "\"" + std::string(Text) + "\""; }

// The lines of a text one after another, counted from 1. A line ends in LF,
// with a CR before it taken off; the last line may lack its end.
class TLineReader {
public:
  explicit TLineReader(std::string_view Text) : FRest(Text) {}

  // The next line; false at the end of the text.
  bool Next(std::string_view &Line)
  {
    if (FRest.empty())
      return false;
    const std::size_t End = FRest.find('\n');
    Line = FRest.substr(0, End);
    FRest.remove_prefix(End == std::string_view::npos ? FRest.size() : End + 1);
    if (End != std::string_view::npos && !Line.empty() && Line.back() == '\r')
      Line.remove_suffix(1);
    ++FNumber;
    return true;
  }

  // The next line, which the text must still hold; Wanted says what it
  // should be when the text has ended.
  std::string_view Take(std::string_view Wanted)
  {
    std::string_view Line;
    if (!Next(Line))
      throw ESourceUnitError(FNumber + 1, "the text ends where " + std::string(Wanted) + " should follow");
    return Line;
  }

  void Expect(std::string_view Wanted)
  {
    if (Take(Quoted(Wanted)) != Wanted)
      Fail("expected " + Quoted(Wanted));
  }

  [[noreturn]] void Fail(const std::string &Reason, int Back = 0) const
  {
    throw ESourceUnitError(FNumber - Back, Reason);
  }

private:
  std::string_view FRest;
  int FNumber = 0;
};

int HexValue(char Digit)
{
  const std::size_t At = HexDigits.find(Digit);
  return At == std::string_view::npos ? -1 : static_cast<int>(At);
}

// Appends the 16 bytes of a data line to Data; false when Line is none.
bool ReadDataLine(std::string_view Line, std::string &Data)
{
  if (Line.size() != DataLineLength || (Line.back() != '+' && Line.back() != ';'))
    return false;
  for (std::size_t At = 0; At + 1 < Line.size(); At += 4) {
    const int High = HexValue(Line[At + 2]), Low = HexValue(Line[At + 3]);
    if (Line.substr(At, 2) != "#$" || High < 0 || Low < 0)
      return false;
    Data += static_cast<char>(High * 16 + Low);
  }
  return true;
}

void ReadHeader(TLineReader &Lines, std::string_view Name)
{
  const std::string_view Line = Lines.Take("the unit's header");
  const std::size_t Mark = Line.find(DateMark);
  if (Line.substr(0, UnitWord.size()) != UnitWord || Mark == std::string_view::npos)
    Lines.Fail("expected the header \"Unit " + std::string(Name) + std::string(DateMark) + "<date> <time>\"");
  const std::string_view Unit = Line.substr(UnitWord.size(), Mark - UnitWord.size());
  if (Unit != Name)
    Lines.Fail("the unit is " + Quoted(Unit) + ", not " + Quoted(Name) +
               ": a unit is built in only under its own name");
}

std::string ReadData(TLineReader &Lines)
{
  std::string Data;
  for (;;) {
    const std::string_view Line = Lines.Take("a data line");
    if (Line == TailLines.front()) {
      if (!Data.empty())
        Lines.Fail("the last data line ends in \"+\" instead of \";\"", 1);
      return Data; // no data at all
    }
    if (!ReadDataLine(Line, Data))
      Lines.Fail("expected a data line: 16 literals #$XX (XX two upper-case hex digits), then \"+\", "
                 "or \";\" on the last data line");
    if (Line.back() == ';')
      break;
  }
  Lines.Expect(TailLines.front());
  return Data;
}

} // namespace

std::string SourceUnitText(std::string_view Data, std::string_view FileName, std::string_view Date,
                           std::string_view Time)
{
  const std::size_t Lines = Data.size() / LineBytes;
  std::string Text;
  Text.reserve(Lines * (DataLineLength + LineEnd.size()) + 512);
  AddLine(Text, std::string(UnitWord) + std::string(NameWithoutFolder(FileName)) + std::string(DateMark) +
                    std::string(Date) + " " + std::string(Time));
  for (const std::string_view Line : HeadLines)
    AddLine(Text, Line);
  for (std::size_t Line = 0; Line < Lines; ++Line) {
    for (const char Byte : Data.substr(Line * LineBytes, LineBytes)) {
      const auto Value = static_cast<unsigned char>(Byte);
      Text += "#$";
      Text += HexDigits[Value >> 4];
      Text += HexDigits[Value & 0xF];
    }
    AddLine(Text, Line + 1 < Lines ? "+" : ";");
  }
  for (const std::string_view Line : TailLines)
    AddLine(Text, Line);
  return Text;
}

std::string ReadSourceUnit(std::string_view Text, std::string_view FileName)
{
  TLineReader Lines(Text);
  ReadHeader(Lines, NameWithoutFolder(FileName));
  for (const std::string_view Line : HeadLines)
    Lines.Expect(Line);
  std::string Data = ReadData(Lines);
  for (std::size_t At = 1; At < TailLines.size(); ++At)
    Lines.Expect(TailLines[At]);
  std::string_view Extra;
  if (Lines.Next(Extra))
    Lines.Fail("nothing may follow \"end.\"");
  return Data;
}

} // namespace loader
