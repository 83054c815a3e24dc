// The Win32 backend: every call goes straight to the system with the
// caller's arguments. Only the types are translated (32-bit handles, our
// DCB, COMSTAT and OVERLAPPED), and the overlapped calls run on records of
// the port's own (see port_transfers.h).
#include "platform/win32/port_transfers.h"

#include <cstdint>
#include <new>
#include <string>

namespace tarvik::win::native {

namespace {

// Kernel handles fit in 32 bits; sign extension keeps INVALID_HANDLE_VALUE
// and the pseudo-handles intact in both directions.
::HANDLE Native(HANDLE handle)
{
    return reinterpret_cast<::HANDLE>(
        static_cast<std::intptr_t>(static_cast<std::int32_t>(handle)));
}

HANDLE Ours(::HANDLE handle)
{
    return static_cast<HANDLE>(reinterpret_cast<std::uintptr_t>(handle));
}

// Windows knows the name "COMn:" as a device only for COM1 to COM9. The
// presence probe of a higher port asks for the device by its \\.\COMn
// path instead, the path the component then opens.
std::string DeviceName(const char* name)
{
    const std::string text = name;
    const bool com = text.size() > 5 && (text[0] == 'C' || text[0] == 'c') &&
                     (text[1] == 'O' || text[1] == 'o') && (text[2] == 'M' || text[2] == 'm') &&
                     text.back() == ':';
    if (!com)
        return text;
    const std::string number = text.substr(3, text.size() - 4);
    for (const char c : number)
        if (c < '0' || c > '9')
            return text;
    return "\\\\.\\COM" + number;
}

// Our DCB and the system's have the same members; they are copied one by
// one, so neither layout is assumed.
template <typename To, typename From> To CopyDcb(const From& dcb)
{
    To out{};
    out.DCBlength = dcb.DCBlength;
    out.BaudRate = dcb.BaudRate;
    out.fBinary = dcb.fBinary;
    out.fParity = dcb.fParity;
    out.fOutxCtsFlow = dcb.fOutxCtsFlow;
    out.fOutxDsrFlow = dcb.fOutxDsrFlow;
    out.fDtrControl = dcb.fDtrControl;
    out.fDsrSensitivity = dcb.fDsrSensitivity;
    out.fTXContinueOnXoff = dcb.fTXContinueOnXoff;
    out.fOutX = dcb.fOutX;
    out.fInX = dcb.fInX;
    out.fErrorChar = dcb.fErrorChar;
    out.fNull = dcb.fNull;
    out.fRtsControl = dcb.fRtsControl;
    out.fAbortOnError = dcb.fAbortOnError;
    out.fDummy2 = dcb.fDummy2;
    out.wReserved = dcb.wReserved;
    out.XonLim = dcb.XonLim;
    out.XoffLim = dcb.XoffLim;
    out.ByteSize = dcb.ByteSize;
    out.Parity = dcb.Parity;
    out.StopBits = dcb.StopBits;
    out.XonChar = dcb.XonChar;
    out.XoffChar = dcb.XoffChar;
    out.ErrorChar = dcb.ErrorChar;
    out.EofChar = dcb.EofChar;
    out.EvtChar = dcb.EvtChar;
    out.wReserved1 = dcb.wReserved1;
    return out;
}

::DCB ToNative(const DCB& dcb)
{
    return CopyDcb<::DCB>(dcb);
}

DCB FromNative(const ::DCB& dcb)
{
    return CopyDcb<DCB>(dcb);
}

COMSTAT FromNative(const ::COMSTAT& stat)
{
    COMSTAT out{};
    out.fCtsHold = stat.fCtsHold;
    out.fDsrHold = stat.fDsrHold;
    out.fRlsdHold = stat.fRlsdHold;
    out.fXoffHold = stat.fXoffHold;
    out.fXoffSent = stat.fXoffSent;
    out.fEof = stat.fEof;
    out.fTxim = stat.fTxim;
    out.fReserved = stat.fReserved;
    out.cbInQue = stat.cbInQue;
    out.cbOutQue = stat.cbOutQue;
    return out;
}

// Read once: the family cannot change while the program runs.
DWORD SystemPlatformId()
{
    ::OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!::GetVersionExA(&info))
        return VER_PLATFORM_WIN32_NT;
    return info.dwPlatformId;
}

// The system's result and last error, taken right after the call, so that
// the bookkeeping that follows cannot change what the caller sees.
struct Outcome {
    BOOL Ok;
    ::DWORD Error;

    BOOL Report() const
    {
        ::SetLastError(Error);
        return Ok;
    }
};

Outcome Capture(BOOL ok)
{
    return {ok, ::GetLastError()};
}

} // namespace

class Win32CommApi final : public CommApi {
public:
    Win32CommApi() : FPlatformId(SystemPlatformId()) {}

    void SetLastError(DWORD code) override { ::SetLastError(code); }
    DWORD GetLastError() override { return ::GetLastError(); }

    HANDLE CreateFileA(const char* name, DWORD access, DWORD shareMode, DWORD creation,
                       DWORD flagsAndAttributes) override
    {
        const std::string device = name != nullptr ? DeviceName(name) : std::string();
        return Ours(::CreateFileA(name != nullptr ? device.c_str() : nullptr, access, shareMode,
                                  nullptr, creation, flagsAndAttributes, nullptr));
    }

    BOOL CloseHandle(HANDLE handle) override
    {
        const ::HANDLE native = Native(handle);
        if (PortTransfers* transfers = FTransfers.Find(native)) {
            // Nothing may complete into the records once they are gone.
            ::CancelIo(native);
            for (Transfer* slot : {&transfers->Read, &transfers->Write, &transfers->Event})
                Settle(native, *slot);
            FTransfers.Forget(native);
        }
        return ::CloseHandle(native);
    }

    BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read,
                  OVERLAPPED* overlapped) override
    {
        const ::HANDLE port = Native(file);
        ::DWORD done = 0;
        if (overlapped == nullptr) {
            const Outcome outcome = Capture(::ReadFile(port, buffer, toRead, &done, nullptr));
            if (read != nullptr)
                *read = done;
            return outcome.Report();
        }
        PortTransfers& transfers = FTransfers.For(port);
        Transfer& slot = transfers.Read;
        Begin(port, transfers, slot, *overlapped, Native(overlapped->hEvent));
        if (!Reserve(slot, toRead))
            return FALSE;
        slot.CallerBuffer = buffer;
        const Outcome outcome =
            Capture(::ReadFile(port, slot.Data.data(), toRead, &done, &slot.Record));
        Started(slot, outcome, *overlapped);
        if (read != nullptr)
            *read = done;
        return outcome.Report();
    }

    BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written,
                   OVERLAPPED* overlapped) override
    {
        const ::HANDLE port = Native(file);
        ::DWORD done = 0;
        if (overlapped == nullptr) {
            const Outcome outcome = Capture(::WriteFile(port, buffer, toWrite, &done, nullptr));
            if (written != nullptr)
                *written = done;
            return outcome.Report();
        }
        PortTransfers& transfers = FTransfers.For(port);
        Transfer& slot = transfers.Write;
        Begin(port, transfers, slot, *overlapped, Native(overlapped->hEvent));
        if (!Reserve(slot, toWrite))
            return FALSE;
        if (toWrite > 0)
            std::memcpy(slot.Data.data(), buffer, toWrite);
        const Outcome outcome =
            Capture(::WriteFile(port, slot.Data.data(), toWrite, &done, &slot.Record));
        Started(slot, outcome, *overlapped);
        if (written != nullptr)
            *written = done;
        return outcome.Report();
    }

    BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred,
                             BOOL wait) override
    {
        const ::HANDLE port = Native(file);
        ::DWORD done = 0;
        PortTransfers* transfers = FTransfers.Find(port);
        Transfer* slot = transfers != nullptr ? transfers->OwnedBy(overlapped) : nullptr;
        if (slot == nullptr) {
            // Not a record of ours: the caller's record as it stands.
            ::OVERLAPPED copy{};
            copy.Internal = overlapped->Internal;
            copy.InternalHigh = overlapped->InternalHigh;
            copy.Offset = overlapped->Offset;
            copy.OffsetHigh = overlapped->OffsetHigh;
            copy.hEvent = Native(overlapped->hEvent);
            const Outcome outcome = Capture(::GetOverlappedResult(port, &copy, &done, wait));
            MirrorStatus(copy, *overlapped);
            if (transferred != nullptr)
                *transferred = done;
            return outcome.Report();
        }
        const Outcome outcome = Capture(::GetOverlappedResult(port, &slot->Record, &done, wait));
        if (slot->Outstanding && HasOverlappedIoCompleted(&slot->Record)) {
            slot->Outstanding = false;
            Deliver(*slot);
        }
        MirrorStatus(slot->Record, *overlapped);
        if (transferred != nullptr)
            *transferred = done;
        return outcome.Report();
    }

    DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override
    {
        return ::WaitForSingleObject(Native(handle), milliseconds);
    }

    HANDLE CreateEventA(BOOL manualReset, BOOL initialState) override
    {
        return Ours(::CreateEventA(nullptr, manualReset, initialState, nullptr));
    }

    BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) override
    {
        return ::SetupComm(Native(file), inQueue, outQueue);
    }

    BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) override
    {
        if (timeouts == nullptr)
            return ::SetCommTimeouts(Native(file), nullptr);
        ::COMMTIMEOUTS native{};
        native.ReadIntervalTimeout = timeouts->ReadIntervalTimeout;
        native.ReadTotalTimeoutMultiplier = timeouts->ReadTotalTimeoutMultiplier;
        native.ReadTotalTimeoutConstant = timeouts->ReadTotalTimeoutConstant;
        native.WriteTotalTimeoutMultiplier = timeouts->WriteTotalTimeoutMultiplier;
        native.WriteTotalTimeoutConstant = timeouts->WriteTotalTimeoutConstant;
        return ::SetCommTimeouts(Native(file), &native);
    }

    BOOL SetCommState(HANDLE file, const DCB* dcb) override
    {
        if (dcb == nullptr)
            return ::SetCommState(Native(file), nullptr);
        ::DCB native = ToNative(*dcb);
        return ::SetCommState(Native(file), &native);
    }

    BOOL GetCommState(HANDLE file, DCB* dcb) override
    {
        if (dcb == nullptr)
            return ::GetCommState(Native(file), nullptr);
        ::DCB native = ToNative(*dcb);
        const Outcome outcome = Capture(::GetCommState(Native(file), &native));
        if (outcome.Ok)
            *dcb = FromNative(native);
        return outcome.Report();
    }

    BOOL SetCommMask(HANDLE file, DWORD mask) override { return ::SetCommMask(Native(file), mask); }

    BOOL WaitCommEvent(HANDLE file, DWORD* occurred, OVERLAPPED* overlapped) override
    {
        const ::HANDLE port = Native(file);
        if (overlapped == nullptr) {
            ::DWORD mask = 0;
            const Outcome outcome = Capture(::WaitCommEvent(port, &mask, nullptr));
            if (occurred != nullptr)
                *occurred = mask;
            return outcome.Report();
        }
        PortTransfers& transfers = FTransfers.For(port);
        Transfer& slot = transfers.Event;
        Begin(port, transfers, slot, *overlapped, Native(overlapped->hEvent));
        slot.EventMask = 0;
        slot.CallerMask = occurred;
        const Outcome outcome = Capture(::WaitCommEvent(port, &slot.EventMask, &slot.Record));
        Started(slot, outcome, *overlapped);
        return outcome.Report();
    }

    BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) override
    {
        ::DWORD nativeErrors = 0;
        ::COMSTAT nativeStat{};
        const Outcome outcome =
            Capture(::ClearCommError(Native(file), errors != nullptr ? &nativeErrors : nullptr,
                                     stat != nullptr ? &nativeStat : nullptr));
        if (outcome.Ok && errors != nullptr)
            *errors = nativeErrors;
        if (outcome.Ok && stat != nullptr)
            *stat = FromNative(nativeStat);
        return outcome.Report();
    }

    BOOL PurgeComm(HANDLE file, DWORD flags) override { return ::PurgeComm(Native(file), flags); }

    std::uint64_t EscapeCommFunction(HANDLE file, DWORD function) override
    {
        return static_cast<std::uint64_t>(::EscapeCommFunction(Native(file), function));
    }

    BOOL GetCommModemStatus(HANDLE file, DWORD* status) override
    {
        ::DWORD native = 0;
        const Outcome outcome = Capture(::GetCommModemStatus(Native(file), &native));
        if (outcome.Ok && status != nullptr)
            *status = native;
        return outcome.Report();
    }

    BOOL SetCommBreak(HANDLE file) override { return ::SetCommBreak(Native(file)); }
    BOOL ClearCommBreak(HANDLE file) override { return ::ClearCommBreak(Native(file)); }
    BOOL FlushFileBuffers(HANDLE file) override { return ::FlushFileBuffers(Native(file)); }

    DWORD FormatMessageA(DWORD flags, DWORD messageId, DWORD languageId, char* buffer,
                         DWORD size) override
    {
        return ::FormatMessageA(flags, nullptr, messageId, languageId, buffer, size, nullptr);
    }

    BOOL QueryPerformanceFrequency(std::int64_t* frequency) override
    {
        ::LARGE_INTEGER value{};
        const Outcome outcome = Capture(::QueryPerformanceFrequency(&value));
        *frequency = value.QuadPart;
        return outcome.Report();
    }

    BOOL QueryPerformanceCounter(std::int64_t* count) override
    {
        ::LARGE_INTEGER value{};
        const Outcome outcome = Capture(::QueryPerformanceCounter(&value));
        *count = value.QuadPart;
        return outcome.Report();
    }

    DWORD GetTickCount() override { return ::GetTickCount(); }
    void Sleep(DWORD milliseconds) override { ::Sleep(milliseconds); }

    DWORD PlatformId() override { return FPlatformId; }
    // The NT family gives user mode no port I/O, and the component asks only
    // outside it.
    BYTE ReadPortByte(WORD) override { return 0xFF; }

private:
    // The bytes in flight live in the slot; a request too large to hold
    // fails as the system would fail it.
    static bool Reserve(Transfer& slot, DWORD count)
    {
        try {
            slot.Data.resize(count);
            return true;
        } catch (const std::bad_alloc&) {
            slot.Owner = nullptr;
            ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
    }

    // After the system took the call: a pending transfer stays outstanding on
    // the slot; one that finished at once is handed over now.
    static void Started(Transfer& slot, const Outcome& outcome, OVERLAPPED& caller)
    {
        slot.Outstanding = !outcome.Ok && outcome.Error == ERROR_IO_PENDING;
        if (outcome.Ok)
            Deliver(slot);
        if (!slot.Outstanding) {
            slot.CallerBuffer = nullptr;
            slot.CallerMask = nullptr;
        }
        MirrorStatus(slot.Record, caller);
    }

    const DWORD FPlatformId;
    TransferTable FTransfers;
};

} // namespace tarvik::win::native

namespace tarvik::win {

CommApi& NativeCommApi()
{
    static native::Win32CommApi api;
    return api;
}

} // namespace tarvik::win
