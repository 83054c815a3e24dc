#include "serial/serial_stream.h"

#include <algorithm>
#include <cstring>
#include <iostream>

namespace tarvik {

std::int32_t TMemoryStream::Read(void* buffer, std::int32_t count)
{
    const auto size = static_cast<std::int64_t>(FBytes.size());
    if (count <= 0 || FPosition >= size)
        return 0;
    const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(count, size - FPosition));
    std::memcpy(buffer, FBytes.data() + FPosition, static_cast<std::size_t>(n));
    FPosition += n;
    return n;
}

std::int32_t TMemoryStream::Write(const void* buffer, std::int32_t count)
{
    if (count <= 0)
        return 0;
    const auto end = static_cast<std::size_t>(FPosition) + static_cast<std::size_t>(count);
    if (end > FBytes.size())
        FBytes.resize(end);
    std::memcpy(FBytes.data() + FPosition, buffer, static_cast<std::size_t>(count));
    FPosition += count;
    return count;
}

TFileStream::TFileStream(const std::string& path, Mode mode)
    : FFile(std::fopen(path.c_str(), mode == Mode::Read ? "rb" : "w+b"))
{
}

TFileStream::~TFileStream()
{
    if (FFile)
        std::fclose(FFile);
}

std::int64_t TFileStream::Size()
{
    if (!FFile)
        return 0;
    const long here = std::ftell(FFile);
    std::fseek(FFile, 0, SEEK_END);
    const long end = std::ftell(FFile);
    std::fseek(FFile, here, SEEK_SET);
    return end;
}

std::int64_t TFileStream::Position()
{
    return FFile ? std::ftell(FFile) : 0;
}

std::int32_t TFileStream::Read(void* buffer, std::int32_t count)
{
    if (!FFile || count <= 0)
        return 0;
    return static_cast<std::int32_t>(std::fread(buffer, 1, static_cast<std::size_t>(count), FFile));
}

std::int32_t TFileStream::Write(const void* buffer, std::int32_t count)
{
    if (!FFile || count <= 0)
        return 0;
    return static_cast<std::int32_t>(
        std::fwrite(buffer, 1, static_cast<std::size_t>(count), FFile));
}

std::int64_t TStdStream::Size()
{
    const auto here = FStream.tellg();
    FStream.seekg(0, std::ios::end);
    const auto end = FStream.tellg();
    FStream.seekg(here);
    return end < 0 ? 0 : static_cast<std::int64_t>(end);
}

std::int64_t TStdStream::Position()
{
    const auto here = FStream.tellg();
    return here < 0 ? 0 : static_cast<std::int64_t>(here);
}

std::int32_t TStdStream::Read(void* buffer, std::int32_t count)
{
    if (count <= 0)
        return 0;
    FStream.read(static_cast<char*>(buffer), count);
    const auto got = static_cast<std::int32_t>(FStream.gcount());
    if (FStream.eof())
        FStream.clear();
    return got;
}

std::int32_t TStdStream::Write(const void* buffer, std::int32_t count)
{
    if (count <= 0)
        return 0;
    FStream.write(static_cast<const char*>(buffer), count);
    return FStream ? count : 0;
}

} // namespace tarvik
