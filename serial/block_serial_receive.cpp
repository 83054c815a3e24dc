// The receive buffer and the reads built on it: packets, counted blocks,
// single bytes and terminated lines.
#include "serial/block_serial.h"
#include "serial/serial_util.h"

#include <algorithm>
#include <cstring>

namespace tarvik {

bool TBlockSerial::TotalTimeUsedUp(std::int32_t& timeout, std::uint32_t start)
{
    if (InterPacketTimeout)
        return false;
    // What is left is taken in wrapping 32-bit arithmetic and read as signed.
    const std::uint32_t elapsed = TickElapsed(start, TickNow(FApi));
    timeout = static_cast<std::int32_t>(static_cast<std::uint32_t>(timeout) - elapsed);
    if (timeout > 0)
        return false;
    SetError(seTimeout);
    return true;
}

std::string TBlockSerial::ReadChunk(std::int32_t timeout)
{
    std::string result;
    if (NotReady())
        return result;
    SetError(seOK);
    if (!LineBuffer.empty()) {
        result.swap(LineBuffer);
        return result;
    }

    FApi.Sleep(0);
    std::int32_t queued = InQueueCount();
    // A failed count is no empty queue: waiting on it would only hide the reason.
    if (queued == 0 && FLastErrorCode == seOK) {
        if (WaitReadable(timeout))
            queued = InQueueCount();
        if (queued == 0 && FLastErrorCode == seOK)
            SetError(seTimeout);
    }
    if (queued > 0) {
        result.resize(static_cast<std::size_t>(queued));
        const std::int32_t read = ReadBytes(result.data(), queued);
        result.resize(static_cast<std::size_t>(std::max(read, 0)));
    }
    RaiseIfError();
    return result;
}

std::int32_t TBlockSerial::ReadCounted(std::int32_t length, std::int32_t timeout,
                                       const std::function<void(const char*, std::size_t)>& take)
{
    std::int32_t copied = 0;
    std::string chunk;
    std::size_t used = 0;
    for (;;) {
        const std::uint32_t start = TickNow(FApi);
        chunk = ReadChunk(timeout);
        used = std::min(chunk.size(), static_cast<std::size_t>(std::max(length - copied, 0)));
        take(chunk.data(), used);
        copied += static_cast<std::int32_t>(used);
        if (FLastErrorCode != seOK || copied >= length)
            break;
        if (TotalTimeUsedUp(timeout, start))
            break;
    }
    // An empty chunk took nothing out of LineBuffer, so there is nothing to return to it.
    if (!chunk.empty())
        LineBuffer = chunk.substr(used);
    return copied;
}

std::int32_t TBlockSerial::ReadBytesWait(void* destination, std::int32_t length,
                                         std::int32_t timeout)
{
    if (NotReady())
        return 0;
    SetError(seOK);
    std::int32_t copied = 0;
    return ReadCounted(length, timeout, [&](const char* bytes, std::size_t count) {
        std::memcpy(OffsetPointer(destination, copied), bytes, count);
        copied += static_cast<std::int32_t>(count);
    });
}

std::string TBlockSerial::ReadTextCount(std::int32_t length, std::int32_t timeout)
{
    std::string result;
    if (NotReady())
        return result;
    SetError(seOK);
    if (length < 1)
        return result;
    // The text grows with the bytes that arrive instead of being sized up
    // front: a length can come from the wire and be far larger than what follows.
    ReadCounted(length, timeout,
                [&](const char* bytes, std::size_t count) { result.append(bytes, count); });
    if (FLastErrorCode != seOK)
        result.clear();
    return result;
}

std::uint8_t TBlockSerial::ReadChar(std::int32_t timeout)
{
    if (NotReady())
        return 0;
    SetError(seOK);
    if (LineBuffer.empty())
        LineBuffer = ReadChunk(timeout);
    std::uint8_t result = 0;
    if (FLastErrorCode == seOK && !LineBuffer.empty()) {
        result = static_cast<std::uint8_t>(LineBuffer.front());
        LineBuffer.erase(0, 1);
    }
    RaiseIfError();
    return result;
}

std::string TBlockSerial::ReadUntil(std::int32_t timeout, const std::string& terminator)
{
    std::string result;
    if (NotReady())
        return result;
    SetError(seOK);
    if (terminator.empty())
        return result;

    const bool convert = ConvertLineEnd && terminator == "\r\n";
    std::string gathered;
    bool found = false;
    std::size_t lineLength = 0;
    std::size_t endLength = 0;
    for (;;) {
        const std::uint32_t start = TickNow(FApi);
        gathered += ReadChunk(timeout);
        if (FLastErrorCode != seOK)
            break;
        if (!gathered.empty()) {
            if (convert) {
                // The second half of a CR LF or LF CR pair split between two reads.
                if (FPendingCR && gathered.front() == '\n')
                    gathered.erase(0, 1);
                if (FPendingLF && !gathered.empty() && gathered.front() == '\r')
                    gathered.erase(0, 1);
                FPendingCR = false;
                FPendingLF = false;
                const LineEnd end = FindLineEnd(gathered);
                if (!end.Ending.empty()) {
                    found = true;
                    lineLength = end.Offset;
                    endLength = end.Ending.size();
                    FPendingCR = end.Ending == "\r";
                    FPendingLF = end.Ending == "\n";
                }
            } else if (const auto at = gathered.find(terminator); at != std::string::npos) {
                found = true;
                lineLength = at;
                endLength = terminator.size();
            }
        }
        if (MaxLineLength != 0 &&
            static_cast<std::int64_t>(gathered.size()) > static_cast<std::int64_t>(MaxLineLength)) {
            SetError(seLineTooLong);
            break;
        }
        if (found)
            break;
        if (TotalTimeUsedUp(timeout, start))
            break;
    }
    if (found) {
        result = gathered.substr(0, lineLength);
        gathered.erase(0, lineLength + endLength);
    }
    // In front of whatever a refused ReadChunk left untouched there.
    LineBuffer.insert(0, gathered);
    RaiseIfError();
    return result;
}

std::string TBlockSerial::ReadLine(std::int32_t timeout)
{
    std::string line = ReadUntil(timeout, "\r\n");
    return FLastErrorCode == seOK ? line : std::string();
}

std::int32_t TBlockSerial::PendingCount()
{
    if (!LineBuffer.empty())
        return static_cast<std::int32_t>(std::min<std::size_t>(LineBuffer.size(), 0x7FFFFFFF));
    return InQueueCount();
}

bool TBlockSerial::WaitPending(std::int32_t timeout)
{
    if (!LineBuffer.empty())
        return true;
    return WaitReadable(timeout);
}

} // namespace tarvik
