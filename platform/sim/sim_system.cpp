// The sim's clock, message table, last error and I/O ports.
#include "platform/sim/sim_comm.h"

#include <cstring>

namespace tarvik::sim {

using namespace win;

namespace {

constexpr std::uint64_t kNsPerMs = 1'000'000;
constexpr std::uint64_t kNsPerSecond = 1'000'000'000;
constexpr DWORD kErrorInsufficientBuffer = 122;
constexpr DWORD kErrorMessageNotFound = 317;
// What a read of an I/O port answers where no device drives the bus.
constexpr BYTE kFloatingBus = 0xFF;

} // namespace

SimCommApi::SimCommApi()
    : messages_{
          {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
          {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
          {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
          {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
          {ERROR_OPERATION_ABORTED, "The I/O operation has been aborted because of either a "
                                    "thread exit or an application request.\r\n"},
          {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected.\r\n"},
      }
{
}

void SimCommApi::SetMessage(DWORD code, std::string text)
{
    messages_[code] = std::move(text);
}

void SimCommApi::AdvanceMs(std::uint32_t ms)
{
    nowNs_ += std::uint64_t{ms} * kNsPerMs;
}

void SimCommApi::SetPerformanceCounter(bool present, std::int64_t frequency)
{
    counterPresent_ = present;
    frequency_ = frequency;
}

void SimCommApi::SetTickCount(std::uint32_t ms)
{
    tickBase_ = ms;
    tickBaseNs_ = nowNs_;
}

void SimCommApi::SetPortBytes(WORD port, std::vector<BYTE> values)
{
    if (values.empty())
        portBytes_.erase(port);
    else
        portBytes_[port] = std::deque<BYTE>(values.begin(), values.end());
}

void SimCommApi::SetLastError(DWORD code)
{
    Log("SetLastError(" + std::to_string(code) + ")");
    lastError_ = code;
}

DWORD SimCommApi::GetLastError()
{
    Log("GetLastError");
    return lastError_;
}

DWORD SimCommApi::FormatMessageA(DWORD flags, DWORD messageId, DWORD /*languageId*/, char* buffer,
                                 DWORD size)
{
    Log("FormatMessageA(" + std::to_string(messageId) + ")");
    if (Injected("FormatMessageA"))
        return 0;
    if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    const auto message = messages_.find(messageId);
    if (message == messages_.end())
        return Fail(kErrorMessageNotFound);
    const std::string& text = message->second;
    if (text.size() >= size)
        return Fail(kErrorInsufficientBuffer);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

BOOL SimCommApi::QueryPerformanceFrequency(std::int64_t* frequency)
{
    if (Injected("QueryPerformanceFrequency"))
        return 0;
    if (!counterPresent_)
        return 0;
    if (frequency == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *frequency = frequency_;
    return 1;
}

BOOL SimCommApi::QueryPerformanceCounter(std::int64_t* count)
{
    if (Injected("QueryPerformanceCounter"))
        return 0;
    if (!counterPresent_)
        return 0;
    if (count == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    // Whole seconds and the rest apart, so that the product stays exact and
    // within 64 bits for any frequency up to about 18 GHz.
    const auto frequency = static_cast<std::uint64_t>(frequency_ > 0 ? frequency_ : 0);
    const std::uint64_t counts =
        nowNs_ / kNsPerSecond * frequency + nowNs_ % kNsPerSecond * frequency / kNsPerSecond;
    *count = static_cast<std::int64_t>(counts);
    return 1;
}

DWORD SimCommApi::GetTickCount()
{
    const std::uint64_t ms = nowNs_ / kNsPerMs;
    if (!tickBase_)
        return static_cast<DWORD>(ms);
    // Modulo 2^32, so a clock set back counts the ticks back too.
    return *tickBase_ + static_cast<DWORD>(ms - tickBaseNs_ / kNsPerMs);
}

void SimCommApi::Sleep(DWORD milliseconds)
{
    Log("Sleep(" + std::to_string(milliseconds) + ")");
    nowNs_ += std::uint64_t{milliseconds} * kNsPerMs;
}

BYTE SimCommApi::ReadPortByte(WORD port)
{
    Log("ReadPortByte(" + std::to_string(port) + ")");
    nowNs_ += portReadCostNs_;
    const auto values = portBytes_.find(port);
    if (values == portBytes_.end())
        return kFloatingBus;
    const BYTE value = values->second.front();
    if (values->second.size() > 1)
        values->second.pop_front();
    return value;
}

} // namespace tarvik::sim
