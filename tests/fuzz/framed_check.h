// The framed reads under fuzzing: an input decodes to a sequence of
// ReadInt32/ReadSized/stream reads and the chunks the device sends; each read
// is held to the framed model, and none may ask for far more memory than the
// bytes that have arrived.
#pragma once

#include "fuzz_input.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tarvik::fuzz {

enum class FramedCall : std::uint8_t {
    ReadInt32,
    ReadSized,
    ReadStreamSized,
    ReadStreamSizedNet,
    ReadStreamCount,
    ReadStreamAll,
};

struct FramedStep {
    FramedCall Call;
    std::int32_t Count = 0; // for ReadStreamCount
};

struct FramedCase {
    bool InterPacketTimeout = true;
    bool RaiseExcept = false;
    std::int32_t Timeout = 0;
    std::vector<FramedStep> Steps;
    std::vector<Chunk> Chunks;
};

// Input layout: [flags][timeout][step count] steps, then the chunks (2-byte
// lengths). Flags: bit 0 InterPacketTimeout, bit 1 RaiseExcept. A step is one
// byte, the call being its value modulo 6; ReadStreamCount takes a 4-byte
// count after it, least significant byte first.
FramedCase DecodeFramedCase(const std::uint8_t* data, std::size_t size);

// Empty when the component matched the model throughout; else what differed.
std::string CheckFramedReads(const std::uint8_t* data, std::size_t size);

// A read may hold what arrived, what the stream grows to and a segment or two
// beside it: at most this many bytes in one allocation.
std::size_t AllocationBound(std::size_t arrivedBytes);

} // namespace tarvik::fuzz
