// A TBlockSerial opened on a simulated port whose device plays a chunk script,
// and the bookkeeping to see which of the script's bytes the component took.
#pragma once

#include "fuzz_input.h"
#include "platform/sim/sim_comm.h"
#include "serial/block_serial.h"

#include <string>
#include <vector>

namespace tarvik::fuzz {

class SimPort {
public:
    explicit SimPort(const std::vector<Chunk>& chunks);

    TBlockSerial& Serial() { return FSerial; }
    bool Opened() const { return FOpened; }
    // Bytes the component has read from the device so far.
    std::size_t TakenBytes() const;
    // All the script's bytes in the order they are sent.
    const std::string& Script() const { return FScript; }
    // Milliseconds since the script started.
    std::int64_t NowMs() const;
    // Drops the sim's record of calls, which nothing here reads and which
    // would otherwise grow with every read.
    void ForgetCalls() { FApi.ClearCalls(); }

private:
    sim::SimCommApi FApi;
    sim::SimDevice& FDevice;
    TBlockSerial FSerial{FApi};
    std::vector<std::size_t> FEnds; // FScript's size after each chunk
    std::string FScript;
    std::uint64_t FStartNs = 0;
    bool FOpened = false;
};

} // namespace tarvik::fuzz
