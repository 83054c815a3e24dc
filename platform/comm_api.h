// The operating system as the serial component sees it: the Win32 calls it
// makes, with Win32 names, argument meanings, result conventions (FALSE plus
// a last-error code) and values. Each backend (Linux, Win32, the simulated
// device of the tests) implements CommApi; TBlockSerial only talks to this.
#pragma once

#include <cstdint>

namespace tarvik::win {

using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BYTE = std::uint8_t;
using BOOL = std::int32_t;
// Handles are 32 bits wide, as the component stores them; Win64 kernel
// handles fit in 32 bits when sign-extended back.
using HANDLE = std::uint32_t;

inline constexpr HANDLE INVALID_HANDLE_VALUE = 0xFFFFFFFFu;
inline constexpr DWORD INFINITE = 0xFFFFFFFFu;

// CreateFileA
inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
inline constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

// Error codes the component and the backends use.
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_FUNCTION = 1;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_SEM_TIMEOUT = 121;
inline constexpr DWORD ERROR_OPERATION_ABORTED = 995;
inline constexpr DWORD ERROR_IO_INCOMPLETE = 996;
inline constexpr DWORD ERROR_IO_PENDING = 997;
inline constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;

// WaitForSingleObject
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

// FormatMessageA
inline constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x0200;
inline constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;
inline constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x2000;

// Comm events (SetCommMask, WaitCommEvent)
inline constexpr DWORD EV_RXCHAR = 0x0001;
inline constexpr DWORD EV_TXEMPTY = 0x0004;

// Line errors (ClearCommError)
inline constexpr DWORD CE_RXOVER = 0x0001;
inline constexpr DWORD CE_OVERRUN = 0x0002;
inline constexpr DWORD CE_RXPARITY = 0x0004;
inline constexpr DWORD CE_FRAME = 0x0008;
inline constexpr DWORD CE_BREAK = 0x0010;
inline constexpr DWORD CE_TXFULL = 0x0100;

// PurgeComm
inline constexpr DWORD PURGE_TXABORT = 0x0001;
inline constexpr DWORD PURGE_RXABORT = 0x0002;
inline constexpr DWORD PURGE_TXCLEAR = 0x0004;
inline constexpr DWORD PURGE_RXCLEAR = 0x0008;

// EscapeCommFunction
inline constexpr DWORD SETXOFF = 1;
inline constexpr DWORD SETXON = 2;
inline constexpr DWORD SETRTS = 3;
inline constexpr DWORD CLRRTS = 4;
inline constexpr DWORD SETDTR = 5;
inline constexpr DWORD CLRDTR = 6;
inline constexpr DWORD SETBREAK = 8;
inline constexpr DWORD CLRBREAK = 9;
// Undocumented: the older family answers it with the UART's base address.
inline constexpr DWORD GETBASEADDRESS = 10;

// GetCommModemStatus
inline constexpr DWORD MS_CTS_ON = 0x0010;
inline constexpr DWORD MS_DSR_ON = 0x0020;
inline constexpr DWORD MS_RING_ON = 0x0040;
inline constexpr DWORD MS_RLSD_ON = 0x0080;

// DCB values
inline constexpr DWORD DTR_CONTROL_DISABLE = 0;
inline constexpr DWORD DTR_CONTROL_ENABLE = 1;
inline constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0;
inline constexpr DWORD RTS_CONTROL_ENABLE = 1;
inline constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_TOGGLE = 3;
inline constexpr BYTE NOPARITY = 0;
inline constexpr BYTE ODDPARITY = 1;
inline constexpr BYTE EVENPARITY = 2;
inline constexpr BYTE MARKPARITY = 3;
inline constexpr BYTE SPACEPARITY = 4;
inline constexpr BYTE ONESTOPBIT = 0;
inline constexpr BYTE ONE5STOPBITS = 1;
inline constexpr BYTE TWOSTOPBITS = 2;

// OSVERSIONINFO.dwPlatformId
inline constexpr DWORD VER_PLATFORM_WIN32_WINDOWS = 1;
inline constexpr DWORD VER_PLATFORM_WIN32_NT = 2;

// The Win32 line-settings record: same members, same order, 28 bytes.
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
static_assert(sizeof(DCB) == 28, "DCB must keep the Win32 layout");

// The DCB's bit fields as the one 32-bit word Win32 stores them in.
DWORD DcbFlagsWord(const DCB& dcb);
void SetDcbFlagsWord(DCB& dcb, DWORD word);

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};

struct OVERLAPPED {
    std::uintptr_t Internal;
    std::uintptr_t InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};

// The calls the component makes. Arguments that this system always passes as
// null (security attributes, template files, event names, message sources
// and inserts) are left out.
class CommApi {
public:
    virtual ~CommApi() = default;

    virtual void SetLastError(DWORD code) = 0;
    virtual DWORD GetLastError() = 0;

    virtual HANDLE CreateFileA(const char* name, DWORD access, DWORD shareMode, DWORD creation,
                               DWORD flagsAndAttributes) = 0;
    virtual BOOL CloseHandle(HANDLE handle) = 0;
    virtual BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read,
                          OVERLAPPED* overlapped) = 0;
    virtual BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written,
                           OVERLAPPED* overlapped) = 0;
    virtual BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred,
                                     BOOL wait) = 0;
    virtual DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) = 0;
    virtual HANDLE CreateEventA(BOOL manualReset, BOOL initialState) = 0;

    virtual BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) = 0;
    virtual BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) = 0;
    virtual BOOL SetCommState(HANDLE file, const DCB* dcb) = 0;
    virtual BOOL GetCommState(HANDLE file, DCB* dcb) = 0;
    virtual BOOL SetCommMask(HANDLE file, DWORD mask) = 0;
    virtual BOOL WaitCommEvent(HANDLE file, DWORD* occurred, OVERLAPPED* overlapped) = 0;
    virtual BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) = 0;
    virtual BOOL PurgeComm(HANDLE file, DWORD flags) = 0;
    // The whole 64-bit result: the older family puts the UART address for
    // GETBASEADDRESS in bits 32 to 47 beside the BOOL.
    virtual std::uint64_t EscapeCommFunction(HANDLE file, DWORD function) = 0;
    virtual BOOL GetCommModemStatus(HANDLE file, DWORD* status) = 0;
    virtual BOOL SetCommBreak(HANDLE file) = 0;
    virtual BOOL ClearCommBreak(HANDLE file) = 0;
    virtual BOOL FlushFileBuffers(HANDLE file) = 0;

    // Characters stored in buffer without the terminating zero; 0 on failure.
    virtual DWORD FormatMessageA(DWORD flags, DWORD messageId, DWORD languageId, char* buffer,
                                 DWORD size) = 0;

    virtual BOOL QueryPerformanceFrequency(std::int64_t* frequency) = 0;
    virtual BOOL QueryPerformanceCounter(std::int64_t* count) = 0;
    virtual DWORD GetTickCount() = 0;
    virtual void Sleep(DWORD milliseconds) = 0;

    // OSVERSIONINFO.dwPlatformId of the running system.
    virtual DWORD PlatformId() = 0;
    // One byte from an I/O port (the UART's line status register).
    virtual BYTE ReadPortByte(WORD port) = 0;
};

// The backend of the system this program was built for.
CommApi& NativeCommApi();

} // namespace tarvik::win
