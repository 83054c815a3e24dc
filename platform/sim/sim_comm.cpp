// The sim's set-up, handles, failure injection and waits.
#include "platform/sim/sim_comm.h"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace tarvik::sim {

using namespace win;

namespace {

constexpr std::uint64_t kNsPerMs = 1'000'000;

// The calls that have a failure result to inject.
constexpr std::array<std::string_view, 23> kFailable = {
    "CreateFileA",
    "CloseHandle",
    "ReadFile",
    "WriteFile",
    "GetOverlappedResult",
    "WaitForSingleObject",
    "CreateEventA",
    "SetupComm",
    "SetCommTimeouts",
    "SetCommState",
    "GetCommState",
    "SetCommMask",
    "WaitCommEvent",
    "ClearCommError",
    "PurgeComm",
    "EscapeCommFunction",
    "GetCommModemStatus",
    "SetCommBreak",
    "ClearCommBreak",
    "FlushFileBuffers",
    "FormatMessageA",
    "QueryPerformanceFrequency",
    "QueryPerformanceCounter",
};

} // namespace

SimDevice& SimCommApi::AddDevice(const std::string& name)
{
    auto [it, added] = devices_.try_emplace(name);
    if (!added)
        throw std::invalid_argument("sim device added twice: " + name);
    it->second.reset(new SimDevice(*this));
    return *it->second;
}

SimDevice& SimCommApi::Device(const std::string& name)
{
    const auto it = devices_.find(name);
    if (it == devices_.end())
        throw std::out_of_range("no sim device named " + name);
    return *it->second;
}

void SimCommApi::SetOpenError(const std::string& name, DWORD code)
{
    if (code == ERROR_SUCCESS)
        openErrors_.erase(name);
    else
        openErrors_[name] = code;
}

void SimCommApi::FailCall(const std::string& function, DWORD code, int times)
{
    if (std::find(kFailable.begin(), kFailable.end(), function) == kFailable.end())
        throw std::invalid_argument("no failure to inject into " + function);
    if (times == 0)
        injections_.erase(function);
    else
        injections_[function] = {code, times < 0 ? -1 : times};
}

std::vector<std::string> SimCommApi::CallsOf(const std::string& prefix) const
{
    std::vector<std::string> matching;
    for (const std::string& call : calls_) {
        if (call.starts_with(prefix))
            matching.push_back(call);
    }
    return matching;
}

std::string SimCommApi::HandleText(HANDLE handle) const
{
    if (ports_.contains(handle))
        return "port";
    if (events_.contains(handle))
        return "event";
    return std::to_string(handle);
}

BOOL SimCommApi::Fail(DWORD code)
{
    lastError_ = code;
    return 0;
}

bool SimCommApi::Injected(std::string_view function)
{
    const auto it = injections_.find(function);
    if (it == injections_.end())
        return false;
    lastError_ = it->second.code;
    if (it->second.remaining > 0 && --it->second.remaining == 0)
        injections_.erase(it);
    return true;
}

SimDevice* SimCommApi::Enter(std::string_view function, HANDLE handle)
{
    if (Injected(function))
        return nullptr;
    const auto port = ports_.find(handle);
    if (port == ports_.end()) {
        lastError_ = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (port->second->gone_) {
        lastError_ = ERROR_DEVICE_NOT_CONNECTED;
        return nullptr;
    }
    return port->second;
}

HANDLE SimCommApi::NewHandle()
{
    // Spaced like kernel handles, so a handle mixed up with a count shows.
    const HANDLE handle = nextHandle_;
    nextHandle_ += 4;
    return handle;
}

void SimCommApi::SignalEvent(HANDLE event)
{
    if (const auto it = events_.find(event); it != events_.end())
        it->second.signalled = true;
}

void SimCommApi::ResetEvent(HANDLE event)
{
    if (const auto it = events_.find(event); it != events_.end())
        it->second.signalled = false;
}

HANDLE SimCommApi::CreateFileA(const char* name, DWORD access, DWORD shareMode, DWORD creation,
                               DWORD flagsAndAttributes)
{
    const std::string path = name != nullptr ? name : "";
    Log("CreateFileA(" + path + "," + std::to_string(access) + "," + std::to_string(shareMode) +
        "," + std::to_string(creation) + "," + std::to_string(flagsAndAttributes) + ")");
    if (Injected("CreateFileA"))
        return INVALID_HANDLE_VALUE;
    if (const auto error = openErrors_.find(path); error != openErrors_.end()) {
        lastError_ = error->second;
        return INVALID_HANDLE_VALUE;
    }
    const auto device = devices_.find(path);
    if (device == devices_.end() || device->second->gone_) {
        lastError_ = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (device->second->open_) {
        lastError_ = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = NewHandle();
    ports_[handle] = device->second.get();
    device->second->OnOpen();
    return handle;
}

BOOL SimCommApi::CloseHandle(HANDLE handle)
{
    Log("CloseHandle(" + HandleText(handle) + ")");
    if (Injected("CloseHandle"))
        return 0;
    if (const auto port = ports_.find(handle); port != ports_.end()) {
        port->second->OnClose();
        ports_.erase(port);
        return 1;
    }
    if (events_.erase(handle) == 1)
        return 1;
    return Fail(ERROR_INVALID_HANDLE);
}

HANDLE SimCommApi::CreateEventA(BOOL manualReset, BOOL initialState)
{
    Log("CreateEventA");
    if (Injected("CreateEventA"))
        return 0;
    const HANDLE handle = NewHandle();
    events_[handle] = {manualReset != 0, initialState != 0};
    return handle;
}

DWORD SimCommApi::RunUntil(SimDevice* device, const std::function<bool()>& done, DWORD milliseconds)
{
    // INFINITE is taken as the longest finite wait, so a dead-lock shows up as
    // a time-out in the test rather than a test that never ends.
    const std::uint64_t deadline = nowNs_ + std::uint64_t{milliseconds} * kNsPerMs;
    for (;;) {
        if (device != nullptr)
            device->Pump(nowNs_);
        if (done())
            return WAIT_OBJECT_0;
        const auto next = device != nullptr ? device->NextArrivalNs() : std::nullopt;
        if (!next || *next > deadline) {
            nowNs_ = deadline;
            return WAIT_TIMEOUT;
        }
        nowNs_ = *next;
    }
}

bool SimCommApi::RunToEnd(SimDevice& device, const std::function<bool()>& done)
{
    for (;;) {
        device.Pump(nowNs_);
        if (done())
            return true;
        const auto next = device.NextArrivalNs();
        if (!next)
            return false;
        nowNs_ = *next;
    }
}

DWORD SimCommApi::WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    Log("WaitForSingleObject(" + HandleText(handle) + "," + std::to_string(milliseconds) + ")");
    if (Injected("WaitForSingleObject"))
        return WAIT_FAILED;
    if (const auto port = ports_.find(handle); port != ports_.end()) {
        // A port handle is signalled while none of its transfers is outstanding.
        SimDevice* device = port->second;
        return RunUntil(
            device, [device] { return !device->read_.pending && !device->write_.pending; },
            milliseconds);
    }
    const auto event = events_.find(handle);
    if (event == events_.end()) {
        lastError_ = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    SimDevice* source = nullptr;
    for (const auto& entry : devices_) {
        if (entry.second->BindsEvent(handle))
            source = entry.second.get();
    }
    const DWORD result = RunUntil(
        source, [&event] { return event->second.signalled; }, milliseconds);
    if (result == WAIT_OBJECT_0 && !event->second.manualReset)
        event->second.signalled = false;
    return result;
}

} // namespace tarvik::sim
