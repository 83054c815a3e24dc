#include "platform/comm_api.h"

namespace tarvik::win {

// Bit positions of the DCB flag word, lowest first, as Win32 packs them.
DWORD DcbFlagsWord(const DCB& dcb)
{
    return dcb.fBinary | dcb.fParity << 1 | dcb.fOutxCtsFlow << 2 | dcb.fOutxDsrFlow << 3 |
           dcb.fDtrControl << 4 | dcb.fDsrSensitivity << 6 | dcb.fTXContinueOnXoff << 7 |
           dcb.fOutX << 8 | dcb.fInX << 9 | dcb.fErrorChar << 10 | dcb.fNull << 11 |
           dcb.fRtsControl << 12 | dcb.fAbortOnError << 14 | dcb.fDummy2 << 15;
}

void SetDcbFlagsWord(DCB& dcb, DWORD word)
{
    dcb.fBinary = word & 1;
    dcb.fParity = word >> 1 & 1;
    dcb.fOutxCtsFlow = word >> 2 & 1;
    dcb.fOutxDsrFlow = word >> 3 & 1;
    dcb.fDtrControl = word >> 4 & 3;
    dcb.fDsrSensitivity = word >> 6 & 1;
    dcb.fTXContinueOnXoff = word >> 7 & 1;
    dcb.fOutX = word >> 8 & 1;
    dcb.fInX = word >> 9 & 1;
    dcb.fErrorChar = word >> 10 & 1;
    dcb.fNull = word >> 11 & 1;
    dcb.fRtsControl = word >> 12 & 3;
    dcb.fAbortOnError = word >> 14 & 1;
    dcb.fDummy2 = word >> 15;
}

} // namespace tarvik::win
