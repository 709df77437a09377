#pragma once
// The two text rules every part of the program shares: how a comma text is
// split into items, and which texts convert to integers.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Splits a comma text into its items. Leading blanks and control characters
// (codes 1..32) are skipped; an item that begins with a double quote runs to
// the matching closing quote (two quotes inside stand for one, the quotes are
// removed); any other item ends at a comma or at a character of code 1..32.
// A comma that is the very last character adds one empty item. A NUL byte
// ends the text. An empty text gives no item.
std::vector<std::string> SplitCommaText(std::string_view text);

// Integer-text rule: leading blanks, an optional sign, then decimal digits or
// hexadecimal digits after "$", "x", "X", "0x" or "0X"; nothing may follow.
// Decimal values must fit the signed range; hexadecimal ones may use every
// bit of the width (so "$FFFFFFFF" is -1).
bool TryStrToInt(std::string_view text, std::int32_t &value);
bool TryStrToInt64(std::string_view text, std::int64_t &value);
std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback);
std::int64_t StrToInt64Def(std::string_view text, std::int64_t fallback);

// Decimal text of a value, as the program prints numbers.
std::string IntToStr(std::int64_t value);

// Blanks and control characters (codes 0..32) removed at both ends.
std::string_view Trim(std::string_view text);

} // namespace platform
