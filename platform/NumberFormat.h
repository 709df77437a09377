#pragma once
// Numbers as the user's locale writes them.
#include <string>

namespace platform {

// Value in fixed-point notation with exactly two decimals, the user's
// decimal separator (LC_NUMERIC) and no thousands separator.
std::string FormatFixed2(double Value);

} // namespace platform
