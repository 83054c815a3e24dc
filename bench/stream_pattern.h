// The content of a benchmark transfer, made up as it is sent and checked as
// it arrives, so that neither end holds the stream: every 8192-byte block is
// one fixed pattern with the block's number in its first 8 bytes, which
// catches lost, doubled and reordered blocks. stream_throughput.cpp's Python
// clients build the same bytes.
#pragma once

#include "bench/bench_support.h"
#include "serial/serial_stream.h"

#include <array>
#include <cstring>

namespace tarvik::bench {

inline constexpr std::size_t kBlock = 8192;

inline const std::array<char, kBlock>& BasePattern()
{
    static const std::array<char, kBlock> base = [] {
        std::array<char, kBlock> bytes{};
        for (std::size_t j = 0; j < kBlock; ++j)
            bytes[j] = static_cast<char>((j * 167 + (j >> 8) * 13 + 91) & 0xFF);
        return bytes;
    }();
    return base;
}

// The bytes of the transfer from offset on.
inline void FillPattern(std::uint64_t offset, char* out, std::size_t size)
{
    const auto& base = BasePattern();
    while (size > 0) {
        const std::uint64_t block = offset / kBlock;
        const std::size_t at = offset % kBlock;
        const std::size_t piece = std::min(size, kBlock - at);
        std::memcpy(out, base.data() + at, piece);
        for (std::size_t j = at; j < 8 && j < at + piece; ++j)
            out[j - at] = static_cast<char>((block >> (8 * j)) & 0xFF);
        out += piece;
        offset += piece;
        size -= piece;
    }
}

// Receiver-side rate: from the end of the first delivery to the end of the
// last, over the bytes delivered after the first, so that start-up and the
// bytes that waited in buffers before the clock ran do not count.
class RateMeter {
public:
    void Add(std::size_t bytes)
    {
        const std::int64_t now = NowNanos();
        if (total_ == 0) {
            first_ = now;
            firstBytes_ = bytes;
        }
        last_ = now;
        total_ += bytes;
    }
    std::uint64_t Total() const { return total_; }
    double MegabytesPerSecond() const
    {
        if (last_ <= first_)
            return 0;
        return static_cast<double>(total_ - firstBytes_) / 1e6 /
               (static_cast<double>(last_ - first_) / 1e9);
    }

private:
    std::int64_t first_ = 0;
    std::int64_t last_ = 0;
    std::uint64_t firstBytes_ = 0;
    std::uint64_t total_ = 0;
};

// Compares what arrives with the pattern at its offset.
class PatternChecker {
public:
    void Check(const char* bytes, std::size_t size)
    {
        while (size > 0) {
            const std::size_t piece = std::min(size, scratch_.size());
            FillPattern(offset_, scratch_.data(), piece);
            if (std::memcmp(scratch_.data(), bytes, piece) != 0)
                ++mismatches_;
            bytes += piece;
            offset_ += piece;
            size -= piece;
        }
    }
    std::uint64_t Offset() const { return offset_; }
    std::uint64_t Mismatches() const { return mismatches_; }

private:
    std::array<char, kBlock> scratch_{};
    std::uint64_t offset_ = 0;
    std::uint64_t mismatches_ = 0;
};

// A read-only stream of size bytes of the pattern.
class PatternStream final : public TStream {
public:
    explicit PatternStream(std::int64_t size) : size_(size) {}
    std::int64_t Size() override { return size_; }
    std::int64_t Position() override { return position_; }
    std::int32_t Read(void* buffer, std::int32_t count) override
    {
        const auto piece = static_cast<std::int32_t>(
            std::min<std::int64_t>(std::max<std::int32_t>(count, 0), size_ - position_));
        FillPattern(static_cast<std::uint64_t>(position_), static_cast<char*>(buffer),
                    static_cast<std::size_t>(piece));
        position_ += piece;
        return piece;
    }
    std::int32_t Write(const void*, std::int32_t) override { return 0; }

private:
    std::int64_t size_;
    std::int64_t position_ = 0;
};

// A write-only stream that keeps nothing: it checks and times what it is given.
class CheckingStream final : public TStream {
public:
    std::int64_t Size() override { return Position(); }
    std::int64_t Position() override { return static_cast<std::int64_t>(checker_.Offset()); }
    std::int32_t Read(void*, std::int32_t) override { return 0; }
    std::int32_t Write(const void* buffer, std::int32_t count) override
    {
        checker_.Check(static_cast<const char*>(buffer), static_cast<std::size_t>(count));
        meter_.Add(static_cast<std::size_t>(count));
        return count;
    }
    const PatternChecker& Checker() const { return checker_; }
    const RateMeter& Meter() const { return meter_; }

private:
    PatternChecker checker_;
    RateMeter meter_;
};

} // namespace tarvik::bench
