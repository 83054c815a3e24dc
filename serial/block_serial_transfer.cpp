// One overlapped write or read per call, rate pacing, line errors, queue
// counts and the waits for received data and for an empty transmitter.
#include "serial/block_serial.h"
#include "serial/serial_util.h"

#include <limits>

namespace tarvik {

using namespace win;

namespace {

std::int32_t ClampToInt32(DWORD value)
{
    constexpr auto max = static_cast<DWORD>(std::numeric_limits<std::int32_t>::max());
    return static_cast<std::int32_t>(value > max ? max : value);
}

} // namespace

std::int32_t TBlockSerial::SendBytes(const void* source, std::int32_t count)
{
    return TransferBytes(true, const_cast<void*>(source), count);
}

std::int32_t TBlockSerial::ReadBytes(void* destination, std::int32_t count)
{
    return TransferBytes(false, destination, count);
}

std::int32_t TBlockSerial::TransferBytes(bool sending, void* buffer, std::int32_t count)
{
    DWORD done = 0;
    if (NotReady())
        return 0;
    if (sending)
        PaceTransfer(count, FSendRateLimit, FNextSendTick);
    else
        PaceTransfer(count, FRecvRateLimit, FNextRecvTick);
    const bool toggleRts = sending && FRtsToggle;
    if (toggleRts) {
        FlushOutput();
        WriteRTS(true);
    }

    OVERLAPPED overlapped{};
    SetError(seOK);
    const auto length = static_cast<DWORD>(count);
    const BOOL completed = sending ? FApi.WriteFile(Handle, buffer, length, &done, &overlapped)
                                   : FApi.ReadFile(Handle, buffer, length, &done, &overlapped);
    const DWORD status = completed ? ERROR_SUCCESS : FApi.GetLastError();
    if (status == ERROR_IO_PENDING) {
        const DWORD waited = FApi.WaitForSingleObject(Handle, static_cast<DWORD>(DeadlockTimeout));
        if (waited != WAIT_OBJECT_0) {
            // A failed wait is ended like a timed-out one, so that no transfer
            // outlives this call; only the recorded reason differs.
            const DWORD waitError = waited == WAIT_TIMEOUT ? ERROR_SUCCESS : FApi.GetLastError();
            FApi.PurgeComm(Handle, sending ? PURGE_TXABORT : PURGE_RXABORT);
            if (waitError == ERROR_SUCCESS)
                SetError(seTimeout);
            else
                SetError(static_cast<std::int32_t>(waitError));
        }
        FApi.GetOverlappedResult(Handle, &overlapped, &done, false);
    } else {
        SetError(static_cast<std::int32_t>(status));
    }

    // A failed ClearCommError leaves the word at 0: no line error is invented.
    DWORD errors = 0;
    FApi.ClearCommError(Handle, &errors, nullptr);
    if (errors != 0)
        DecodeLineErrors(errors);

    if (toggleRts) {
        // The drain steps record outcomes of their own; a failed write keeps
        // its reason for the raise below.
        const std::int32_t writeCode = FLastErrorCode;
        FlushOutput();
        WaitWritable(255);
        WriteRTS(false);
        if (writeCode != seOK)
            SetError(writeCode);
    }
    RaiseIfError();
    NotifyStatus(sending ? THookSerialReason::HR_WriteCount : THookSerialReason::HR_ReadCount,
                 std::to_string(done));
    return ClampToInt32(done);
}

void TBlockSerial::SendChar(std::uint8_t value)
{
    SendBytes(&value, 1);
}

void TBlockSerial::SendText(const std::string& text)
{
    SendBytes(text.data(), static_cast<std::int32_t>(text.size()));
}

void TBlockSerial::PaceTransfer(std::int32_t count, std::int32_t limit, std::uint32_t& nextTick)
{
    if (limit <= 0)
        return;
    const std::uint32_t now = TickNow(FApi);
    // A next tick more than half the clock's range ahead was set before the
    // clock wrapped and lies in the past: no wait of weeks.
    const std::uint32_t wait = nextTick - now;
    if (now < nextTick && wait < 0x80000000u) {
        NotifyStatus(THookSerialReason::HR_Wait, std::to_string(wait));
        FApi.Sleep(wait);
    }
    const long double ticks = static_cast<long double>(count) / limit * 1000.0L;
    nextTick = static_cast<std::uint32_t>(static_cast<std::int64_t>(ticks)) + TickNow(FApi);
}

void TBlockSerial::DecodeLineErrors(DWORD errors)
{
    // Tested in this order; of several bits the last one found wins.
    constexpr struct {
        DWORD Bit;
        std::int32_t Code;
    } kLineErrors[] = {{CE_FRAME, seFraming},
                       {CE_OVERRUN, seOverrun},
                       {CE_RXOVER, seRxOverflow},
                       {CE_RXPARITY, seParity},
                       {CE_TXFULL, seTxFull}};
    for (const auto& entry : kLineErrors)
        if (errors & entry.Bit)
            FLastErrorCode = entry.Code;
}

void TBlockSerial::FlushOutput()
{
    SetError(seOK);
    if (!FApi.FlushFileBuffers(Handle))
        CheckApiResult(-1);
    RaiseIfError();
}

bool TBlockSerial::UartTransmitterEmpty(std::uint16_t address)
{
    if (IsNtFamily())
        return true;
    constexpr std::uint8_t kTransmitterEmpty = 0x40;
    const auto lineStatus = static_cast<WORD>(address + 5);
    return (FApi.ReadPortByte(lineStatus) & kTransmitterEmpty) != 0;
}

std::int32_t TBlockSerial::InQueueCount()
{
    std::int32_t result = 0;
    DWORD errors = 0;
    COMSTAT stat{};
    if (FApi.ClearCommError(Handle, &errors, &stat)) {
        SetError(seOK);
        result = ClampToInt32(stat.cbInQue);
    } else {
        CheckApiResult(-1);
    }
    RaiseIfError();
    return result;
}

std::int32_t TBlockSerial::OutQueueCount()
{
    std::int32_t result = 0;
    SetError(seOK);
    DWORD errors = 0;
    COMSTAT stat{};
    if (FApi.ClearCommError(Handle, &errors, &stat))
        result = ClampToInt32(stat.cbOutQue);
    else
        CheckApiResult(-1);
    RaiseIfError();
    return result;
}

bool TBlockSerial::WaitForEvent(DWORD mask, std::int32_t timeout)
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = FApi.CreateEventA(true, false);
    // The mask goes back to 0 and the event is closed however this ends.
    struct Cleanup {
        TBlockSerial& Serial;
        HANDLE Event;
        ~Cleanup()
        {
            Serial.FApi.SetCommMask(Serial.Handle, 0);
            Serial.FApi.CloseHandle(Event);
        }
    } cleanup{*this, overlapped.hEvent};

    FApi.SetCommMask(Handle, mask);
    SetError(seOK);
    if (mask == EV_RXCHAR && InQueueCount() > 0)
        return true;

    // An event wait that fails at once reports no events.
    DWORD occurred = 0;
    DWORD status = ERROR_SUCCESS;
    if (!FApi.WaitCommEvent(Handle, &occurred, &overlapped))
        status = FApi.GetLastError();
    if (status == ERROR_IO_PENDING) {
        FApi.WaitForSingleObject(overlapped.hEvent, static_cast<DWORD>(timeout));
        FApi.SetCommMask(Handle, 0);
        DWORD transferred = 0;
        FApi.GetOverlappedResult(Handle, &overlapped, &transferred, true);
    }
    return (occurred & mask) == mask;
}

bool TBlockSerial::WaitReadable(std::int32_t timeout)
{
    bool result = InQueueCount() > 0;
    if (!result)
        result = WaitForEvent(EV_RXCHAR, timeout);
    if (result)
        NotifyStatus(THookSerialReason::HR_CanRead, {});
    return result;
}

bool TBlockSerial::WaitWritable(std::int32_t timeout)
{
    bool result = OutQueueCount() == 0;
    if (!result)
        result = WaitForEvent(EV_TXEMPTY, timeout);
    if (result && !IsNtFamily()) {
        // The older family's driver reports an empty queue before the UART's
        // own shift register has drained; poll it for a bounded time.
        const std::uint32_t start = TickNow(FApi);
        while (!UartTransmitterEmpty(FUartAddress) && TickElapsed(start, TickNow(FApi)) <= 255)
            FApi.Sleep(0);
    }
    if (result)
        NotifyStatus(THookSerialReason::HR_CanWrite, {});
    return result;
}

} // namespace tarvik
