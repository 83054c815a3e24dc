#include "platform/sim/sim_comm.h"

#include <algorithm>
#include <cstring>

namespace tarvik::sim {

namespace {

constexpr std::uint64_t kNsPerMs = 1'000'000;

} // namespace

void SimDevice::Send(std::string chunk, std::uint32_t delayMs)
{
    script_.push_back({std::move(chunk), api_.NowNs(), std::uint64_t{delayMs} * kNsPerMs});
}

void SimDevice::SendNow(std::string bytes)
{
    rxQueue_ += bytes;
}

void SimDevice::ClearWritten()
{
    written_.clear();
    writes_.clear();
}

void SimDevice::StallTransmitter(bool stalled, std::uint32_t accept)
{
    stalled_ = stalled;
    accept_ = accept;
}

void SimDevice::Hangup()
{
    gone_ = true;
    // Only the internal state changes: the component's buffers may be gone by
    // the time a test pulls the plug.
    for (Overlapped* op : {&read_, &write_, &eventWait_}) {
        if (op->pending) {
            op->pending = false;
            op->status = win::ERROR_DEVICE_NOT_CONNECTED;
            api_.SignalEvent(op->event);
        }
    }
}

void SimDevice::Pump(std::uint64_t nowNs)
{
    if (gone_)
        return;
    FeedPendingRead(nowNs);
    // One chunk at a time: the next may only come once this one was read.
    while (rxQueue_.empty() && !script_.empty()) {
        const std::uint64_t due = *NextArrivalNs();
        if (due > nowNs)
            break;
        rxQueue_ = std::move(script_.front().bytes);
        script_.pop_front();
        lastArrivalNs_ = due;
        FeedPendingRead(due);
    }
    if (eventWait_.pending) {
        const win::DWORD hit = ReadyEvents() & commMask_;
        if (hit != 0)
            EndEventWait(hit);
    }
}

std::optional<std::uint64_t> SimDevice::NextArrivalNs() const
{
    if (gone_ || !rxQueue_.empty() || script_.empty())
        return std::nullopt;
    const Chunk& next = script_.front();
    return std::max({emptySinceNs_, lastArrivalNs_, next.notBeforeNs}) + next.delayNs;
}

win::DWORD SimDevice::TakeQueued(std::uint8_t* destination, win::DWORD count, std::uint64_t nowNs)
{
    const auto taken = static_cast<win::DWORD>(std::min<std::size_t>(count, rxQueue_.size()));
    if (taken == 0)
        return 0;
    std::memcpy(destination, rxQueue_.data(), taken);
    rxQueue_.erase(0, taken);
    lineErrors_ |= readLineErrors_;
    readLineErrors_ = 0;
    if (rxQueue_.empty())
        emptySinceNs_ = nowNs;
    return taken;
}

void SimDevice::FeedPendingRead(std::uint64_t nowNs)
{
    if (!read_.pending)
        return;
    read_.done += TakeQueued(read_.buffer + read_.done, read_.wanted - read_.done, nowNs);
    if (read_.done == read_.wanted)
        Finish(read_, win::ERROR_SUCCESS);
}

win::DWORD SimDevice::ReadyEvents() const
{
    return (rxQueue_.empty() ? 0 : win::EV_RXCHAR) | (outQueue_ == 0 ? win::EV_TXEMPTY : 0);
}

void SimDevice::Finish(Overlapped& op, win::DWORD status)
{
    op.pending = false;
    op.status = status;
    api_.SignalEvent(op.event);
}

void SimDevice::EndEventWait(win::DWORD occurred)
{
    *eventWait_.occurred = occurred;
    Finish(eventWait_, win::ERROR_SUCCESS);
}

SimDevice::Overlapped* SimDevice::Find(const win::OVERLAPPED* ov)
{
    for (Overlapped* op : {&read_, &write_, &eventWait_}) {
        if (op->active && op->ov == ov)
            return op;
    }
    return nullptr;
}

void SimDevice::Forget(const win::OVERLAPPED* ov)
{
    // A new operation on a record means the caller has collected the old one.
    for (Overlapped* op : {&read_, &write_, &eventWait_}) {
        if (op->ov == ov)
            *op = Overlapped{};
    }
}

bool SimDevice::BindsEvent(win::HANDLE event) const
{
    return event != 0 &&
           ((read_.pending && read_.event == event) || (write_.pending && write_.event == event) ||
            (eventWait_.pending && eventWait_.event == event));
}

void SimDevice::Purge(win::DWORD flags, std::uint64_t nowNs)
{
    if ((flags & win::PURGE_TXABORT) != 0 && write_.pending)
        Finish(write_, win::ERROR_OPERATION_ABORTED);
    if ((flags & win::PURGE_RXABORT) != 0 && read_.pending)
        Finish(read_, win::ERROR_OPERATION_ABORTED);
    if ((flags & win::PURGE_TXCLEAR) != 0)
        outQueue_ = 0;
    if ((flags & win::PURGE_RXCLEAR) != 0 && !rxQueue_.empty()) {
        rxQueue_.clear();
        emptySinceNs_ = nowNs;
    }
}

void SimDevice::Record(std::string_view bytes)
{
    written_ += bytes;
    writes_.emplace_back(bytes);
}

void SimDevice::OnOpen()
{
    open_ = true;
    commMask_ = 0;
}

void SimDevice::OnClose()
{
    // Dropped without a word into the caller's records: nobody waits on them
    // once the handle is gone, and they may no longer exist.
    read_ = Overlapped{};
    write_ = Overlapped{};
    eventWait_ = Overlapped{};
    open_ = false;
}

} // namespace tarvik::sim
