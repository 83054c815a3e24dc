// Round trip of one AT command on a pseudo-terminal whose master side answers
// at once: TBlockSerial::ModemCommand against plain system calls on the same
// slave (the floor), a Python client using the serial module, and the tarvik
// program driven through its standard input and output.
//
// round_trip [--exchanges N] [--tarvik PATH]
#include "bench/bench_support.h"
#include "serial/block_serial.h"

#include <cstring>
#include <functional>
#include <iostream>
#include <sstream>

namespace {

using namespace tarvik::bench;

constexpr char kCommand[] = "AT\r";
constexpr char kAnswer[] = "AT\r\r\nOK\r\n"; // the echo, an empty line, OK
constexpr char kPrompt[] = "Please enter AT commnad:\r\n";
constexpr int kRounds = 4;
constexpr int kWarmUp = 50;
constexpr std::int64_t kAnswerWait = 2'000'000'000;

// The device: every CR that arrives is the end of an AT command.
int AnswerEveryCommand(int master)
{
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(master, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return 0;
        for (ssize_t i = 0; i < got; ++i)
            if (buffer[i] == '\r')
                WriteAll(master, kAnswer, sizeof kAnswer - 1, "device write");
    }
}

double MicrosSince(std::int64_t start)
{
    return static_cast<double>(NowNanos() - start) / 1000.0;
}

std::vector<double> ComponentRoundTrips(const std::string& path, int count)
{
    tarvik::TBlockSerial serial;
    serial.RaiseExcept = true;
    serial.Open(path);
    serial.Configure(115200, 8, 'N', 0, false, false);
    std::vector<double> samples;
    for (int i = 0; i < kWarmUp + count; ++i) {
        const std::int64_t start = NowNanos();
        const std::string answer = serial.ModemCommand("AT");
        const double micros = MicrosSince(start);
        if (answer != "\r\nOK\r\n" || !serial.CommandOk())
            throw std::runtime_error("ModemCommand: unexpected answer");
        if (i >= kWarmUp)
            samples.push_back(micros);
    }
    return samples;
}

std::vector<double> FloorRoundTrips(int slave, int count)
{
    std::vector<double> samples;
    std::string gathered;
    char buffer[256];
    for (int i = 0; i < kWarmUp + count; ++i) {
        const std::int64_t start = NowNanos();
        WriteAll(slave, kCommand, sizeof kCommand - 1, "floor write");
        gathered.clear();
        while (!gathered.ends_with("OK\r\n"))
            gathered.append(buffer, ReadSome(slave, buffer, sizeof buffer, start + kAnswerWait,
                                             "floor answer"));
        const double micros = MicrosSince(start);
        if (i >= kWarmUp)
            samples.push_back(micros);
    }
    return samples;
}

constexpr char kPythonClient[] = R"(
import sys, time, serial
path, count, warm = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
port = serial.Serial(path, 115200, timeout=1)
samples = []
for i in range(warm + count):
    start = time.perf_counter_ns()
    port.write(b"AT\r")
    while True:
        line = port.readline()
        if line == b"OK\r\n":
            break
        if not line:
            sys.exit("no answer")
    samples.append(time.perf_counter_ns() - start)
port.close()
print("\n".join(str(s) for s in samples[warm:]))
)";

std::vector<double> PythonRoundTrips(const std::string& path, int count)
{
    Pipe output;
    ChildProcess python = ChildProcess::Spawn({"/usr/bin/python3", "-c", kPythonClient, path,
                                               std::to_string(count), std::to_string(kWarmUp)},
                                              -1, output.Write.Get());
    output.Write.Reset();
    std::istringstream lines(ReadToEnd(output.Read.Get(), 60'000, "python client"));
    if (python.Wait(5000) != 0)
        throw std::runtime_error("python client failed");
    std::vector<double> samples;
    for (double nanos = 0; lines >> nanos;)
        samples.push_back(nanos / 1000.0);
    if (static_cast<int>(samples.size()) != count)
        throw std::runtime_error("python client: wrong number of samples");
    return samples;
}

// Reads the program's output up to and including its next command prompt.
std::string ReadToPrompt(int output, std::int64_t deadline)
{
    std::string text;
    char buffer[4096];
    while (!text.ends_with(kPrompt))
        text.append(buffer, ReadSome(output, buffer, sizeof buffer, deadline, "tarvik output"));
    return text;
}

std::vector<double> ProgramRoundTrips(const std::string& program, const std::string& slavePath,
                                      int count)
{
    TempDir ports;
    std::filesystem::create_symlink(slavePath, ports.Path() + "/COM7");
    Pipe input;
    Pipe output;
    ChildProcess tarvik = ChildProcess::Spawn({program}, input.Read.Get(), output.Write.Get(),
                                              {"TARVIK_PORTS=" + ports.Path()});
    input.Read.Reset();
    output.Write.Reset();

    const std::string setUp = "7\n9\n8\n"; // COM7, 115200 baud, 8 data bits
    WriteAll(input.Write.Get(), setUp.data(), setUp.size(), "tarvik input");
    ReadToPrompt(output.Read.Get(), NowNanos() + 5 * kAnswerWait);

    std::vector<double> samples;
    for (int i = 0; i < kWarmUp + count; ++i) {
        const std::int64_t start = NowNanos();
        WriteAll(input.Write.Get(), "AT\n", 3, "tarvik input");
        const std::string shown = ReadToPrompt(output.Read.Get(), start + kAnswerWait);
        const double micros = MicrosSince(start);
        if (shown.find("\r\nOK\r\n") == std::string::npos)
            throw std::runtime_error("tarvik: no OK in " + shown);
        if (i >= kWarmUp)
            samples.push_back(micros);
    }
    WriteAll(input.Write.Get(), "quit\ny\n", 7, "tarvik input");
    input.Write.Reset();
    if (tarvik.Wait(5000) != 0)
        throw std::runtime_error("tarvik did not exit with status 0");
    return samples;
}

struct Client {
    const char* Name;
    std::function<std::vector<double>(int)> Run;
    std::vector<double> Samples;
};

void PrintRow(const char* name, const Summary& summary)
{
    std::printf("  %-40s %7zu %10.1f %10.1f\n", name, summary.Count, summary.Median, summary.P99);
}

int Run(int exchanges, const std::string& program)
{
    PtyPair pty;
    ChildProcess device = ChildProcess::Fork([&] { return AnswerEveryCommand(pty.Master()); });

    std::vector<Client> clients = {
        {"(a) TBlockSerial::ModemCommand",
         [&](int n) { return ComponentRoundTrips(pty.SlavePath(), n); },
         {}},
        {"(b) floor: write/poll/read on the slave",
         [&](int n) { return FloorRoundTrips(pty.Anchor(), n); },
         {}},
        {"(c) Python serial module",
         [&](int n) { return PythonRoundTrips(pty.SlavePath(), n); },
         {}},
        {"(d) tarvik program, stdin/stdout",
         [&](int n) { return ProgramRoundTrips(program, pty.SlavePath(), n); },
         {}},
    };

    std::printf("Round trip: %s out, %s back; %d exchanges per client in %d interleaved rounds\n",
                "AT<CR>", "AT<CR><CR><LF>OK<CR><LF>", exchanges, kRounds);
    std::printf("load average before: %s\n", LoadAverage().c_str());
    // Rounds take turns so that a change of load on the machine falls on
    // every client alike.
    const int perRound = (exchanges + kRounds - 1) / kRounds;
    for (int round = 0; round < kRounds; ++round)
        for (Client& client : clients) {
            const std::vector<double> samples = client.Run(perRound);
            client.Samples.insert(client.Samples.end(), samples.begin(), samples.end());
        }

    std::printf("\n  %-40s %7s %10s %10s\n", "client", "count", "median us", "p99 us");
    std::vector<Summary> summaries;
    for (const Client& client : clients) {
        summaries.push_back(Summarize(client.Samples));
        PrintRow(client.Name, summaries.back());
    }
    const Summary& component = summaries[0];
    const Summary& floor = summaries[1];
    const Summary& python = summaries[2];
    const Summary& console = summaries[3];
    std::printf("\n  (a)/(b) median %.2fx, p99 %.2fx   target: median within 1.5x: %s\n",
                component.Median / floor.Median, component.P99 / floor.P99,
                component.Median <= 1.5 * floor.Median ? "met" : "MISSED");
    std::printf("  (a)/(c) median %.2fx, p99 %.2fx   target: median below Python: %s\n",
                component.Median / python.Median, component.P99 / python.P99,
                component.Median < python.Median ? "met" : "MISSED");
    std::printf("  (d)/(b) median %.2fx, p99 %.2fx\n", console.Median / floor.Median,
                console.P99 / floor.P99);
    std::printf("load average after: %s\n", LoadAverage().c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int exchanges = 2000;
    std::string program = TARVIK_CONSOLE_PATH;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--exchanges")
            exchanges = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--tarvik")
            program = argv[i + 1];
    }
    try {
        return Run(exchanges, program);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "round_trip: %s\n", error.what());
        return 1;
    }
}
