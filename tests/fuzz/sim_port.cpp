#include "sim_port.h"

namespace tarvik::fuzz {

namespace {

constexpr std::uint64_t kNsPerMs = 1'000'000;

} // namespace

SimPort::SimPort(const std::vector<Chunk>& chunks) : FDevice(FApi.AddDevice("\\\\.\\COM3"))
{
    FSerial.Open("COM3");
    FOpened = FSerial.PortOpen();
    // Half a millisecond past a whole one, so that whole-millisecond delays
    // never sit on the edge of the tick's truncation. The script is sent
    // after Open, whose purge would take a chunk that is due at once.
    FStartNs = (FApi.NowNs() / kNsPerMs + 1) * kNsPerMs + kNsPerMs / 2;
    FApi.SetNowNs(FStartNs);
    for (const Chunk& chunk : chunks) {
        FDevice.Send(chunk.Bytes, chunk.DelayMs);
        FScript += chunk.Bytes;
        FEnds.push_back(FScript.size());
    }
}

std::size_t SimPort::TakenBytes() const
{
    const std::size_t arrived = FEnds.size() - FDevice.ScriptedChunks();
    const std::size_t delivered = arrived == 0 ? 0 : FEnds[arrived - 1];
    return delivered - FDevice.QueuedBytes();
}

std::int64_t SimPort::NowMs() const
{
    return static_cast<std::int64_t>((FApi.NowNs() - FStartNs) / kNsPerMs);
}

} // namespace tarvik::fuzz
