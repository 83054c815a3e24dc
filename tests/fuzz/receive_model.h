// A model of the buffered receive written apart from the component: the
// device's arrivals on a millisecond clock, the receive buffer, the two
// line-end flags and the recorded error. The fuzz checks hold the component
// to it call by call, so it must not share the component's code.
#pragma once

#include "fuzz_input.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvik::fuzz {

// The device as the simulated port plays a script: one chunk at a time, each
// due its delay after the latest of the previous arrival and the moment the
// one before it was read; a pause (an empty chunk) only moves that moment.
class ModelDevice {
public:
    explicit ModelDevice(std::vector<Chunk> chunks) : FChunks(std::move(chunks)) {}

    // The next chunk with bytes, waiting up to waitMs for it; none when the
    // wait runs out (the clock then stands waitMs later).
    std::optional<std::string> Take(std::uint32_t waitMs);
    // No chunk with bytes is left to come.
    bool Exhausted() const;
    std::int64_t NowMs() const { return FNowMs; }
    std::size_t TakenBytes() const { return FTaken; }

private:
    std::vector<Chunk> FChunks;
    std::size_t FNext = 0;
    std::int64_t FBaseMs = 0; // when the last chunk was read, or the start
    std::int64_t FNowMs = 0;
    std::size_t FTaken = 0;
};

// What the model raises where the component would raise EKorloSerError.
struct ModelRaise {
    std::int32_t Code;
};

class ReceiveModel {
public:
    explicit ReceiveModel(std::vector<Chunk> chunks) : FDevice(std::move(chunks)) {}

    std::string ReadChunk(std::int32_t timeout);
    std::string ReadTextCount(std::int32_t length, std::int32_t timeout);
    std::string ReadUntil(std::int32_t timeout, const std::string& terminator);
    std::string ReadLine(std::int32_t timeout);

    const ModelDevice& Device() const { return FDevice; }
    // Every byte that left the buffer for good, in order: lines, line ends,
    // dropped bytes, frames, and whatever a failure threw away. With
    // LineBuffer after it, it is the whole of what the device delivered.
    const std::string& Spent() const { return FSpent; }

    bool ConvertLineEnd = false;
    bool InterPacketTimeout = true;
    bool RaiseExcept = false;
    std::int32_t MaxLineLength = 0;

    std::string LineBuffer;
    bool PendingCR = false;
    bool PendingLF = false;
    std::int32_t LastErrorCode = 0;

protected:
    void Spend(const std::string& bytes) { FSpent += bytes; }
    void RaiseIfError() const;

private:
    // Exactly length bytes into out unless time runs out or an error comes;
    // what the last chunk had beyond them goes back to LineBuffer.
    void ReadCounted(std::int32_t length, std::int32_t timeout, std::string& out);
    // What is left of a whole-read budget after a pass that took elapsed ms,
    // in the component's wrapping 32-bit arithmetic.
    static std::int32_t Remaining(std::int32_t timeout, std::int64_t elapsedMs);

    ModelDevice FDevice;
    std::string FSpent;
};

} // namespace tarvik::fuzz
