// The terminated reads under fuzzing: an input decodes to the line settings,
// a pattern of ReadLine/ReadUntil calls and the chunks the device sends; the
// calls run until a round of them changes nothing any more (time-outs with
// nothing more to come, mostly), and each is held to the receive model.
#pragma once

#include "fuzz_input.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tarvik::fuzz {

enum class TerminatedCall : std::uint8_t {
    ReadLine,
    ReadUntilCrLf,
    ReadUntilTerminator, // the case's own terminator, which may be empty
    FlipConvertThenReadLine,
};

struct TerminatedCase {
    bool ConvertLineEnd = false;
    bool InterPacketTimeout = true;
    bool RaiseExcept = false;
    std::int32_t MaxLineLength = 0;
    std::int32_t Timeout = 0;
    std::string Terminator;
    std::vector<TerminatedCall> Calls; // repeated in turn
    std::vector<Chunk> Chunks;
};

// Input layout: [flags][MaxLineLength][timeout][terminator length] terminator
// [call count][call kinds], then the chunks. Flags: bit 0 ConvertLineEnd,
// bit 1 InterPacketTimeout, bit 2 RaiseExcept. Lengths of 240 and up stand for -16 to -1.
TerminatedCase DecodeTerminatedCase(const std::uint8_t* data, std::size_t size);

// Empty when the component matched the model throughout; else what differed.
std::string CheckTerminatedReads(const std::uint8_t* data, std::size_t size);

} // namespace tarvik::fuzz
