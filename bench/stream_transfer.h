// The plain ends of a benchmark transfer: writing the pattern behind an
// optional 4-byte little-endian length, and reading, checking and timing it.
#pragma once

#include "bench/stream_pattern.h"

#include <sstream>

namespace tarvik::bench {

inline constexpr std::int64_t kStepWait = 10'000'000'000; // any single read or write

inline std::int64_t StepDeadline()
{
    return NowNanos() + kStepWait;
}

inline std::string LengthPrefix(std::uint64_t bytes)
{
    std::string prefix(4, '\0');
    for (int i = 0; i < 4; ++i)
        prefix[static_cast<std::size_t>(i)] = static_cast<char>((bytes >> (8 * i)) & 0xFF);
    return prefix;
}

inline void WritePattern(int fd, std::uint64_t bytes, bool prefixed)
{
    if (prefixed) {
        const std::string prefix = LengthPrefix(bytes);
        WriteAllBy(fd, prefix.data(), prefix.size(), StepDeadline(), "length prefix");
    }
    char block[kBlock];
    for (std::uint64_t offset = 0; offset < bytes; offset += kBlock) {
        const auto piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, bytes - offset));
        FillPattern(offset, block, piece);
        WriteAllBy(fd, block, piece, StepDeadline(), "pattern");
    }
}

struct Outcome {
    double Rate = 0; // MB/s
    bool Intact = false;
    long PeakKiB = -1; // of the TBlockSerial process; -1 where there is none
};

inline Outcome ReadPattern(int fd, std::uint64_t bytes, bool prefixed)
{
    const std::size_t prefixLength = prefixed ? 4 : 0;
    RateMeter meter;
    PatternChecker checker;
    std::string prefix;
    std::vector<char> buffer(65536);
    while (meter.Total() < bytes + prefixLength) {
        const auto want = static_cast<std::size_t>(
            std::min<std::uint64_t>(buffer.size(), bytes + prefixLength - meter.Total()));
        const std::size_t got = ReadSome(fd, buffer.data(), want, StepDeadline(), "transfer");
        const char* data = buffer.data();
        std::size_t size = got;
        while (prefix.size() < prefixLength && size > 0) {
            prefix.push_back(*data++);
            --size;
        }
        checker.Check(data, size);
        meter.Add(got);
    }
    Outcome outcome;
    outcome.Rate = meter.MegabytesPerSecond();
    outcome.Intact = checker.Mismatches() == 0 && checker.Offset() == bytes &&
                     (!prefixed || prefix == LengthPrefix(bytes));
    return outcome;
}

// "<bytes> <mismatching pieces> <MB/s>", as a receiving child reports it.
inline Outcome ParseReport(const std::string& report, std::uint64_t bytes)
{
    std::istringstream fields(report);
    std::uint64_t received = 0;
    std::uint64_t mismatches = 1;
    Outcome outcome;
    if (!(fields >> received >> mismatches >> outcome.Rate))
        throw std::runtime_error("bad report: " + report);
    outcome.Intact = received == bytes && mismatches == 0;
    return outcome;
}

} // namespace tarvik::bench
