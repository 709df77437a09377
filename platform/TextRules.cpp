#include "platform/TextRules.h"

#include <limits>

namespace platform {
namespace {

bool IsBlankOrControl(char c)
{
  const auto code = static_cast<unsigned char>(c);
  return code >= 1 && code <= 32;
}

// Parses the integer-text rule for a width of Bits (32 or 64).
template <typename Signed>
bool ParseInteger(std::string_view text, Signed &value)
{
  using Unsigned = std::make_unsigned_t<Signed>;
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ')
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  bool hex = false;
  if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= text.size())
    return false;

  Unsigned magnitude = 0;
  if (hex) {
    constexpr Unsigned limit = std::numeric_limits<Unsigned>::max() >> 4;
    for (; i < text.size(); ++i) {
      const char c = text[i];
      unsigned digit;
      if (c >= '0' && c <= '9')
        digit = static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        digit = static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        digit = static_cast<unsigned>(c - 'A' + 10);
      else
        return false;
      if (magnitude > limit)
        return false;
      magnitude = static_cast<Unsigned>((magnitude << 4) | digit);
    }
    // Every bit of the width is allowed: the pattern is taken as it stands.
    const Unsigned bits = negative ? static_cast<Unsigned>(Unsigned{0} - magnitude) : magnitude;
    value = static_cast<Signed>(bits);
    return true;
  }

  // Decimal: the magnitude may reach one more than the largest positive value
  // only when negative.
  const Unsigned positiveLimit = static_cast<Unsigned>(std::numeric_limits<Signed>::max());
  const Unsigned limit = negative ? positiveLimit + 1 : positiveLimit;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9')
      return false;
    const auto digit = static_cast<Unsigned>(c - '0');
    if (magnitude > (limit - digit) / 10)
      return false;
    magnitude = static_cast<Unsigned>(magnitude * 10 + digit);
  }
  value = negative ? static_cast<Signed>(Unsigned{0} - magnitude) : static_cast<Signed>(magnitude);
  return true;
}

} // namespace

std::vector<std::string> SplitCommaText(std::string_view text)
{
  // A NUL byte ends the text, as it ends a C string.
  if (const auto nul = text.find('\0'); nul != std::string_view::npos)
    text = text.substr(0, nul);

  std::vector<std::string> items;
  std::size_t p = 0;
  const std::size_t end = text.size();
  while (p < end && IsBlankOrControl(text[p]))
    ++p;
  while (p < end) {
    std::string item;
    if (text[p] == '"') {
      ++p;
      while (p < end) {
        if (text[p] == '"') {
          if (p + 1 < end && text[p + 1] == '"') {
            item += '"';
            p += 2;
            continue;
          }
          ++p; // the closing quote
          break;
        }
        item += text[p++];
      }
    } else {
      const std::size_t start = p;
      while (p < end && !IsBlankOrControl(text[p]) && text[p] != ',')
        ++p;
      item.assign(text.substr(start, p - start));
    }
    items.push_back(std::move(item));
    while (p < end && IsBlankOrControl(text[p]))
      ++p;
    if (p < end && text[p] == ',') {
      if (p + 1 == end)
        items.emplace_back();
      ++p;
      while (p < end && IsBlankOrControl(text[p]))
        ++p;
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
