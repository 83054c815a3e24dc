#include "receive_model.h"

#include "serial/block_serial.h"

#include <algorithm>

namespace tarvik::fuzz {

namespace {

struct FoundEnd {
    std::size_t Offset;
    std::size_t Length;
};

// The earliest CR or LF starts the line end; it is a pair when the byte after
// it is the other one of the two.
std::optional<FoundEnd> FirstLineEnd(const std::string& text)
{
    const std::size_t at = text.find_first_of("\r\n");
    if (at == std::string::npos)
        return std::nullopt;
    const char other = text[at] == '\r' ? '\n' : '\r';
    const bool pair = at + 1 < text.size() && text[at + 1] == other;
    return FoundEnd{at, pair ? 2u : 1u};
}

} // namespace

std::optional<std::string> ModelDevice::Take(std::uint32_t waitMs)
{
    std::int64_t due = FBaseMs;
    std::size_t next = FNext;
    while (next < FChunks.size()) {
        due += FChunks[next].DelayMs;
        if (!FChunks[next].Bytes.empty())
            break;
        ++next;
    }
    const bool waitEnds = next < FChunks.size() && due <= FNowMs + std::int64_t{waitMs};
    if (!waitEnds) {
        FNowMs += waitMs;
        return std::nullopt;
    }
    FNowMs = std::max(FNowMs, due);
    FBaseMs = FNowMs;
    FNext = next + 1;
    FTaken += FChunks[next].Bytes.size();
    return FChunks[next].Bytes;
}

bool ModelDevice::Exhausted() const
{
    return std::all_of(FChunks.begin() + static_cast<std::ptrdiff_t>(FNext), FChunks.end(),
                       [](const Chunk& chunk) { return chunk.Bytes.empty(); });
}

void ReceiveModel::RaiseIfError() const
{
    if (RaiseExcept && LastErrorCode != seOK)
        throw ModelRaise{LastErrorCode};
}

std::int32_t ReceiveModel::Remaining(std::int32_t timeout, std::int64_t elapsedMs)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(timeout) -
                                     static_cast<std::uint32_t>(elapsedMs));
}

std::string ReceiveModel::ReadChunk(std::int32_t timeout)
{
    LastErrorCode = seOK;
    std::string result;
    if (!LineBuffer.empty()) {
        result.swap(LineBuffer);
    } else if (auto chunk = FDevice.Take(static_cast<std::uint32_t>(timeout))) {
        result = std::move(*chunk);
    } else {
        LastErrorCode = seTimeout;
    }
    RaiseIfError();
    return result;
}

void ReceiveModel::ReadCounted(std::int32_t length, std::int32_t timeout, std::string& out)
{
    std::string chunk;
    std::size_t used = 0;
    for (;;) {
        const std::int64_t start = FDevice.NowMs();
        chunk = ReadChunk(timeout);
        used = std::min(chunk.size(), static_cast<std::size_t>(length) - out.size());
        out.append(chunk, 0, used);
        if (LastErrorCode != seOK || out.size() >= static_cast<std::size_t>(length))
            break;
        if (!InterPacketTimeout) {
            timeout = Remaining(timeout, FDevice.NowMs() - start);
            if (timeout <= 0) {
                LastErrorCode = seTimeout;
                break;
            }
        }
    }
    LineBuffer = chunk.substr(used);
}

std::string ReceiveModel::ReadTextCount(std::int32_t length, std::int32_t timeout)
{
    LastErrorCode = seOK;
    if (length < 1)
        return {};
    std::string copied;
    try {
        ReadCounted(length, timeout, copied);
    } catch (const ModelRaise&) {
        Spend(copied);
        throw;
    }
    Spend(copied);
    if (LastErrorCode != seOK)
        return {};
    return copied;
}

std::string ReceiveModel::ReadUntil(std::int32_t timeout, const std::string& terminator)
{
    LastErrorCode = seOK;
    if (terminator.empty())
        return {};
    const bool convert = ConvertLineEnd && terminator == "\r\n";
    std::string gathered;
    std::optional<FoundEnd> found;
    for (;;) {
        const std::int64_t start = FDevice.NowMs();
        try {
            gathered += ReadChunk(timeout);
        } catch (const ModelRaise&) {
            Spend(gathered);
            throw;
        }
        if (LastErrorCode != seOK)
            break;
        if (!gathered.empty()) {
            if (convert) {
                if (PendingCR && gathered.front() == '\n') {
                    Spend(gathered.substr(0, 1));
                    gathered.erase(0, 1);
                }
                if (PendingLF && !gathered.empty() && gathered.front() == '\r') {
                    Spend(gathered.substr(0, 1));
                    gathered.erase(0, 1);
                }
                PendingCR = false;
                PendingLF = false;
                found = FirstLineEnd(gathered);
                if (found && found->Length == 1) {
                    PendingCR = gathered[found->Offset] == '\r';
                    PendingLF = gathered[found->Offset] == '\n';
                }
            } else if (const std::size_t at = gathered.find(terminator); at != std::string::npos) {
                found = FoundEnd{at, terminator.size()};
            }
        }
        if (MaxLineLength != 0 && std::int64_t(gathered.size()) > std::int64_t{MaxLineLength}) {
            LastErrorCode = seLineTooLong;
            break;
        }
        if (found)
            break;
        if (!InterPacketTimeout) {
            timeout = Remaining(timeout, FDevice.NowMs() - start);
            if (timeout <= 0) {
                LastErrorCode = seTimeout;
                break;
            }
        }
    }
    std::string line;
    if (found) {
        line = gathered.substr(0, found->Offset);
        Spend(gathered.substr(0, found->Offset + found->Length));
        gathered.erase(0, found->Offset + found->Length);
    }
    LineBuffer = gathered;
    RaiseIfError();
    return line;
}

std::string ReceiveModel::ReadLine(std::int32_t timeout)
{
    std::string line = ReadUntil(timeout, "\r\n");
    return LastErrorCode == seOK ? line : std::string();
}

} // namespace tarvik::fuzz
