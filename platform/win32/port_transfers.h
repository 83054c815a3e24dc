// The system's own records for the overlapped calls of each open port.
//
// A caller's OVERLAPPED is often a local that dies when its call returns,
// yet the system may still complete an aborted transfer into it (and into
// its buffer or event mask) later. So the system never sees the caller's
// record: each port has one record per kind of call (read, write, comm
// event) that lives until the port is closed. A call ties the record to the
// caller's OVERLAPPED*, GetOverlappedResult finds the record through that
// tie, and the bytes and the event mask go through storage of the record,
// copied to the caller only when the caller collects a finished result.
// Before a record is used again, and when the port is closed (after
// CancelIo), a transfer still outstanding on it is waited for.
#pragma once

// After comm_api.h, so that the system's macros do not rewrite its names.
#include "platform/comm_api.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace tarvik::win::native {

struct Transfer {
    ::OVERLAPPED Record{};
    // The caller's record this one stands for; null once it is forgotten.
    OVERLAPPED* Owner = nullptr;
    bool Outstanding = false;
    // Bytes in flight: the system reads and writes only these.
    std::vector<unsigned char> Data;
    void* CallerBuffer = nullptr;
    ::DWORD EventMask = 0;
    std::uint32_t* CallerMask = nullptr;
};

struct PortTransfers {
    Transfer Read;
    Transfer Write;
    Transfer Event;

    Transfer* OwnedBy(const OVERLAPPED* caller)
    {
        // A forgotten slot's null owner stands for no caller.
        if (caller == nullptr)
            return nullptr;
        for (Transfer* slot : {&Read, &Write, &Event})
            if (slot->Owner == caller)
                return slot;
        return nullptr;
    }
};

inline void MirrorStatus(const ::OVERLAPPED& from, OVERLAPPED& to)
{
    to.Internal = from.Internal;
    to.InternalHigh = from.InternalHigh;
}

// Waits until the transfer on the record has ended. The port handle may be
// signalled by the end of another transfer, so the record's own status says
// when this one is over.
inline void Settle(::HANDLE port, Transfer& slot)
{
    while (slot.Outstanding && !HasOverlappedIoCompleted(&slot.Record)) {
        ::DWORD ignored = 0;
        ::GetOverlappedResult(port, &slot.Record, &ignored, TRUE);
        if (!HasOverlappedIoCompleted(&slot.Record))
            ::Sleep(1);
    }
    slot.Outstanding = false;
    slot.Owner = nullptr;
}

// Makes the slot ready for a new call on behalf of caller: the previous
// transfer is over and the caller's record stands for this slot alone.
inline void Begin(::HANDLE port, PortTransfers& transfers, Transfer& slot, OVERLAPPED& caller,
                  ::HANDLE event)
{
    Settle(port, slot);
    if (Transfer* stale = transfers.OwnedBy(&caller))
        stale->Owner = nullptr;
    slot.Record = ::OVERLAPPED{};
    slot.Record.Offset = caller.Offset;
    slot.Record.OffsetHigh = caller.OffsetHigh;
    slot.Record.hEvent = event;
    slot.Owner = &caller;
    slot.CallerBuffer = nullptr;
    slot.CallerMask = nullptr;
}

// Hands a finished transfer's bytes or event mask to the caller that owns it.
inline void Deliver(Transfer& slot)
{
    if (slot.CallerBuffer != nullptr) {
        const std::size_t count = slot.Record.InternalHigh < slot.Data.size()
                                      ? slot.Record.InternalHigh
                                      : slot.Data.size();
        if (count > 0)
            std::memcpy(slot.CallerBuffer, slot.Data.data(), count);
        slot.CallerBuffer = nullptr;
    }
    if (slot.CallerMask != nullptr) {
        *slot.CallerMask = slot.EventMask;
        slot.CallerMask = nullptr;
    }
}

// The ports with records, by handle. Map nodes never move, so a record's
// address stays valid while other ports come and go.
class TransferTable {
public:
    PortTransfers& For(::HANDLE port)
    {
        const std::lock_guard lock(FLock);
        return FPorts[port];
    }

    PortTransfers* Find(::HANDLE port)
    {
        const std::lock_guard lock(FLock);
        const auto found = FPorts.find(port);
        return found == FPorts.end() ? nullptr : &found->second;
    }

    void Forget(::HANDLE port)
    {
        const std::lock_guard lock(FLock);
        FPorts.erase(port);
    }

private:
    std::mutex FLock;
    std::map<::HANDLE, PortTransfers> FPorts;
};

} // namespace tarvik::win::native
