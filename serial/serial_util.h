// Stateless helpers of the serial component: the millisecond clock, byte
// order, line ends, and the string helpers the component shares.
#pragma once

#include "platform/comm_api.h"
#include "platform/int_text.h"
#include "serial/serial_stream.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvik {

// Milliseconds from an arbitrary origin, wrapping every 2^32 ms.
std::uint32_t TickNow(win::CommApi& api = win::NativeCommApi());
// Milliseconds from old to new; a reading that goes backwards counts as the
// size of the step back unless it crossed from the upper to the lower half.
std::uint32_t TickElapsed(std::uint32_t oldTick, std::uint32_t newTick);

std::string Int32ToBigEndian(std::int32_t value);
std::int32_t SwapInt32(std::int32_t value);

struct LineEnd {
    std::string_view Ending; // empty when the text holds no CR or LF
    std::size_t Offset = 0;  // bytes in front of it
};
// The earliest of CR LF, LF CR, CR and LF; at an equal start the pair wins.
LineEnd FindLineEnd(std::string_view text);

inline void* OffsetPointer(void* pointer, std::int32_t count)
{
    return static_cast<char*>(pointer) + count;
}

// Writes the text at the stream's position.
void AppendToStream(TStream& stream, const std::string& text);

// Only a to z change; every other byte stays as it is.
std::string UpperCaseAscii(std::string_view text);

} // namespace tarvik
