// The caller's byte stream for the stream transfers: a size, a position, and
// reads and writes at the position. The component never owns one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <string>

namespace tarvik {

class TStream {
public:
    virtual ~TStream() = default;
    virtual std::int64_t Size() = 0;
    virtual std::int64_t Position() = 0;
    // Copies up to count bytes from the position; returns how many (0 at the end).
    virtual std::int32_t Read(void* buffer, std::int32_t count) = 0;
    // Stores count bytes at the position; returns how many were stored.
    virtual std::int32_t Write(const void* buffer, std::int32_t count) = 0;
};

// Bytes in memory; writing past the end grows it.
class TMemoryStream final : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::string bytes) : FBytes(std::move(bytes)) {}
    std::int64_t Size() override { return static_cast<std::int64_t>(FBytes.size()); }
    std::int64_t Position() override { return FPosition; }
    std::int32_t Read(void* buffer, std::int32_t count) override;
    std::int32_t Write(const void* buffer, std::int32_t count) override;
    void Seek(std::int64_t position) { FPosition = position; }
    const std::string& Bytes() const { return FBytes; }

private:
    std::string FBytes;
    std::int64_t FPosition = 0;
};

// A file on disk, opened for reading or for writing (created or truncated).
class TFileStream final : public TStream {
public:
    enum class Mode { Read, Write };
    TFileStream(const std::string& path, Mode mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;
    bool IsOpen() const { return FFile != nullptr; }
    std::int64_t Size() override;
    std::int64_t Position() override;
    std::int32_t Read(void* buffer, std::int32_t count) override;
    std::int32_t Write(const void* buffer, std::int32_t count) override;

private:
    std::FILE* FFile = nullptr;
};

// A standard C++ stream; reads use its get area, writes its put area.
class TStdStream final : public TStream {
public:
    explicit TStdStream(std::iostream& stream) : FStream(stream) {}
    std::int64_t Size() override;
    std::int64_t Position() override;
    std::int32_t Read(void* buffer, std::int32_t count) override;
    std::int32_t Write(const void* buffer, std::int32_t count) override;

private:
    std::iostream& FStream;
};

} // namespace tarvik
