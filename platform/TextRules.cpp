#include "platform/TextRules.h"

#include <limits>

namespace platform {
namespace {

bool IsBlankOrControl(char c)
{
  const auto code = static_cast<unsigned char>(c);
  return code >= 1 && code <= 32;
}

std::size_t SkipBlanks(std::string_view text, std::size_t p)
{
  while (p < text.size() && IsBlankOrControl(text[p]))
    ++p;
  return p;
}

// The item that opens with a double quote at p, up to the matching closing
// quote or the end of the text; two quotes inside stand for one. p ends past
// the item.
std::string QuotedItem(std::string_view text, std::size_t &p)
{
  std::string item;
  ++p; // the opening quote
  while (p < text.size()) {
    if (text[p] == '"') {
      if (p + 1 < text.size() && text[p + 1] == '"') {
        item += '"';
        p += 2;
        continue;
      }
      ++p; // the closing quote
      break;
    }
    item += text[p++];
  }
  return item;
}

// The item that starts at p, up to a comma or a blank or control character.
std::string PlainItem(std::string_view text, std::size_t &p)
{
  const std::size_t start = p;
  while (p < text.size() && !IsBlankOrControl(text[p]) && text[p] != ',')
    ++p;
  return std::string(text.substr(start, p - start));
}

// Skips the leading blanks, a sign and a hexadecimal prefix of an integer
// text; returns where its digits begin.
std::size_t IntegerPrefix(std::string_view text, bool &negative, bool &hex)
{
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ')
    ++i;
  negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  return i;
}

// The value of a hexadecimal digit; -1 for any other character.
int HexDigit(char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// Hexadecimal digits into magnitude; every bit of the width may be used.
template <typename Unsigned> bool ParseHexDigits(std::string_view digits, Unsigned &magnitude)
{
  constexpr Unsigned limit = std::numeric_limits<Unsigned>::max() >> 4;
  for (const char c : digits) {
    const int digit = HexDigit(c);
    if (digit < 0 || magnitude > limit)
      return false;
    magnitude = static_cast<Unsigned>((magnitude << 4) | static_cast<unsigned>(digit));
  }
  return true;
}

// Decimal digits into magnitude, which may not pass limit.
template <typename Unsigned>
bool ParseDecimalDigits(std::string_view digits, Unsigned limit, Unsigned &magnitude)
{
  for (const char c : digits) {
    if (c < '0' || c > '9')
      return false;
    const auto digit = static_cast<Unsigned>(c - '0');
    if (magnitude > (limit - digit) / 10)
      return false;
    magnitude = static_cast<Unsigned>(magnitude * 10 + digit);
  }
  return true;
}

// Parses the integer-text rule for the width of Signed (32 or 64 bits).
template <typename Signed> bool ParseInteger(std::string_view text, Signed &value)
{
  using Unsigned = std::make_unsigned_t<Signed>;
  bool negative = false;
  bool hex = false;
  const std::string_view digits = text.substr(IntegerPrefix(text, negative, hex));
  if (digits.empty())
    return false;
  Unsigned magnitude = 0;
  if (hex) {
    // Every bit of the width is allowed: the pattern is taken as it stands.
    if (!ParseHexDigits(digits, magnitude))
      return false;
  } else {
    // Decimal: the magnitude may reach one more than the largest positive
    // value only when negative.
    const Unsigned positiveLimit = static_cast<Unsigned>(std::numeric_limits<Signed>::max());
    if (!ParseDecimalDigits(digits, negative ? static_cast<Unsigned>(positiveLimit + 1) : positiveLimit,
                            magnitude))
      return false;
  }
  value = static_cast<Signed>(negative ? static_cast<Unsigned>(Unsigned{0} - magnitude) : magnitude);
  return true;
}

} // namespace

std::vector<std::string> SplitCommaText(std::string_view text)
{
  // A NUL byte ends the text, as it ends a C string.
  if (const auto nul = text.find('\0'); nul != std::string_view::npos)
    text = text.substr(0, nul);

  std::vector<std::string> items;
  const std::size_t end = text.size();
  std::size_t p = SkipBlanks(text, 0);
  while (p < end) {
    items.push_back(text[p] == '"' ? QuotedItem(text, p) : PlainItem(text, p));
    p = SkipBlanks(text, p);
    if (p < end && text[p] == ',') {
      if (p + 1 == end)
        items.emplace_back();
      p = SkipBlanks(text, p + 1);
    }
  }
  return items;
}

bool TryStrToInt(std::string_view text, std::int32_t &value) { return ParseInteger(text, value); }

bool TryStrToInt64(std::string_view text, std::int64_t &value) { return ParseInteger(text, value); }

std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback)
{
  std::int32_t value;
  return TryStrToInt(text, value) ? value : fallback;
}

std::int64_t StrToInt64Def(std::string_view text, std::int64_t fallback)
{
  std::int64_t value;
  return TryStrToInt64(text, value) ? value : fallback;
}

std::string IntToStr(std::int64_t value) { return std::to_string(value); }

std::string_view Trim(std::string_view text)
{
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && static_cast<unsigned char>(text[first]) <= 32)
    ++first;
  while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32)
    --last;
  return text.substr(first, last - first);
}

} // namespace platform
