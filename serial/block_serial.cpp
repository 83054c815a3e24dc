// The object itself and its error model: recording, texts, raising, notifying.
#include "serial/block_serial.h"

#include <array>
#include <cstdio>

namespace tarvik {

namespace {

struct ErrorText {
    std::int32_t Code;
    const char* Text;
};

constexpr std::array kOwnErrorTexts{
    ErrorText{seOK, "OK"},
    ErrorText{sePortOwned, "Port owned by other process"},
    ErrorText{seInUse, "Instance already in use"},
    ErrorText{seBadParameter, "Wrong paramter at call"},
    ErrorText{seNotOpen, "Instance not yet connected"},
    ErrorText{seNoAnswer, "No device answer detected"},
    ErrorText{seLineTooLong, "Maximal buffer length exceeded"},
    ErrorText{seTimeout, "Timeout during operation"},
    ErrorText{seReadFailed, "Reading of data failed"},
    ErrorText{seFraming, "Receive framing error"},
    ErrorText{seOverrun, "Receive Overrun Error"},
    ErrorText{seRxOverflow, "Receive Queue overflow"},
    ErrorText{seParity, "Receive Parity Error"},
    ErrorText{seTxFull, "Tranceive Queue is full"},
};

// "Ошибка #%d: %s" with its first word in Windows-1251.
constexpr const char* kMessageFormat = "\xCE\xF8\xE8\xE1\xEA\xE0 #%d: %s";

std::string FormatMessageText(std::int32_t code, const std::string& description)
{
    const int size = std::snprintf(nullptr, 0, kMessageFormat, code, description.c_str());
    std::string message(static_cast<std::size_t>(size), '\0');
    std::snprintf(message.data(), message.size() + 1, kMessageFormat, code, description.c_str());
    return message;
}

} // namespace

EKorloSerError::EKorloSerError(std::int32_t code, std::string description, const void* raiseAddress)
    : Message(FormatMessageText(code, description)), Code(code),
      Description(std::move(description)), RaiseAddress(raiseAddress)
{
}

TBlockSerial::TBlockSerial(win::CommApi& api) : FApi(api)
{
    SetError(seOK);
}

TBlockSerial::~TBlockSerial()
{
    // A destructor must not throw: a failing purge while closing is recorded
    // instead of raised, so the handle is still closed.
    RaiseExcept = false;
    try {
        Close();
    } catch (...) {
        // Only an OnStatus handler can still throw here; it cannot leave a destructor.
    }
}

std::string TBlockSerial::GetErrorDesc(std::int32_t code, win::CommApi& api)
{
    for (const auto& entry : kOwnErrorTexts)
        if (entry.Code == code)
            return entry.Text;

    constexpr win::DWORD flags = win::FORMAT_MESSAGE_FROM_SYSTEM |
                                 win::FORMAT_MESSAGE_IGNORE_INSERTS |
                                 win::FORMAT_MESSAGE_ARGUMENT_ARRAY;
    std::array<char, 256> buffer{};
    const win::DWORD length =
        api.FormatMessageA(flags, static_cast<win::DWORD>(code), 0, buffer.data(), buffer.size());
    std::string text(buffer.data(), length < buffer.size() ? length : buffer.size());
    // System texts end in a full stop and a line break; the component's own do not.
    while (!text.empty() && (static_cast<unsigned char>(text.back()) <= 0x20 || text.back() == '.'))
        text.pop_back();
    return text;
}

void TBlockSerial::SetError(std::int32_t code)
{
    FLastErrorCode = code;
    // Every operation starts with success; its text needs no look-up.
    if (code == seOK) {
        FLastErrorText = "OK";
        return;
    }
    FLastErrorText = GetErrorDesc(code, FApi);
}

std::int32_t TBlockSerial::CheckApiResult(std::int32_t value)
{
    const std::int32_t code = value == -1 ? static_cast<std::int32_t>(FApi.GetLastError()) : 0;
    SetError(code);
    return code;
}

void TBlockSerial::RaiseIfError()
{
    if (!RaiseExcept || FLastErrorCode == seOK)
        return;
    throw EKorloSerError(FLastErrorCode, GetErrorDesc(FLastErrorCode, FApi),
                         __builtin_return_address(0));
}

void TBlockSerial::FailWith(std::int32_t code)
{
    SetError(code);
    RaiseIfError();
}

void TBlockSerial::NotifyStatus(THookSerialReason Reason, const std::string& Value)
{
    if (OnStatus)
        OnStatus(*this, Reason, Value);
}

std::string TBlockSerial::VersionText()
{
    return "KorloSer 6.3.5";
}

bool TBlockSerial::IsNtFamily() const
{
    return FApi.PlatformId() == win::VER_PLATFORM_WIN32_NT;
}

} // namespace tarvik
