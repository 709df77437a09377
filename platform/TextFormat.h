#pragma once
// Texts from printf formats: the log lines and messages of the loader and
// the window ("%s", "%d", "%lld"), however long they come out.
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// The text of a printf format and its arguments; empty when the format
// gives none.
template <class... Args> std::string Format(const char *format, Args... args)
{
  const int size = std::snprintf(nullptr, 0, format, args...);
  if (size <= 0)
    return {};
  std::vector<char> text(static_cast<std::size_t>(size) + 1);
  std::snprintf(text.data(), text.size(), format, args...);
  return std::string(text.data(), static_cast<std::size_t>(size));
}

} // namespace platform
