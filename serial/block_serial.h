// TBlockSerial: one serial port, its line settings, its receive buffer and
// its error state. Every step is a virtual operation of its own so that a
// derived class can replace any single one.
//
// Fields: the thirteen properties (Tag, Handle, LineBuffer, RaiseExcept,
// OnStatus, TestDSR, TestCTS, MaxLineLength, DeadlockTimeout, LinuxLock,
// ConvertLineEnd, AtTimeout, InterPacketTimeout) are public members that read
// and write the field directly. Every other field is kept protected as F<Name>
// and read through the accessor <Name>().
#pragma once

#include "platform/comm_api.h"
#include "serial/serial_stream.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <string>

namespace tarvik {

// The component's own error codes.
inline constexpr std::int32_t seOK = 0;
inline constexpr std::int32_t sePortOwned = 9991;
inline constexpr std::int32_t seInUse = 9992;
inline constexpr std::int32_t seBadParameter = 9993;
inline constexpr std::int32_t seNotOpen = 9994;
inline constexpr std::int32_t seNoAnswer = 9995;
inline constexpr std::int32_t seLineTooLong = 9996;
inline constexpr std::int32_t seTimeout = 9997;
inline constexpr std::int32_t seReadFailed = 9998;
inline constexpr std::int32_t seFraming = 9999;
inline constexpr std::int32_t seOverrun = 10000;
inline constexpr std::int32_t seRxOverflow = 10001;
inline constexpr std::int32_t seParity = 10002;
inline constexpr std::int32_t seTxFull = 10003;

enum class THookSerialReason : std::uint8_t {
    HR_SerialClose,
    HR_Connect,
    HR_CanRead,
    HR_CanWrite,
    HR_ReadCount,
    HR_WriteCount,
    HR_Wait,
};

class TBlockSerial;
using THookSerialStatus =
    std::function<void(TBlockSerial& Sender, THookSerialReason Reason, const std::string& Value)>;

// Raised for a recorded error when RaiseExcept is on. The message is the
// Windows-1251 bytes of "Ошибка #<code>: <description>", as the component
// has always delivered it; converting it is the caller's business.
class EKorloSerError : public std::exception {
public:
    EKorloSerError(std::int32_t code, std::string description, const void* raiseAddress);
    const char* what() const noexcept override { return Message.c_str(); }

    std::string Message;
    std::int32_t Code;
    std::string Description;
    // The code address of the operation that raised, for the error report.
    const void* RaiseAddress;
};

class TBlockSerial {
public:
    // Create: a closed object without error. The platform defaults to the
    // system's own; tests pass a simulated one.
    explicit TBlockSerial(win::CommApi& api = win::NativeCommApi());
    // Destroy: closes the port, as Close does.
    virtual ~TBlockSerial();
    TBlockSerial(const TBlockSerial&) = delete;
    TBlockSerial& operator=(const TBlockSerial&) = delete;

    // The text of an error code; needs no object.
    static std::string GetErrorDesc(std::int32_t code, win::CommApi& api = win::NativeCommApi());

    virtual void DecodeLineErrors(win::DWORD errors);
    virtual std::uint16_t ReadUartAddress();
    virtual bool UartTransmitterEmpty(std::uint16_t address);
    virtual void SetReceiveBufferSize(std::int32_t size);
    virtual bool ReadDSR();
    virtual void WriteDTR(bool on);
    virtual bool ReadCTS();
    virtual void WriteRTS(bool on);
    virtual bool ReadCarrier();
    virtual bool ReadRing();
    virtual void NotifyStatus(THookSerialReason Reason, const std::string& Value);
    virtual void ParsePortNumber(const std::string& name);
    virtual bool NotReady();
    virtual bool ControlLinesReady();
    virtual void PaceTransfer(std::int32_t count, std::int32_t limit, std::uint32_t& nextTick);
    virtual void SetRateLimit(std::int32_t bytesPerSecond);
    virtual std::string VersionText();
    virtual void Close();
    virtual void Configure(std::int32_t baud, std::uint8_t bits, char parity, std::uint8_t stop,
                           bool softFlow, bool hardFlow);
    virtual void Open(const std::string& name);
    virtual void WriteDcb();
    virtual void ReadDcb();
    virtual std::int32_t SendBytes(const void* source, std::int32_t count);
    virtual void SendChar(std::uint8_t value);
    virtual void SendText(const std::string& text);
    virtual void SendInt32(std::int32_t value);
    virtual void SendSized(const std::string& text);
    virtual void SendStreamBody(TStream& stream);
    virtual void SendStreamSized(TStream& stream);
    virtual void SendStreamSizedNet(TStream& stream);
    virtual std::int32_t ReadBytes(void* destination, std::int32_t count);
    virtual std::int32_t ReadBytesWait(void* destination, std::int32_t length,
                                       std::int32_t timeout);
    virtual std::string ReadTextCount(std::int32_t length, std::int32_t timeout);
    virtual std::string ReadChunk(std::int32_t timeout);
    virtual std::uint8_t ReadChar(std::int32_t timeout);
    virtual std::string ReadUntil(std::int32_t timeout, const std::string& terminator);
    virtual std::string ReadLine(std::int32_t timeout);
    virtual std::int32_t ReadInt32(std::int32_t timeout);
    virtual std::string ReadSized(std::int32_t timeout);
    virtual void ReadStreamAll(TStream& stream, std::int32_t timeout);
    virtual void ReadStreamCount(TStream& stream, std::int32_t timeout, std::int32_t count);
    virtual void ReadStreamSized(TStream& stream, std::int32_t timeout);
    virtual void ReadStreamSizedNet(TStream& stream, std::int32_t timeout);
    virtual std::int32_t InQueueCount();
    virtual std::int32_t PendingCount();
    virtual std::int32_t OutQueueCount();
    virtual void SetRtsToggle(bool on);
    virtual void FlushOutput();
    virtual void PurgeAll();
    virtual bool WaitReadable(std::int32_t timeout);
    virtual bool WaitWritable(std::int32_t timeout);
    virtual bool WaitPending(std::int32_t timeout);
    virtual std::uint32_t ReadModemStatus();
    virtual void SendBreak(std::int32_t duration);
    virtual std::string ModemCommand(const std::string& command);
    virtual std::string ModemConnect(const std::string& command);
    virtual std::int32_t CheckApiResult(std::int32_t value);
    virtual void RaiseIfError();
    virtual void SetError(std::int32_t code);
    virtual void FailWith(std::int32_t code);

    // Waits until all events of mask occurred on the port, at most timeout ms.
    bool WaitForEvent(win::DWORD mask, std::int32_t timeout);

    // Read access to the fields that are not properties.
    std::string DevicePath() const { return FDevicePath; }
    std::int32_t LastErrorCode() const { return FLastErrorCode; }
    std::string LastErrorText() const { return FLastErrorText; }
    std::int32_t RecvQueueSize() const { return FRecvQueueSize; }
    std::uint32_t ModemLines() const { return FModemLines; }
    bool RtsToggle() const { return FRtsToggle; }
    bool PortOpen() const { return FPortOpen; }
    bool PendingCR() const { return FPendingCR; }
    bool PendingLF() const { return FPendingLF; }
    std::int32_t SendRateLimit() const { return FSendRateLimit; }
    std::uint32_t NextSendTick() const { return FNextSendTick; }
    std::int32_t RecvRateLimit() const { return FRecvRateLimit; }
    std::uint32_t NextRecvTick() const { return FNextRecvTick; }
    bool CommandOk() const { return FCommandOk; }
    std::int32_t PortIndex() const { return FPortIndex; }
    std::uint16_t UartAddress() const { return FUartAddress; }
    const win::DCB& Dcb() const { return FDcb; }
    win::CommApi& Api() const { return FApi; }

    // Properties.
    THookSerialStatus OnStatus;
    win::HANDLE Handle = win::INVALID_HANDLE_VALUE;
    std::int32_t Tag = 0;
    std::string LineBuffer;
    bool RaiseExcept = false;
    std::int32_t DeadlockTimeout = 30000;
    bool TestDSR = false;
    bool TestCTS = false;
    std::int32_t MaxLineLength = 0;
    bool LinuxLock = true;
    bool ConvertLineEnd = false;
    std::int32_t AtTimeout = 1000;
    bool InterPacketTimeout = true;

protected:
    // The read and write transfers share every step but the call and the
    // direction's pacing, abort bit and notification.
    std::int32_t TransferBytes(bool sending, void* buffer, std::int32_t count);
    // The counted read shared by ReadBytesWait and ReadTextCount: hands each
    // pass's bytes to take, returns the count taken.
    std::int32_t ReadCounted(std::int32_t length, std::int32_t timeout,
                             const std::function<void(const char*, std::size_t)>& take);
    // After a pass that found nothing, without per-packet time-outs: takes
    // the pass's time off the time-out; true, with the time-out recorded,
    // once none is left.
    bool TotalTimeUsedUp(std::int32_t& timeout, std::uint32_t start);
    std::string ExchangeLines(const std::string& command, std::int32_t lineTimeout, bool dialling);
    bool IsNtFamily() const;

    win::CommApi& FApi;
    std::string FDevicePath;
    std::int32_t FLastErrorCode = seOK;
    std::string FLastErrorText;
    std::int32_t FRecvQueueSize = 4096;
    std::uint32_t FModemLines = 0;
    bool FRtsToggle = false;
    bool FPortOpen = false;
    bool FPendingCR = false;
    bool FPendingLF = false;
    std::int32_t FSendRateLimit = 0;
    std::uint32_t FNextSendTick = 0;
    std::int32_t FRecvRateLimit = 0;
    std::uint32_t FNextRecvTick = 0;
    bool FCommandOk = false;
    std::int32_t FPortIndex = -1;
    std::uint16_t FUartAddress = 0;
    win::DCB FDcb{};
};

} // namespace tarvik
