// Two pseudo-terminals joined like a null-modem cable: whatever is written to
// one slave arrives at the other. A relay thread copies between the masters.
#pragma once

#include <atomic>
#include <string>
#include <thread>

namespace tarvik::testing {

class NullModem {
public:
    NullModem();
    ~NullModem();
    NullModem(const NullModem&) = delete;
    NullModem& operator=(const NullModem&) = delete;

    const std::string& FirstPath() const { return FPaths[0]; }
    const std::string& SecondPath() const { return FPaths[1]; }

private:
    void Relay();

    int FMasters[2] = {-1, -1};
    int FSlaveKeepers[2] = {-1, -1};
    int FStopPipe[2] = {-1, -1};
    std::string FPaths[2];
    std::thread FThread;
};

} // namespace tarvik::testing
