#include "framed_model.h"

#include "serial/block_serial.h"

namespace tarvik::fuzz {

namespace {

constexpr std::int32_t kSegment = 8192;

std::int32_t ReversedBytes(std::int32_t value)
{
    const auto bits = static_cast<std::uint32_t>(value);
    return static_cast<std::int32_t>((bits >> 24) | (bits >> 8 & 0xFF00u) |
                                     (bits << 8 & 0xFF0000u) | (bits << 24));
}

} // namespace

std::int32_t FramedModel::ReadInt32(std::int32_t timeout)
{
    const std::string text = ReadTextCount(4, timeout);
    if (LastErrorCode != seOK)
        return 0;
    std::uint32_t bits = 0;
    for (int i = 3; i >= 0; --i)
        bits = bits << 8 | static_cast<unsigned char>(text[static_cast<std::size_t>(i)]);
    return static_cast<std::int32_t>(bits);
}

std::string FramedModel::ReadSized(std::int32_t timeout)
{
    const std::int32_t length = ReadInt32(timeout);
    if (LastErrorCode != seOK)
        return {};
    return ReadTextCount(length, timeout);
}

void FramedModel::ReadStreamAll(std::int32_t timeout)
{
    do {
        const std::string chunk = ReadChunk(timeout);
        if (LastErrorCode == seOK) {
            Stream += chunk;
            Spend(chunk);
        }
    } while (LastErrorCode == seOK);
}

void FramedModel::ReadStreamCount(std::int32_t timeout, std::int32_t count)
{
    const std::int32_t full = count / kSegment;
    const std::int32_t rest = count - full * kSegment;
    for (std::int32_t i = 0; i < full; ++i) {
        const std::string segment = ReadTextCount(kSegment, timeout);
        if (LastErrorCode != seOK)
            return;
        Stream += segment;
    }
    if (rest > 0) {
        const std::string segment = ReadTextCount(rest, timeout);
        if (LastErrorCode != seOK)
            return;
        Stream += segment;
    }
}

void FramedModel::ReadStreamSized(std::int32_t timeout)
{
    const std::int32_t count = ReadInt32(timeout);
    if (LastErrorCode == seOK)
        ReadStreamCount(timeout, count);
}

void FramedModel::ReadStreamSizedNet(std::int32_t timeout)
{
    const std::int32_t count = ReversedBytes(ReadInt32(timeout));
    if (LastErrorCode == seOK)
        ReadStreamCount(timeout, count);
}

} // namespace tarvik::fuzz
