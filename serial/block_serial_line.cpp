// Carrier and ring, break, RTS toggling, receive queue size and rate limits.
#include "serial/block_serial.h"

namespace tarvik {

using namespace win;

bool TBlockSerial::ReadCarrier()
{
    ReadModemStatus();
    return (FModemLines & MS_RLSD_ON) != 0;
}

bool TBlockSerial::ReadRing()
{
    ReadModemStatus();
    return (FModemLines & MS_RING_ON) != 0;
}

void TBlockSerial::SendBreak(std::int32_t duration)
{
    FApi.SetCommBreak(Handle);
    FApi.Sleep(static_cast<DWORD>(duration));
    SetError(seOK);
    // Recorded, never raised: the line is out of break either way.
    if (!FApi.ClearCommBreak(Handle))
        CheckApiResult(-1);
}

void TBlockSerial::SetRtsToggle(bool on)
{
    SetError(seOK);
    if (IsNtFamily()) {
        // The NT family's driver toggles RTS itself.
        ReadDcb();
        FDcb.fRtsControl = on ? RTS_CONTROL_TOGGLE : RTS_CONTROL_DISABLE;
        WriteDcb();
        return;
    }
    FRtsToggle = on;
    if (on)
        WriteRTS(false);
}

void TBlockSerial::SetReceiveBufferSize(std::int32_t size)
{
    FApi.SetupComm(Handle, static_cast<DWORD>(size), 0);
    ReadDcb();
    FDcb.XonLim = static_cast<WORD>(size / 4);
    FDcb.XoffLim = FDcb.XonLim;
    WriteDcb();
    FRecvQueueSize = size;
}

void TBlockSerial::SetRateLimit(std::int32_t bytesPerSecond)
{
    FSendRateLimit = bytesPerSecond;
    FRecvRateLimit = bytesPerSecond;
}

} // namespace tarvik
