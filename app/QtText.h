#pragma once
// Texts of the system are Windows-1251 bytes; Qt takes and gives UTF-16.
#include "platform/Cp1251.h"

#include <QString>

#include <string>
#include <string_view>

namespace app {

inline QString ToQt(std::string_view Text) { return QString::fromStdString(platform::Cp1251ToUtf8(Text)); }

inline std::string FromQt(const QString &Text) { return platform::Utf8ToCp1251(Text.toStdString()); }

} // namespace app
