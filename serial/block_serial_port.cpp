// Opening, configuring and closing the port; readiness and the modem lines.
#include "serial/block_serial.h"
#include "serial/serial_util.h"

namespace tarvik {

using namespace win;

namespace {

// Port numbers wrap in 32 bits rather than overflow.
std::int32_t AddWrapping(std::int32_t value, std::int32_t delta)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value) +
                                     static_cast<std::uint32_t>(delta));
}

constexpr const char* kComPathPrefix = "\\\\.\\COM";

BYTE ParityFromLetter(char letter)
{
    switch (letter) {
    case 'O':
    case 'o':
        return ODDPARITY;
    case 'E':
    case 'e':
        return EVENPARITY;
    case 'M':
    case 'm':
        return MARKPARITY;
    case 'S':
    case 's':
        return SPACEPARITY;
    default:
        return NOPARITY;
    }
}

} // namespace

void TBlockSerial::ParsePortNumber(const std::string& name)
{
    FPortIndex = -1;
    const std::string upper = UpperCaseAscii(name);
    if (upper.starts_with("COM"))
        FPortIndex = AddWrapping(StrToIntDef(std::string_view(name).substr(3), 0), -1);
    if (upper.starts_with("/DEV/TTYS"))
        FPortIndex = StrToIntDef(std::string_view(name).substr(9), -2);
}

void TBlockSerial::Open(const std::string& name)
{
    if (FPortOpen) {
        FailWith(seInUse);
        return;
    }
    LineBuffer.clear();
    FDevicePath = name;
    ParsePortNumber(name);
    FApi.SetLastError(0);
    if (FPortIndex != -1)
        FDevicePath = kComPathPrefix + std::to_string(AddWrapping(FPortIndex, 1));

    Handle = FApi.CreateFileA(FDevicePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
    CheckApiResult(static_cast<std::int32_t>(Handle));
    RaiseIfError();
    if (FLastErrorCode != seOK)
        return;

    FApi.SetCommMask(Handle, 0);
    FApi.SetupComm(Handle, static_cast<DWORD>(FRecvQueueSize), 0);
    // Interval 0xFFFF, not MAXDWORD: reads wait for their bytes, and the
    // component keeps every time-out itself.
    const COMMTIMEOUTS timeouts{0xFFFF, 0, 0, 0, 0};
    FApi.SetCommTimeouts(Handle, &timeouts);
    FUartAddress = ReadUartAddress();
    SetError(seOK);

    if (ControlLinesReady()) {
        FPortOpen = true;
        WriteRTS(true);
        WriteDTR(true);
        PurgeAll();
    } else {
        SetError(seNoAnswer);
        FApi.CloseHandle(Handle);
        Handle = INVALID_HANDLE_VALUE;
        FPortIndex = -1;
    }
    RaiseIfError();
    NotifyStatus(THookSerialReason::HR_Connect, FDevicePath);
}

void TBlockSerial::Close()
{
    if (Handle != INVALID_HANDLE_VALUE) {
        PurgeAll();
        WriteRTS(false);
        WriteDTR(false);
        FApi.CloseHandle(Handle);
    }
    FPortOpen = false;
    Handle = INVALID_HANDLE_VALUE;
    FPortIndex = -1;
    SetError(seOK);
    NotifyStatus(THookSerialReason::HR_SerialClose, FDevicePath);
}

void TBlockSerial::Configure(std::int32_t baud, std::uint8_t bits, char parity, std::uint8_t stop,
                             bool softFlow, bool hardFlow)
{
    FDcb = DCB{};
    FDcb.DCBlength = sizeof(DCB);
    FDcb.BaudRate = static_cast<DWORD>(baud);
    FDcb.fBinary = 1;
    FDcb.Parity = ParityFromLetter(parity);
    FDcb.fParity = FDcb.Parity != NOPARITY;
    FDcb.fOutxCtsFlow = hardFlow;
    FDcb.fDtrControl = DTR_CONTROL_ENABLE;
    FDcb.fOutX = softFlow;
    FDcb.fInX = softFlow;
    FDcb.fRtsControl = hardFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    FDcb.XonLim = static_cast<WORD>(FRecvQueueSize / 4);
    FDcb.XoffLim = FDcb.XonLim;
    FDcb.ByteSize = bits;
    FDcb.StopBits = stop;
    FDcb.XonChar = 0x11;
    FDcb.XoffChar = 0x13;
    WriteDcb();
}

void TBlockSerial::WriteDcb()
{
    SetError(seOK);
    if (!FApi.SetCommState(Handle, &FDcb))
        CheckApiResult(-1);
    RaiseIfError();
}

void TBlockSerial::ReadDcb()
{
    SetError(seOK);
    if (!FApi.GetCommState(Handle, &FDcb))
        CheckApiResult(-1);
    RaiseIfError();
}

bool TBlockSerial::NotReady()
{
    if (!FPortOpen) {
        FailWith(seNotOpen);
        return true;
    }
    if (!ControlLinesReady()) {
        FailWith(seNoAnswer);
        return true;
    }
    return false;
}

bool TBlockSerial::ControlLinesReady()
{
    if (TestDSR && !ReadDSR())
        return false;
    if (TestCTS && !ReadCTS())
        return false;
    return true;
}

std::uint32_t TBlockSerial::ReadModemStatus()
{
    SetError(seOK);
    DWORD status = 0;
    if (!FApi.GetCommModemStatus(Handle, &status)) {
        CheckApiResult(-1);
        status = 0;
    }
    RaiseIfError();
    FModemLines = status;
    return status;
}

bool TBlockSerial::ReadDSR()
{
    ReadModemStatus();
    return (FModemLines & MS_DSR_ON) != 0;
}

bool TBlockSerial::ReadCTS()
{
    ReadModemStatus();
    return (FModemLines & MS_CTS_ON) != 0;
}

void TBlockSerial::WriteDTR(bool on)
{
    FApi.EscapeCommFunction(Handle, on ? SETDTR : CLRDTR);
}

void TBlockSerial::WriteRTS(bool on)
{
    FApi.EscapeCommFunction(Handle, on ? SETRTS : CLRRTS);
}

void TBlockSerial::PurgeAll()
{
    SetError(seOK);
    if (!FApi.PurgeComm(Handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        CheckApiResult(-1);
    LineBuffer.clear();
    RaiseIfError();
}

std::uint16_t TBlockSerial::ReadUartAddress()
{
    if (IsNtFamily())
        return 0;
    // The older family answers this undocumented code with the base address
    // in bits 32 to 47 beside the call's own result.
    return static_cast<std::uint16_t>(FApi.EscapeCommFunction(Handle, GETBASEADDRESS) >> 32);
}

} // namespace tarvik
