#include "serial/serial_util.h"

namespace tarvik {

std::uint32_t TickNow(win::CommApi& api)
{
    std::int64_t frequency = 0;
    if (!api.QueryPerformanceFrequency(&frequency))
        return api.GetTickCount();
    std::int64_t counter = 0;
    api.QueryPerformanceCounter(&counter);
    // Quotient first, then the factor, each in extended precision: the
    // order decides the rounding, and the truncation keeps whole milliseconds.
    const long double seconds = static_cast<long double>(counter) / frequency;
    const long double milliseconds = seconds * 1000.0L;
    return static_cast<std::uint32_t>(static_cast<std::int64_t>(milliseconds));
}

std::uint32_t TickElapsed(std::uint32_t oldTick, std::uint32_t newTick)
{
    if (newTick == oldTick)
        return 0;
    if (newTick > oldTick)
        return newTick - oldTick;
    if (oldTick >= 0x80000000u && newTick < 0x80000000u)
        return newTick - oldTick; // wrapped: modulo 2^32
    return oldTick - newTick;
}

std::string Int32ToBigEndian(std::int32_t value)
{
    const auto bits = static_cast<std::uint32_t>(value);
    return {static_cast<char>(bits >> 24), static_cast<char>(bits >> 16),
            static_cast<char>(bits >> 8), static_cast<char>(bits)};
}

std::int32_t SwapInt32(std::int32_t value)
{
    const auto bits = static_cast<std::uint32_t>(value);
    return static_cast<std::int32_t>((bits & 0xFFu) << 24 | (bits & 0xFF00u) << 8 |
                                     (bits >> 8 & 0xFF00u) | bits >> 24);
}

LineEnd FindLineEnd(std::string_view text)
{
    LineEnd chosen;
    bool found = false;
    for (std::string_view ending : {"\r\n", "\n\r", "\r", "\n"}) {
        const auto at = text.find(ending);
        if (at == std::string_view::npos)
            continue;
        if (!found || at < chosen.Offset) {
            chosen = {ending, at};
            found = true;
        }
    }
    return chosen;
}

void AppendToStream(TStream& stream, const std::string& text)
{
    stream.Write(text.data(), static_cast<std::int32_t>(text.size()));
}

std::string UpperCaseAscii(std::string_view text)
{
    std::string upper(text);
    for (char& c : upper)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return upper;
}

} // namespace tarvik
