// Reading an integer out of text the way port names and answers are read:
// leading blanks, an optional sign, decimal digits or hexadecimal digits after
// "$" or "0x". Anything else, an empty number or an overflow gives fallback.
#pragma once

#include <cstdint>
#include <string_view>

namespace tarvik {

std::int32_t StrToIntDef(std::string_view text, std::int32_t fallback);

} // namespace tarvik
