#include "platform/NumberFormat.h"

#include <clocale>
#include <cstdio>
#include <langinfo.h>
#include <locale.h>

namespace platform {
namespace {

// The user's decimal separator, read once; "." when the locale does not load
// or names a separator that is no single byte.
char UserDecimalSeparator()
{
  static const char separator = [] {
    char result = '.';
    if (locale_t user = ::newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr))) {
      const char *radix = ::nl_langinfo_l(RADIXCHAR, user);
      if (radix && radix[0] && !radix[1])
        result = radix[0];
      ::freelocale(user);
    }
    return result;
  }();
  return separator;
}

} // namespace

std::string FormatFixed2(double Value)
{
  char text[64];
  std::snprintf(text, sizeof text, "%.2f", Value); // the C locale's "." here
  std::string result = text;
  if (const auto dot = result.find('.'); dot != std::string::npos)
    result[dot] = UserDecimalSeparator();
  return result;
}

} // namespace platform
