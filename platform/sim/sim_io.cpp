// The sim's port calls: overlapped transfers, comm events, queues and lines.
#include "platform/sim/sim_comm.h"

#include <algorithm>

namespace tarvik::sim {

using namespace win;

namespace {

// What Win32 keeps in OVERLAPPED.Internal while the work goes on; once it has
// ended the sim keeps the Win32 code there.
constexpr std::uintptr_t kStatusPending = 0x103;

BOOL CompletedAtOnce(OVERLAPPED* ov, DWORD* count, DWORD transferred)
{
    ov->Internal = ERROR_SUCCESS;
    ov->InternalHigh = transferred;
    if (count != nullptr)
        *count = transferred;
    return 1;
}

void MarkPending(OVERLAPPED* ov)
{
    ov->Internal = kStatusPending;
    ov->InternalHigh = 0;
}

} // namespace

BOOL SimCommApi::ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read,
                          OVERLAPPED* overlapped)
{
    Log("ReadFile(" + std::to_string(toRead) + ")");
    SimDevice* device = Enter("ReadFile", file);
    if (device == nullptr)
        return 0;
    // Ports are opened for overlapped I/O, which Win32 refuses without a record.
    if (overlapped == nullptr || (buffer == nullptr && toRead != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    if (read != nullptr)
        *read = 0;
    device->Pump(nowNs_);
    device->Forget(overlapped);
    SimDevice::Overlapped& op = device->read_;
    op = {.active = true,
          .pending = true,
          .ov = overlapped,
          .event = overlapped->hEvent,
          .buffer = static_cast<std::uint8_t*>(buffer),
          .wanted = toRead};
    ResetEvent(op.event);
    // Takes what is queued, and whatever else arrives at this very moment.
    device->Pump(nowNs_);
    if (!op.pending)
        return CompletedAtOnce(overlapped, read, op.done);
    MarkPending(overlapped);
    return Fail(ERROR_IO_PENDING);
}

BOOL SimCommApi::WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written,
                           OVERLAPPED* overlapped)
{
    Log("WriteFile(" + std::to_string(toWrite) + ")");
    SimDevice* device = Enter("WriteFile", file);
    if (device == nullptr)
        return 0;
    if (overlapped == nullptr || (buffer == nullptr && toWrite != 0))
        return Fail(ERROR_INVALID_PARAMETER);
    if (written != nullptr)
        *written = 0;
    device->Forget(overlapped);
    const bool stalled = device->stalled_;
    const DWORD taken = stalled ? std::min(toWrite, device->accept_) : toWrite;
    device->Record({static_cast<const char*>(buffer), taken});
    SimDevice::Overlapped& op = device->write_;
    op = {.active = true,
          .pending = stalled,
          .ov = overlapped,
          .event = overlapped->hEvent,
          .wanted = toWrite,
          .done = taken};
    if (!stalled) {
        SignalEvent(op.event);
        return CompletedAtOnce(overlapped, written, taken);
    }
    ResetEvent(op.event);
    MarkPending(overlapped);
    return Fail(ERROR_IO_PENDING);
}

BOOL SimCommApi::GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred,
                                     BOOL wait)
{
    Log(std::string("GetOverlappedResult(") + (wait != 0 ? "1" : "0") + ")");
    SimDevice* device = Enter("GetOverlappedResult", file);
    if (device == nullptr)
        return 0;
    if (overlapped == nullptr || transferred == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    device->Pump(nowNs_);
    SimDevice::Overlapped* op = device->Find(overlapped);
    if (op == nullptr) {
        // Work that completed at once (or never ran here): the record says it all.
        if (overlapped->Internal == kStatusPending)
            return Fail(ERROR_IO_INCOMPLETE);
        *transferred = static_cast<DWORD>(overlapped->InternalHigh);
        const auto status = static_cast<DWORD>(overlapped->Internal);
        return status == ERROR_SUCCESS ? 1 : Fail(status);
    }
    // Waiting on work that nothing will ever end would block for good; the
    // sim answers as if the wait had not been asked for.
    if (op->pending && wait != 0)
        RunToEnd(*device, [op] { return !op->pending; });
    *transferred = op->done;
    if (op->pending)
        return Fail(ERROR_IO_INCOMPLETE);
    overlapped->Internal = op->status;
    overlapped->InternalHigh = op->done;
    return op->status == ERROR_SUCCESS ? 1 : Fail(op->status);
}

BOOL SimCommApi::SetCommMask(HANDLE file, DWORD mask)
{
    Log("SetCommMask(" + std::to_string(mask) + ")");
    SimDevice* device = Enter("SetCommMask", file);
    if (device == nullptr)
        return 0;
    device->commMask_ = mask;
    // As in Win32, a new mask ends the pending wait with no events.
    if (device->eventWait_.pending)
        device->EndEventWait(0);
    return 1;
}

BOOL SimCommApi::WaitCommEvent(HANDLE file, DWORD* occurred, OVERLAPPED* overlapped)
{
    Log("WaitCommEvent");
    SimDevice* device = Enter("WaitCommEvent", file);
    if (device == nullptr)
        return 0;
    if (overlapped == nullptr || occurred == nullptr || device->commMask_ == 0 ||
        device->eventWait_.pending)
        return Fail(ERROR_INVALID_PARAMETER);
    device->Pump(nowNs_);
    device->Forget(overlapped);
    SimDevice::Overlapped& op = device->eventWait_;
    op = {.active = true,
          .pending = true,
          .ov = overlapped,
          .event = overlapped->hEvent,
          .occurred = occurred};
    ResetEvent(op.event);
    const DWORD hit = device->ReadyEvents() & device->commMask_;
    if (hit != 0) {
        device->EndEventWait(hit);
        return CompletedAtOnce(overlapped, nullptr, 0);
    }
    MarkPending(overlapped);
    return Fail(ERROR_IO_PENDING);
}

BOOL SimCommApi::ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat)
{
    Log("ClearCommError");
    SimDevice* device = Enter("ClearCommError", file);
    if (device == nullptr)
        return 0;
    device->Pump(nowNs_);
    if (errors != nullptr)
        *errors = device->lineErrors_;
    device->lineErrors_ = 0;
    if (stat != nullptr) {
        *stat = COMSTAT{};
        stat->cbInQue = static_cast<DWORD>(device->rxQueue_.size());
        stat->cbOutQue = device->outQueue_;
    }
    return 1;
}

BOOL SimCommApi::PurgeComm(HANDLE file, DWORD flags)
{
    Log("PurgeComm(" + std::to_string(flags) + ")");
    SimDevice* device = Enter("PurgeComm", file);
    if (device == nullptr)
        return 0;
    constexpr DWORD known = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
    if ((flags & ~known) != 0)
        return Fail(ERROR_INVALID_PARAMETER);
    device->Purge(flags, nowNs_);
    return 1;
}

BOOL SimCommApi::SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue)
{
    Log("SetupComm(" + std::to_string(inQueue) + "," + std::to_string(outQueue) + ")");
    SimDevice* device = Enter("SetupComm", file);
    if (device == nullptr)
        return 0;
    device->inQueueSize_ = inQueue;
    return 1;
}

BOOL SimCommApi::SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts)
{
    Log("SetCommTimeouts");
    SimDevice* device = Enter("SetCommTimeouts", file);
    if (device == nullptr)
        return 0;
    if (timeouts == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    device->timeouts_ = *timeouts;
    return 1;
}

BOOL SimCommApi::SetCommState(HANDLE file, const DCB* dcb)
{
    Log("SetCommState");
    SimDevice* device = Enter("SetCommState", file);
    if (device == nullptr)
        return 0;
    if (dcb == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    device->dcb_ = *dcb;
    return 1;
}

BOOL SimCommApi::GetCommState(HANDLE file, DCB* dcb)
{
    Log("GetCommState");
    SimDevice* device = Enter("GetCommState", file);
    if (device == nullptr)
        return 0;
    if (dcb == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *dcb = device->dcb_;
    return 1;
}

std::uint64_t SimCommApi::EscapeCommFunction(HANDLE file, DWORD function)
{
    Log("EscapeCommFunction(" + std::to_string(function) + ")");
    SimDevice* device = Enter("EscapeCommFunction", file);
    if (device == nullptr)
        return 0;
    switch (function) {
    case SETRTS:
    case CLRRTS:
        device->rts_ = function == SETRTS;
        return 1;
    case SETDTR:
    case CLRDTR:
        device->dtr_ = function == SETDTR;
        return 1;
    case SETBREAK:
    case CLRBREAK:
        device->break_ = function == SETBREAK;
        return 1;
    case SETXOFF:
    case SETXON:
        return 1;
    case GETBASEADDRESS:
        if (platformId_ != VER_PLATFORM_WIN32_NT)
            return std::uint64_t{uartBase_} << 32 | 1;
        break;
    default:
        break;
    }
    return Fail(ERROR_INVALID_PARAMETER);
}

BOOL SimCommApi::GetCommModemStatus(HANDLE file, DWORD* status)
{
    Log("GetCommModemStatus");
    SimDevice* device = Enter("GetCommModemStatus", file);
    if (device == nullptr)
        return 0;
    if (status == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *status = device->modemStatus_;
    return 1;
}

BOOL SimCommApi::SetCommBreak(HANDLE file)
{
    Log("SetCommBreak");
    SimDevice* device = Enter("SetCommBreak", file);
    if (device == nullptr)
        return 0;
    device->break_ = true;
    return 1;
}

BOOL SimCommApi::ClearCommBreak(HANDLE file)
{
    Log("ClearCommBreak");
    SimDevice* device = Enter("ClearCommBreak", file);
    if (device == nullptr)
        return 0;
    device->break_ = false;
    return 1;
}

BOOL SimCommApi::FlushFileBuffers(HANDLE file)
{
    // The out queue is the test's to set, so a flush has nothing to change.
    Log("FlushFileBuffers");
    return Enter("FlushFileBuffers", file) != nullptr ? 1 : 0;
}

} // namespace tarvik::sim
