// CPU time that ModemCommand spends while it waits AtTimeout (1000 ms) for a
// device that never answers: the wait must sleep in the kernel, not poll.
//
// idle_wait [--waits N]
#include "bench/bench_support.h"
#include "serial/block_serial.h"

namespace {

using namespace tarvik::bench;

double CpuMillis()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto millis = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) * 1000.0 +
               static_cast<double>(time.tv_usec) / 1000.0;
    };
    return millis(usage.ru_utime) + millis(usage.ru_stime);
}

// The same total at nanosecond resolution, as a cross-check.
double ClockCpuMillis()
{
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
}

int Run(int waits)
{
    // Nobody reads or writes the master: the command goes unanswered.
    PtyPair pty;
    tarvik::TBlockSerial serial;
    serial.RaiseExcept = false;
    serial.AtTimeout = 1000;
    serial.Open(pty.SlavePath());
    serial.Configure(115200, 8, 'N', 0, false, false);
    if (serial.LastErrorCode() != tarvik::seOK)
        throw std::runtime_error("open: " + serial.LastErrorText());

    std::printf("Idle wait: ModemCommand(\"AT\") against a silent device, AtTimeout 1000 ms\n");
    std::printf("load average before: %s\n\n", LoadAverage().c_str());
    std::printf("  %5s %10s %16s %16s %6s\n", "wait", "wall ms", "getrusage cpu ms", "clock cpu ms",
                "code");
    double worst = 0;
    for (int i = 1; i <= waits; ++i) {
        const double cpuBefore = CpuMillis();
        const double clockBefore = ClockCpuMillis();
        const std::int64_t start = NowNanos();
        serial.ModemCommand("AT");
        const double wall = static_cast<double>(NowNanos() - start) / 1e6;
        const double cpu = CpuMillis() - cpuBefore;
        const double clockCpu = ClockCpuMillis() - clockBefore;
        worst = std::max({worst, cpu, clockCpu});
        std::printf("  %5d %10.1f %16.3f %16.3f %6d\n", i, wall, cpu, clockCpu,
                    serial.LastErrorCode());
        if (serial.LastErrorCode() != tarvik::seTimeout)
            throw std::runtime_error("expected a time-out, got " + serial.LastErrorText());
    }
    std::printf("\n  worst %.3f ms of CPU per 1000 ms wait   target: under 2 ms: %s\n", worst,
                worst < 2.0 ? "met" : "MISSED");
    std::printf("load average after: %s\n", LoadAverage().c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    int waits = 5;
    if (argc == 3 && std::string(argv[1]) == "--waits")
        waits = std::clamp(std::atoi(argv[2]), 1, 30);
    try {
        return Run(waits);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "idle_wait: %s\n", error.what());
        return 1;
    }
}
