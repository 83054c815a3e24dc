// A serial port that exists only in memory, behind CommApi, for the tests of
// the component: a test scripts what the far end sends and when, holds the
// transmitter off, makes chosen calls fail, and reads back every call that was
// made, in order. The clock is virtual: nothing here waits in real time; a
// wait that nothing ends moves the clock on by its whole time-out.
//
// Results follow Win32: FALSE (or INVALID_HANDLE_VALUE, 0, WAIT_FAILED) with
// the reason in the last error. A handle the sim did not hand out, or one
// already closed, fails every call with ERROR_INVALID_HANDLE.
//
// Overlapped work keeps Win32's rules for the caller's memory: a pending read
// fills its buffer, and a pending WaitCommEvent its event word, as the work
// proceeds, so both must stay valid until the work has ended. The sim only
// writes them from inside a call the component makes; closing the port or a
// test-side call (Hangup) never touches them.
//
// Where Win32 would block for good, the sim answers instead, so that a
// dead-lock fails the test rather than hanging it: an INFINITE wait that
// nothing ends runs the clock on by 2^32 - 1 ms and returns WAIT_TIMEOUT, and
// GetOverlappedResult with wait on work that can no longer end returns FALSE
// with ERROR_IO_INCOMPLETE.
#pragma once

#include "platform/comm_api.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik::sim {

class SimCommApi;

// One port's far end and the driver state the component sees through it.
class SimDevice {
public:
    SimDevice(const SimDevice&) = delete;
    SimDevice& operator=(const SimDevice&) = delete;
    ~SimDevice() = default;

    // Bytes the device sends. Each chunk is one separate arrival: it enters
    // the receive queue only once the queue is empty and the clock has
    // reached delayMs past the latest of: the time the queue last became
    // empty, the time of the previous arrival, and the time of this call.
    // An empty chunk is a pause in the script. Arrivals are looked for by
    // every call that looks at the queue (ClearCommError, ReadFile,
    // WaitCommEvent and the waits); PurgeComm leaves chunks not yet arrived
    // alone, so a script set up before Open survives the purge it makes.
    void Send(std::string chunk, std::uint32_t delayMs = 0);
    // Straight into the receive queue, behind what is queued.
    void SendNow(std::string bytes);

    // Everything the component wrote, and one entry per WriteFile that reached
    // the device (an empty write too; a failed call adds nothing).
    const std::string& Written() const { return written_; }
    const std::vector<std::string>& Writes() const { return writes_; }
    void ClearWritten();

    // Flow control held off: each WriteFile takes at most `accept` bytes and
    // stays pending; a wait on it runs out its whole time-out; PurgeComm with
    // PURGE_TXABORT ends it with ERROR_OPERATION_ABORTED and the accepted
    // count. Releasing the stall lets later writes complete at once; a write
    // already pending stays pending until it is aborted.
    void StallTransmitter(bool stalled, std::uint32_t accept = 0);

    // cbOutQue as ClearCommError reports it; EV_TXEMPTY holds while it is 0.
    // Only the test and PURGE_TXCLEAR change it.
    void SetOutQueue(std::uint32_t bytes) { outQueue_ = bytes; }
    std::uint32_t OutQueue() const { return outQueue_; }
    // Reported, and then cleared, by the next ClearCommError.
    void SetLineErrors(std::uint32_t ceBits) { lineErrors_ = ceBits; }
    // Noted only when a ReadFile next takes bytes, as if those bytes were
    // damaged: the ClearCommError after that read reports them, while one made
    // before it (the queue count ahead of a buffered read) does not see them.
    void SetLineErrorsOnRead(std::uint32_t ceBits) { readLineErrors_ = ceBits; }
    // MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON as GetCommModemStatus reports them.
    void SetModemStatus(std::uint32_t msBits) { modemStatus_ = msBits; }

    bool Dtr() const { return dtr_; }
    bool Rts() const { return rts_; }
    bool Break() const { return break_; }
    // The last DCB that SetCommState stored (all zero until then).
    const win::DCB& Dcb() const { return dcb_; }
    // The receive queue size of the last SetupComm.
    std::uint32_t InQueueSize() const { return inQueueSize_; }
    win::COMMTIMEOUTS Timeouts() const { return timeouts_; }
    std::uint32_t CommMask() const { return commMask_; }
    bool IsOpen() const { return open_; }

    // Bytes that arrived and wait in the receive queue; chunks yet to arrive.
    std::size_t QueuedBytes() const { return rxQueue_.size(); }
    std::size_t ScriptedChunks() const { return script_.size(); }
    bool ReadPending() const { return read_.pending; }
    bool WritePending() const { return write_.pending; }
    bool EventWaitPending() const { return eventWait_.pending; }

    // The device is gone: pending work ends with ERROR_DEVICE_NOT_CONNECTED,
    // every later call on its port but CloseHandle fails with it, nothing more
    // arrives, and CreateFileA no longer finds it.
    void Hangup();

private:
    friend class SimCommApi;

    struct Chunk {
        std::string bytes;
        std::uint64_t notBeforeNs;
        std::uint64_t delayNs;
    };
    // One overlapped ReadFile, WriteFile or WaitCommEvent, kept after it ends
    // until GetOverlappedResult has had the chance to collect it.
    struct Overlapped {
        bool active = false;
        bool pending = false;
        win::OVERLAPPED* ov = nullptr;
        win::HANDLE event = 0;
        std::uint8_t* buffer = nullptr;
        win::DWORD* occurred = nullptr;
        win::DWORD wanted = 0;
        win::DWORD done = 0;
        win::DWORD status = 0;
    };

    explicit SimDevice(SimCommApi& api) : api_(api) {}

    // Lets everything due by nowNs arrive, feeding a pending read and ending a
    // pending event wait that it satisfies.
    void Pump(std::uint64_t nowNs);
    // When the next chunk will arrive, if one can arrive before someone reads.
    std::optional<std::uint64_t> NextArrivalNs() const;
    // Takes up to `count` queued bytes into `destination`.
    win::DWORD TakeQueued(std::uint8_t* destination, win::DWORD count, std::uint64_t nowNs);
    void FeedPendingRead(std::uint64_t nowNs);
    win::DWORD ReadyEvents() const;
    void Finish(Overlapped& op, win::DWORD status);
    void EndEventWait(win::DWORD occurred);
    Overlapped* Find(const win::OVERLAPPED* ov);
    void Forget(const win::OVERLAPPED* ov);
    bool BindsEvent(win::HANDLE event) const;
    void Purge(win::DWORD flags, std::uint64_t nowNs);
    void Record(std::string_view bytes);
    void OnOpen();
    void OnClose();

    SimCommApi& api_;
    std::deque<Chunk> script_;
    std::string rxQueue_;
    std::uint64_t emptySinceNs_ = 0;
    std::uint64_t lastArrivalNs_ = 0;
    std::string written_;
    std::vector<std::string> writes_;
    bool stalled_ = false;
    std::uint32_t accept_ = 0;
    std::uint32_t outQueue_ = 0;
    std::uint32_t lineErrors_ = 0;
    std::uint32_t readLineErrors_ = 0;
    std::uint32_t modemStatus_ = 0;
    bool dtr_ = false;
    bool rts_ = false;
    bool break_ = false;
    win::DCB dcb_{};
    std::uint32_t inQueueSize_ = 0;
    win::COMMTIMEOUTS timeouts_{};
    std::uint32_t commMask_ = 0;
    bool open_ = false;
    bool gone_ = false;
    Overlapped read_;
    Overlapped write_;
    Overlapped eventWait_;
};

class SimCommApi final : public win::CommApi {
public:
    SimCommApi();
    SimCommApi(const SimCommApi&) = delete;
    SimCommApi& operator=(const SimCommApi&) = delete;
    ~SimCommApi() override = default;

    // CreateFileA of exactly this name opens it. Names are unique.
    SimDevice& AddDevice(const std::string& name);
    // Throws std::out_of_range for a name never added.
    SimDevice& Device(const std::string& name);
    // CreateFileA of the name fails with this code (e.g. 5 for a port held
    // elsewhere) until it is set back to 0.
    void SetOpenError(const std::string& name, win::DWORD code);

    // The next `times` calls of the function named as Win32 names it fail with
    // FALSE (INVALID_HANDLE_VALUE, 0 or WAIT_FAILED) and last error `code`,
    // doing nothing else; -1 fails every call, 0 ends an injection. A name
    // that cannot fail throws std::invalid_argument, so a typo is not silent.
    void FailCall(const std::string& function, win::DWORD code, int times = 1);

    // Every call made, in order: the name and its scalar arguments in decimal,
    // e.g. "SetupComm(4096,0)", "WriteFile(3)" (the count asked for),
    // "WaitForSingleObject(port,1000)", "CloseHandle(event)" (a handle that is
    // neither shows as its number), "GetOverlappedResult(1)". Pointer-only
    // calls show the bare name ("ClearCommError"). The clock reads
    // (QueryPerformance*, GetTickCount) and PlatformId are left out.
    const std::vector<std::string>& Calls() const { return calls_; }
    void ClearCalls() { calls_.clear(); }
    std::vector<std::string> CallsOf(const std::string& prefix) const;

    // The virtual clock, in nanoseconds. Waits and Sleep move it; so does each
    // ReadPortByte, by a small cost, so that a poll loop on the UART ends.
    void SetNowNs(std::uint64_t ns) { nowNs_ = ns; }
    std::uint64_t NowNs() const { return nowNs_; }
    void AdvanceMs(std::uint32_t ms);
    // Without a counter QueryPerformanceFrequency and QueryPerformanceCounter
    // fail (leaving the last error alone, as the clock is read between calls).
    void SetPerformanceCounter(bool present, std::int64_t frequency = 1'000'000'000);
    // GetTickCount answers `ms` now and counts on with the clock from here;
    // until this is called it is the clock in milliseconds, low 32 bits.
    void SetTickCount(std::uint32_t ms);
    void SetPlatformId(win::DWORD id) { platformId_ = id; }
    // Answered by EscapeCommFunction(GETBASEADDRESS) outside the NT family, in
    // bits 32 to 47 beside TRUE; on the NT family that code fails with 87.
    void SetUartBase(win::WORD address) { uartBase_ = address; }
    // What ReadPortByte answers for the port (0xFF, a floating bus, unless set).
    void SetPortByte(win::WORD port, win::BYTE value) { SetPortBytes(port, {value}); }
    // One value per read, in order; the last one then stays.
    void SetPortBytes(win::WORD port, std::vector<win::BYTE> values);
    void SetPortReadCostNs(std::uint64_t ns) { portReadCostNs_ = ns; }
    // The FormatMessageA text of a code; 2, 5, 6, 87, 995 and 1167 come with
    // Windows' wording and its trailing "\r\n".
    void SetMessage(win::DWORD code, std::string text);

    // CommApi
    void SetLastError(win::DWORD code) override;
    win::DWORD GetLastError() override;
    win::HANDLE CreateFileA(const char* name, win::DWORD access, win::DWORD shareMode,
                            win::DWORD creation, win::DWORD flagsAndAttributes) override;
    win::BOOL CloseHandle(win::HANDLE handle) override;
    win::BOOL ReadFile(win::HANDLE file, void* buffer, win::DWORD toRead, win::DWORD* read,
                       win::OVERLAPPED* overlapped) override;
    win::BOOL WriteFile(win::HANDLE file, const void* buffer, win::DWORD toWrite,
                        win::DWORD* written, win::OVERLAPPED* overlapped) override;
    win::BOOL GetOverlappedResult(win::HANDLE file, win::OVERLAPPED* overlapped,
                                  win::DWORD* transferred, win::BOOL wait) override;
    win::DWORD WaitForSingleObject(win::HANDLE handle, win::DWORD milliseconds) override;
    win::HANDLE CreateEventA(win::BOOL manualReset, win::BOOL initialState) override;
    win::BOOL SetupComm(win::HANDLE file, win::DWORD inQueue, win::DWORD outQueue) override;
    win::BOOL SetCommTimeouts(win::HANDLE file, const win::COMMTIMEOUTS* timeouts) override;
    win::BOOL SetCommState(win::HANDLE file, const win::DCB* dcb) override;
    win::BOOL GetCommState(win::HANDLE file, win::DCB* dcb) override;
    win::BOOL SetCommMask(win::HANDLE file, win::DWORD mask) override;
    win::BOOL WaitCommEvent(win::HANDLE file, win::DWORD* occurred,
                            win::OVERLAPPED* overlapped) override;
    win::BOOL ClearCommError(win::HANDLE file, win::DWORD* errors, win::COMSTAT* stat) override;
    win::BOOL PurgeComm(win::HANDLE file, win::DWORD flags) override;
    std::uint64_t EscapeCommFunction(win::HANDLE file, win::DWORD function) override;
    win::BOOL GetCommModemStatus(win::HANDLE file, win::DWORD* status) override;
    win::BOOL SetCommBreak(win::HANDLE file) override;
    win::BOOL ClearCommBreak(win::HANDLE file) override;
    win::BOOL FlushFileBuffers(win::HANDLE file) override;
    win::DWORD FormatMessageA(win::DWORD flags, win::DWORD messageId, win::DWORD languageId,
                              char* buffer, win::DWORD size) override;
    win::BOOL QueryPerformanceFrequency(std::int64_t* frequency) override;
    win::BOOL QueryPerformanceCounter(std::int64_t* count) override;
    win::DWORD GetTickCount() override;
    void Sleep(win::DWORD milliseconds) override;
    win::DWORD PlatformId() override { return platformId_; }
    win::BYTE ReadPortByte(win::WORD port) override;

private:
    friend class SimDevice;

    struct Event {
        bool manualReset;
        bool signalled;
    };
    struct Injection {
        win::DWORD code;
        int remaining;
    };

    void Log(std::string call) { calls_.push_back(std::move(call)); }
    std::string HandleText(win::HANDLE handle) const;
    win::BOOL Fail(win::DWORD code);
    bool Injected(std::string_view function);
    // The open, present device behind a port handle, after the injection and
    // handle checks every port call makes; nullptr when the call has failed.
    SimDevice* Enter(std::string_view function, win::HANDLE handle);
    // Runs the clock on until done() holds or `milliseconds` have passed,
    // letting the device's chunks arrive on the way.
    win::DWORD RunUntil(SimDevice* device, const std::function<bool()>& done,
                        win::DWORD milliseconds);
    // Runs the clock on through every arrival still to come until done() holds.
    bool RunToEnd(SimDevice& device, const std::function<bool()>& done);
    void SignalEvent(win::HANDLE event);
    void ResetEvent(win::HANDLE event);
    win::HANDLE NewHandle();

    std::map<std::string, std::unique_ptr<SimDevice>> devices_;
    std::map<std::string, win::DWORD> openErrors_;
    std::map<win::HANDLE, SimDevice*> ports_;
    std::map<win::HANDLE, Event> events_;
    win::HANDLE nextHandle_ = 4;
    std::map<std::string, Injection, std::less<>> injections_;
    std::vector<std::string> calls_;
    win::DWORD lastError_ = 0;
    std::uint64_t nowNs_ = 0;
    bool counterPresent_ = true;
    std::int64_t frequency_ = 1'000'000'000;
    std::optional<std::uint32_t> tickBase_;
    std::uint64_t tickBaseNs_ = 0;
    win::DWORD platformId_ = win::VER_PLATFORM_WIN32_NT;
    win::WORD uartBase_ = 0;
    std::map<win::WORD, std::deque<win::BYTE>> portBytes_;
    std::uint64_t portReadCostNs_ = 1'000'000;
    std::map<win::DWORD, std::string> messages_;
};

} // namespace tarvik::sim
