// Stream throughput through one pseudo-terminal, both ways: TBlockSerial's
// SendStreamSized and ReadStreamSized on the slave against a plain byte copy
// and Python's serial module on the same pair, each checked byte for byte at
// the far end. The TBlockSerial side runs as a process of its own (this
// program again, with --role), so that its peak memory is its own.
//
// stream_throughput [--mib N] [--rounds R]   N MiB per speed run (default 256), R rounds (2)
#include "bench/stream_transfer.h"
#include "serial/block_serial.h"

#include <climits>
#include <functional>

namespace {

using namespace tarvik::bench;

constexpr int kSegmentTimeoutMs = 10'000;
constexpr std::int64_t kMiB = 1024 * 1024;

// --- the TBlockSerial side, in its own process ---------------------------

std::unique_ptr<tarvik::TBlockSerial> OpenPort(const std::string& port)
{
    auto serial = std::make_unique<tarvik::TBlockSerial>();
    serial->RaiseExcept = true;
    serial->Open(port);
    serial->Configure(921600, 8, 'N', 0, false, false);
    return serial;
}

int ComponentRole(const std::string& role, const std::string& port, std::int64_t bytes)
{
    auto serial = OpenPort(port);
    LineReader parent(STDIN_FILENO);
    if (role == "send") {
        PatternStream stream(bytes);
        serial->SendStreamSized(stream);
        std::printf("sent\n");
        std::fflush(stdout);
        // Closing purges what the reader has not taken yet: wait for its word.
        parent.Next(120'000, "reader's word");
    } else if (role == "receive") {
        std::printf("ready\n");
        std::fflush(stdout);
        CheckingStream sink;
        serial->ReadStreamSized(sink, kSegmentTimeoutMs);
        std::printf("%lld %llu %.3f\n", static_cast<long long>(sink.Position()),
                    static_cast<unsigned long long>(sink.Checker().Mismatches()),
                    sink.Meter().MegabytesPerSecond());
    } else if (role == "idle") {
        std::printf("0 0 0\n");
    }
    std::fflush(stdout);
    return 0;
}

std::string OwnPath()
{
    char path[PATH_MAX] = {};
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        throw SystemError("readlink /proc/self/exe");
    return std::string(path, static_cast<std::size_t>(length));
}

// --- the runs --------------------------------------------------------------

Outcome ComponentSends(const PtyPair& pty, std::uint64_t bytes)
{
    Pipe toChild;
    Pipe fromChild;
    ChildProcess child =
        ChildProcess::Spawn({OwnPath(), "--role", "send", pty.SlavePath(), std::to_string(bytes)},
                            toChild.Read.Get(), fromChild.Write.Get());
    toChild.Read.Reset();
    fromChild.Write.Reset();
    Outcome outcome = ReadPattern(pty.Master(), bytes, true);
    LineReader output(fromChild.Read.Get());
    if (output.Next(10'000, "sender") != "sent")
        throw std::runtime_error("sender did not finish");
    WriteAll(toChild.Write.Get(), "done\n", 5, "sender input");
    rusage usage{};
    if (child.Wait(10'000, &usage) != 0)
        throw std::runtime_error("sender failed");
    outcome.PeakKiB = usage.ru_maxrss;
    return outcome;
}

Outcome ComponentReceives(const PtyPair& pty, std::uint64_t bytes, const std::string& role)
{
    Pipe fromChild;
    ChildProcess child =
        ChildProcess::Spawn({OwnPath(), "--role", role, pty.SlavePath(), std::to_string(bytes)}, -1,
                            fromChild.Write.Get());
    fromChild.Write.Reset();
    LineReader output(fromChild.Read.Get());
    if (role == "receive") {
        if (output.Next(10'000, "receiver") != "ready")
            throw std::runtime_error("receiver not ready");
        WritePattern(pty.Master(), bytes, true);
    }
    Outcome outcome = ParseReport(output.Next(60'000, "receiver's report"), bytes);
    rusage usage{};
    if (child.Wait(10'000, &usage) != 0)
        throw std::runtime_error("receiver failed");
    outcome.PeakKiB = usage.ru_maxrss;
    return outcome;
}

Outcome PlainCopy(int from, int to, std::uint64_t bytes)
{
    ChildProcess writer = ChildProcess::Fork([&] {
        WritePattern(from, bytes, false);
        return 0;
    });
    Outcome outcome = ReadPattern(to, bytes, false);
    if (writer.Wait(10'000) != 0)
        throw std::runtime_error("plain writer failed");
    return outcome;
}

constexpr char kPythonPeer[] = R"(
import struct, sys, time, serial
mode, path, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
base = bytes(((j * 167 + (j >> 8) * 13 + 91) & 0xFF) for j in range(8192))
def block(k):
    return struct.pack("<Q", k) + base[8:]
port = serial.Serial(path, 921600, timeout=10, write_timeout=10)
if mode == "send":
    port.write(struct.pack("<I", n))
    k, left = 0, n
    while left > 0:
        piece = min(left, 8192)
        port.write(block(k)[:piece])
        left -= piece
        k += 1
    print("sent", flush=True)
    sys.stdin.readline()
else:
    print("ready", flush=True)
    head = port.read(4)
    if len(head) != 4 or struct.unpack("<I", head)[0] != n:
        sys.exit("bad length prefix")
    total = bad = k = first = last = first_bytes = 0
    while total < n:
        piece = port.read(min(n - total, 8192))
        if not piece:
            sys.exit("timed out")
        now = time.perf_counter_ns()
        if total == 0:
            first, first_bytes = now, len(piece)
        last = now
        if piece != block(k)[:len(piece)]:
            bad += 1
        total += len(piece)
        k += 1
    rate = (total - first_bytes) / 1e6 / ((last - first) / 1e9) if last > first else 0
    print(total, bad, rate, flush=True)
port.close()
)";

Outcome PythonSends(const PtyPair& pty, std::uint64_t bytes)
{
    Pipe toChild;
    Pipe fromChild;
    ChildProcess python = ChildProcess::Spawn(
        {"/usr/bin/python3", "-c", kPythonPeer, "send", pty.SlavePath(), std::to_string(bytes)},
        toChild.Read.Get(), fromChild.Write.Get());
    toChild.Read.Reset();
    fromChild.Write.Reset();
    Outcome outcome = ReadPattern(pty.Master(), bytes, true);
    LineReader output(fromChild.Read.Get());
    if (output.Next(10'000, "python sender") != "sent")
        throw std::runtime_error("python sender did not finish");
    WriteAll(toChild.Write.Get(), "done\n", 5, "python input");
    if (python.Wait(10'000) != 0)
        throw std::runtime_error("python sender failed");
    return outcome;
}

Outcome PythonReceives(const PtyPair& pty, std::uint64_t bytes)
{
    Pipe fromChild;
    ChildProcess python = ChildProcess::Spawn(
        {"/usr/bin/python3", "-c", kPythonPeer, "receive", pty.SlavePath(), std::to_string(bytes)},
        -1, fromChild.Write.Get());
    fromChild.Write.Reset();
    LineReader output(fromChild.Read.Get());
    if (output.Next(10'000, "python receiver") != "ready")
        throw std::runtime_error("python receiver not ready");
    WritePattern(pty.Master(), bytes, true);
    Outcome outcome = ParseReport(output.Next(120'000, "python report"), bytes);
    if (python.Wait(10'000) != 0)
        throw std::runtime_error("python receiver failed");
    return outcome;
}

struct Method {
    const char* Who;
    const char* Way;
    std::function<Outcome(std::uint64_t)> Run;
    std::vector<Outcome> Rounds;

    Outcome Best() const
    {
        Outcome best = Rounds.front();
        for (const Outcome& outcome : Rounds) {
            best.Rate = std::max(best.Rate, outcome.Rate);
            best.Intact = best.Intact && outcome.Intact;
            best.PeakKiB = std::max(best.PeakKiB, outcome.PeakKiB);
        }
        return best;
    }
};

void PrintRow(const std::string& round, const char* who, const char* way, std::uint64_t bytes,
              const Outcome& outcome)
{
    std::printf("  %-5s %-30s %-4s %5llu %8.1f %7s", round.c_str(), who, way,
                static_cast<unsigned long long>(bytes / kMiB), outcome.Rate,
                outcome.Intact ? "yes" : "NO");
    if (outcome.PeakKiB >= 0)
        std::printf(" %9.2f", static_cast<double>(outcome.PeakKiB) / 1024.0);
    std::printf("\n");
    std::fflush(stdout);
}

// Prints the best rounds and the verdicts; true when every transfer was intact.
bool PrintSummary(const std::vector<Method>& methods, const Outcome& smallOut,
                  const Outcome& smallIn, std::uint64_t big, std::uint64_t small)
{
    const std::size_t rounds = methods.front().Rounds.size();
    std::printf("\n  best of %zu rounds:\n", rounds);
    bool intact = smallOut.Intact && smallIn.Intact;
    for (const Method& method : methods) {
        PrintRow("", method.Who, method.Way, big, method.Best());
        intact = intact && method.Best().Intact;
    }
    const Outcome componentOut = methods[1].Best();
    const Outcome componentIn = methods[4].Best();
    const double outShare = componentOut.Rate / methods[0].Best().Rate;
    const double inShare = componentIn.Rate / methods[3].Best().Rate;
    std::printf(
        "\n  TBlockSerial / plain copy: out %.0f%%, in %.0f%%   target: at least 80%%: %s\n",
        100 * outShare, 100 * inShare, outShare >= 0.8 && inShare >= 0.8 ? "met" : "MISSED");
    std::printf("  per round:");
    for (std::size_t round = 0; round < rounds; ++round)
        std::printf(" out %.0f%% in %.0f%%;",
                    100 * methods[1].Rounds[round].Rate / methods[0].Rounds[round].Rate,
                    100 * methods[4].Rounds[round].Rate / methods[3].Rounds[round].Rate);
    std::printf("\n  TBlockSerial / Python: out %.2fx, in %.2fx\n",
                componentOut.Rate / methods[2].Best().Rate,
                componentIn.Rate / methods[5].Best().Rate);
    const long peak =
        std::max({componentOut.PeakKiB, componentIn.PeakKiB, smallOut.PeakKiB, smallIn.PeakKiB});
    const long growth =
        std::max(componentOut.PeakKiB - smallOut.PeakKiB, componentIn.PeakKiB - smallIn.PeakKiB);
    std::printf("  peak memory: at most %.2f MiB, %+.2f MiB from %llu to %llu MiB   target: "
                "under 8 MiB, constant: %s\n",
                static_cast<double>(peak) / 1024.0, static_cast<double>(growth) / 1024.0,
                static_cast<unsigned long long>(small / kMiB),
                static_cast<unsigned long long>(big / kMiB),
                peak < 8 * 1024 && growth < 256 ? "met" : "MISSED");
    std::printf("  every transfer intact: %s\nload average after: %s\n", intact ? "yes" : "NO",
                LoadAverage().c_str());
    return intact;
}

int Run(std::uint64_t big, int rounds)
{
    PtyPair pty;
    // Writers and readers here give up after a bounded wait instead of blocking.
    SetNonBlocking(pty.Master());
    SetNonBlocking(pty.Anchor());
    const std::uint64_t small = 16 * kMiB;

    std::vector<Method> methods = {
        {"plain copy",
         "out",
         [&](std::uint64_t n) { return PlainCopy(pty.Anchor(), pty.Master(), n); },
         {}},
        {"TBlockSerial SendStreamSized",
         "out",
         [&](std::uint64_t n) { return ComponentSends(pty, n); },
         {}},
        {"Python serial module", "out", [&](std::uint64_t n) { return PythonSends(pty, n); }, {}},
        {"plain copy",
         "in",
         [&](std::uint64_t n) { return PlainCopy(pty.Master(), pty.Anchor(), n); },
         {}},
        {"TBlockSerial ReadStreamSized",
         "in",
         [&](std::uint64_t n) { return ComponentReceives(pty, n, "receive"); },
         {}},
        {"Python serial module", "in", [&](std::uint64_t n) { return PythonReceives(pty, n); }, {}},
    };

    std::printf("Stream throughput through one pseudo-terminal, %d rounds; out: slave to master, "
                "in: master to slave\nload average before: %s\n\n",
                rounds, LoadAverage().c_str());
    std::printf("  %-5s %-30s %-4s %5s %8s %7s %9s\n", "round", "client on the slave", "way", "MiB",
                "MB/s", "intact", "peak MiB");
    // Rounds take turns so that a change of load on the machine falls on
    // every client alike; the best round of each is the least disturbed one.
    for (int round = 1; round <= rounds; ++round)
        for (Method& method : methods) {
            method.Rounds.push_back(method.Run(big));
            PrintRow(std::to_string(round), method.Who, method.Way, big, method.Rounds.back());
        }
    const Outcome smallOut = ComponentSends(pty, small);
    PrintRow("", "TBlockSerial SendStreamSized", "out", small, smallOut);
    const Outcome smallIn = ComponentReceives(pty, small, "receive");
    PrintRow("", "TBlockSerial ReadStreamSized", "in", small, smallIn);
    const Outcome idle = ComponentReceives(pty, 0, "idle");
    std::printf("  %-5s %-30s %-4s %5s %8s %7s %9.2f\n", "", "TBlockSerial open, no transfer", "-",
                "0", "-", "-", static_cast<double>(idle.PeakKiB) / 1024.0);

    return PrintSummary(methods, smallOut, smallIn, big, small) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        if (argc == 5 && std::string(argv[1]) == "--role")
            return ComponentRole(argv[2], argv[3], std::atoll(argv[4]));
        std::uint64_t mib = 256;
        int rounds = 2;
        for (int i = 1; i + 1 < argc; i += 2) {
            const std::string option = argv[i];
            if (option == "--mib")
                mib = static_cast<std::uint64_t>(std::clamp(std::atoll(argv[i + 1]), 16LL, 1024LL));
            else if (option == "--rounds")
                rounds = std::clamp(std::atoi(argv[i + 1]), 1, 5);
        }
        return Run(mib * kMiB, rounds);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "stream_throughput: %s\n", error.what());
        return 1;
    }
}
