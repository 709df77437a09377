#pragma once
// Texts of the system are Windows-1251 bytes. They are converted only where
// they leave the system: the Qt window and the clipboard.
#include <string>
#include <string_view>

namespace platform {

// Windows-1251 bytes to UTF-8. The one byte without a character (0x98)
// becomes U+FFFD.
std::string Cp1251ToUtf8(std::string_view bytes);

// UTF-8 to Windows-1251 bytes. Characters the code page lacks, and bytes
// that are not valid UTF-8, become '?'.
std::string Utf8ToCp1251(std::string_view utf8);

} // namespace platform
