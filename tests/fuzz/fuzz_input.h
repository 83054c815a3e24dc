// Reads a fuzzer's bytes as a small program: settings first, then the
// chunks the device sends. Past the end every read yields zero, so each
// input, however short, decodes to some case.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvik::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : FData(data), FSize(size) {}

    bool Empty() const { return FPos >= FSize; }
    std::uint8_t Byte() { return Empty() ? 0 : FData[FPos++]; }
    std::uint16_t Word()
    {
        const std::uint16_t low = Byte();
        return static_cast<std::uint16_t>(low | Byte() << 8);
    }
    std::int32_t Int32()
    {
        std::uint32_t bits = 0;
        for (int shift = 0; shift < 32; shift += 8)
            bits |= std::uint32_t{Byte()} << shift;
        return static_cast<std::int32_t>(bits);
    }
    // Up to count bytes: fewer when the input ends first.
    std::string Bytes(std::size_t count)
    {
        const std::size_t n = std::min(count, FSize - std::min(FPos, FSize));
        std::string bytes(reinterpret_cast<const char*>(FData + FPos), n);
        FPos += n;
        return bytes;
    }

private:
    const std::uint8_t* FData;
    std::size_t FSize;
    std::size_t FPos = 0;
};

// One arrival at the device: its bytes (empty for a pause) and how long after
// the previous one it comes.
struct Chunk {
    std::string Bytes;
    std::uint32_t DelayMs = 0;
};

// Delays and time-outs share one unit, so that a delay longer than the
// time-out and one shorter are both a mutation away.
inline constexpr std::uint32_t kTimeUnitMs = 8;

struct ScriptLimits {
    int LengthBytes;          // 1 or 2: the width of a chunk's length field
    std::size_t MaxChunkSize; // a length field is taken modulo one more than this
    std::size_t MaxTotal;     // bytes in the whole script
    std::size_t MaxChunks;
};

// Each chunk: [d][length] then the bytes, or one fill byte when bit 7 of d is
// set (so that long runs cost the input little); the delay is d's low 7 bits
// in time units.
inline std::vector<Chunk> DecodeChunks(FuzzInput& in, const ScriptLimits& limits)
{
    std::vector<Chunk> chunks;
    std::size_t total = 0;
    while (!in.Empty() && chunks.size() < limits.MaxChunks) {
        const std::uint8_t d = in.Byte();
        std::size_t length = limits.LengthBytes == 1 ? in.Byte() : in.Word();
        length %= limits.MaxChunkSize + 1;
        length = std::min(length, limits.MaxTotal - total);
        Chunk chunk;
        chunk.DelayMs = (d & 0x7Fu) * kTimeUnitMs;
        if ((d & 0x80u) != 0)
            chunk.Bytes.assign(length, static_cast<char>(in.Byte()));
        else
            chunk.Bytes = in.Bytes(length);
        total += chunk.Bytes.size();
        chunks.push_back(std::move(chunk));
    }
    return chunks;
}

// Shows bytes readably in a failure report.
inline std::string Escaped(const std::string& bytes)
{
    static const char* const kHex = "0123456789ABCDEF";
    std::string text = "\"";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\r') {
            text += "\\r";
        } else if (b == '\n') {
            text += "\\n";
        } else if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
            text += c;
        } else {
            text += "\\x";
            text += kHex[b >> 4];
            text += kHex[b & 15];
        }
    }
    if (text.size() > 200)
        text = text.substr(0, 200) + "...(" + std::to_string(bytes.size()) + " bytes)";
    return text + "\"";
}

} // namespace tarvik::fuzz
