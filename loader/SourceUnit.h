#pragma once
// The source unit of a built-in image: the text the save action writes for an
// image (".pas"), and the reader that takes such a text back into the image's
// bytes when the program is built from it.
//
// The text holds a header line that names the unit and carries the date and
// time it was written, fixed lines around the data, and one data line per 16
// image bytes, each byte written as "#$" and two upper-case hex digits; "+"
// ends every data line but the last, which ends in ";". Lines end in CR LF.
#include <stdexcept>
#include <string>
#include <string_view>

namespace loader {

// The image Data as the source unit named by FileName (the part after the
// last folder separator is the unit's name, extension included), with Date
// and Time in its header. A last group of fewer than 16 bytes is left out.
std::string SourceUnitText(std::string_view Data, std::string_view FileName, std::string_view Date,
                           std::string_view Time);

// A text that is not a source unit as SourceUnitText writes it.
class ESourceUnitError : public std::runtime_error {
public:
  ESourceUnitError(int Line, const std::string &Reason) : std::runtime_error(Reason), FLine(Line) {}
  // The 1-based number of the first line that is wrong (one past the last
  // line when the text ends too early).
  int Line() const { return FLine; }

private:
  int FLine;
};

// The image bytes of a source unit read from the file FileName. Accepts what
// SourceUnitText writes, whatever date and time its header carries; lines may
// also end in LF alone. The unit must be named after FileName itself, so that
// a unit renamed to another image's file cannot bring one meter type's
// software into another's image. Anything else raises ESourceUnitError.
std::string ReadSourceUnit(std::string_view Text, std::string_view FileName);

} // namespace loader
