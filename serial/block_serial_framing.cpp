// Framed transfers: 4-byte integers, sized strings, and streams in segments.
#include "serial/block_serial.h"
#include "serial/serial_util.h"

#include <algorithm>

namespace tarvik {

namespace {

constexpr std::int32_t kSegmentSize = 8192;

// Sizes and positions count in their low 32 bits, as signed values.
std::int32_t RemainingLength(TStream& stream)
{
    const auto size = static_cast<std::uint32_t>(stream.Size());
    const auto position = static_cast<std::uint32_t>(stream.Position());
    return static_cast<std::int32_t>(size - position);
}

} // namespace

void TBlockSerial::SendInt32(std::int32_t value)
{
    const auto bits = static_cast<std::uint32_t>(value);
    const std::uint8_t bytes[4] = {
        static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
        static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)};
    SendBytes(bytes, 4);
}

void TBlockSerial::SendSized(const std::string& text)
{
    SendInt32(static_cast<std::int32_t>(text.size()));
    SendText(text);
}

void TBlockSerial::SendStreamBody(TStream& stream)
{
    const std::int32_t total = RemainingLength(stream);
    std::int32_t sent = 0;
    std::string segment;
    while (sent < total) {
        const std::int32_t wanted = std::min(total - sent, kSegmentSize);
        segment.resize(static_cast<std::size_t>(wanted));
        const std::int32_t got = stream.Read(segment.data(), wanted);
        if (got <= 0)
            break;
        segment.resize(static_cast<std::size_t>(std::min(got, wanted)));
        SendText(segment);
        sent += static_cast<std::int32_t>(segment.size());
    }
}

void TBlockSerial::SendStreamSized(TStream& stream)
{
    SendInt32(RemainingLength(stream));
    SendStreamBody(stream);
}

void TBlockSerial::SendStreamSizedNet(TStream& stream)
{
    SendInt32(SwapInt32(RemainingLength(stream)));
    SendStreamBody(stream);
}

std::int32_t TBlockSerial::ReadInt32(std::int32_t timeout)
{
    const std::string text = ReadTextCount(4, timeout);
    if (FLastErrorCode != seOK || text.size() < 4)
        return 0;
    const auto byte = [&](std::size_t i) {
        return static_cast<std::uint32_t>(static_cast<std::uint8_t>(text[i]));
    };
    return static_cast<std::int32_t>(byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24);
}

std::string TBlockSerial::ReadSized(std::int32_t timeout)
{
    std::string result;
    const std::int32_t length = ReadInt32(timeout);
    if (FLastErrorCode == seOK)
        result = ReadTextCount(length, timeout);
    return result;
}

void TBlockSerial::ReadStreamAll(TStream& stream, std::int32_t timeout)
{
    do {
        const std::string chunk = ReadChunk(timeout);
        if (FLastErrorCode == seOK)
            AppendToStream(stream, chunk);
    } while (FLastErrorCode == seOK);
}

void TBlockSerial::ReadStreamCount(TStream& stream, std::int32_t timeout, std::int32_t count)
{
    const std::int32_t full = count / kSegmentSize;
    const std::int32_t rest = count - full * kSegmentSize;
    for (std::int32_t i = 0; i < full; ++i) {
        const std::string segment = ReadTextCount(kSegmentSize, timeout);
        if (FLastErrorCode != seOK)
            return;
        stream.Write(segment.data(), kSegmentSize);
    }
    if (rest > 0) {
        const std::string segment = ReadTextCount(rest, timeout);
        if (FLastErrorCode != seOK)
            return;
        stream.Write(segment.data(), rest);
    }
}

void TBlockSerial::ReadStreamSized(TStream& stream, std::int32_t timeout)
{
    const std::int32_t count = ReadInt32(timeout);
    if (FLastErrorCode == seOK)
        ReadStreamCount(stream, timeout, count);
}

void TBlockSerial::ReadStreamSizedNet(TStream& stream, std::int32_t timeout)
{
    const std::int32_t count = SwapInt32(ReadInt32(timeout));
    if (FLastErrorCode == seOK)
        ReadStreamCount(stream, timeout, count);
}

} // namespace tarvik
