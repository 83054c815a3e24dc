// Rate limits: a TBlockSerial on a pseudo-terminal's slave sends for about
// five seconds under SetRateLimit(N), in sends of a tenth of N bytes and as a
// stream in 8192-byte segments; the master side times the start of each send
// as it arrives. A paced send waits until the one before it may have ended,
// so the rate is the sent bytes over the spacing of the sends.
//
// rate_limit [--seconds S]          S seconds per row (default 5)
#include "bench/stream_pattern.h"
#include "serial/block_serial.h"

namespace {

using namespace tarvik::bench;

struct Row {
    std::int32_t Limit; // bytes per second
    bool Stream;        // SendStreamBody rather than SendText
};

struct Measured {
    double WireRate = 0;   // bytes per second between the first and the last send's arrival
    double SenderRate = 0; // bytes per second until the limit lets the next send go
    bool Intact = false;
};

std::size_t SendSize(const Row& row)
{
    return row.Stream ? kBlock : static_cast<std::size_t>(row.Limit / 10);
}

// The child: paced sends of the pattern, then an empty send, which returns
// when the limit would let the next transfer start.
int PacedSender(const std::string& port, const Row& row, std::uint64_t total, int report, int word)
{
    tarvik::TBlockSerial serial;
    serial.RaiseExcept = true;
    serial.Open(port);
    serial.Configure(115200, 8, 'N', 0, false, false);
    serial.SetRateLimit(row.Limit);
    const std::int64_t start = NowNanos();
    if (row.Stream) {
        PatternStream stream(static_cast<std::int64_t>(total));
        serial.SendStreamBody(stream);
    } else {
        const std::size_t size = SendSize(row);
        std::string piece(size, '\0');
        for (std::uint64_t offset = 0; offset < total; offset += size) {
            FillPattern(offset, piece.data(), size);
            serial.SendText(piece);
        }
    }
    serial.SendText("");
    const std::string elapsed = std::to_string(NowNanos() - start) + "\n";
    WriteAll(report, elapsed.data(), elapsed.size(), "report");
    // Closing purges what the reader has not taken yet: wait for its word.
    LineReader(word).Next(30'000, "reader's word");
    return 0;
}

Measured RunRow(const PtyPair& pty, const Row& row, double seconds)
{
    const std::size_t size = SendSize(row);
    const auto sends = static_cast<std::uint64_t>(
        std::max(2.0, std::round(seconds * row.Limit / static_cast<double>(size))));
    const std::uint64_t total = sends * size;
    Pipe report;
    Pipe word;
    ChildProcess sender = ChildProcess::Fork([&] {
        return PacedSender(pty.SlavePath(), row, total, report.Write.Get(), word.Read.Get());
    });
    report.Write.Reset();
    word.Read.Reset();

    // The moment each send's first byte came.
    std::vector<std::int64_t> starts;
    PatternChecker checker;
    std::vector<char> buffer(65536);
    std::uint64_t received = 0;
    while (received < total) {
        const std::size_t got = ReadSome(pty.Master(), buffer.data(), buffer.size(),
                                         NowNanos() + 10'000'000'000, "paced transfer");
        const std::int64_t now = NowNanos();
        for (std::uint64_t next = starts.size() * size; next < received + got; next += size)
            starts.push_back(now);
        checker.Check(buffer.data(), got);
        received += got;
    }
    const std::string elapsed = LineReader(report.Read.Get()).Next(30'000, "sender's report");
    WriteAll(word.Write.Get(), "done\n", 5, "sender's word");
    if (sender.Wait(10'000) != 0)
        throw std::runtime_error("sender failed");

    Measured measured;
    measured.Intact = received == total && checker.Mismatches() == 0;
    const auto spacing = static_cast<double>(starts.back() - starts.front()) / 1e9;
    measured.WireRate = static_cast<double>((starts.size() - 1) * size) / spacing;
    measured.SenderRate = static_cast<double>(total) / (std::stod(elapsed) / 1e9);
    return measured;
}

int Run(double seconds)
{
    PtyPair pty;
    SetNonBlocking(pty.Master());
    // 8192-byte segments at 2000 bytes/s would take four seconds each: too
    // few in a few seconds to give a rate.
    const Row rows[] = {
        {2000, false}, {20000, false}, {100000, false}, {20000, true}, {100000, true}};

    std::printf("Rate limit: SetRateLimit(N), about %.0f s per row\nload average before: %s\n\n",
                seconds, LoadAverage().c_str());
    std::printf("  %8s %-22s %12s %8s %12s %8s %7s\n", "N B/s", "sent as", "wire B/s", "dev",
                "sender B/s", "dev", "intact");
    double worst = 0;
    bool intact = true;
    for (const Row& row : rows) {
        const Measured measured = RunRow(pty, row, seconds);
        const double wire = measured.WireRate / row.Limit - 1;
        const double sender = measured.SenderRate / row.Limit - 1;
        worst = std::max({worst, std::abs(wire), std::abs(sender)});
        intact = intact && measured.Intact;
        const std::string how =
            row.Stream ? "SendStreamBody, 8192" : "SendText, " + std::to_string(SendSize(row));
        std::printf("  %8d %-22s %12.1f %+7.2f%% %12.1f %+7.2f%% %7s\n", row.Limit, how.c_str(),
                    measured.WireRate, 100 * wire, measured.SenderRate, 100 * sender,
                    measured.Intact ? "yes" : "NO");
        std::fflush(stdout);
    }
    std::printf("\n  worst deviation %.2f%%   target: within 2%%: %s\n", 100 * worst,
                worst <= 0.02 ? "met" : "MISSED");
    std::printf("load average after: %s\n", LoadAverage().c_str());
    return intact ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    double seconds = 5;
    if (argc == 3 && std::string(argv[1]) == "--seconds")
        seconds = std::clamp(std::atof(argv[2]), 1.0, 10.0);
    try {
        return Run(seconds);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "rate_limit: %s\n", error.what());
        return 1;
    }
}
