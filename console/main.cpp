// tarvik: an AT-command terminal on a serial port.
#include "console/console_io.h"
#include "console/console_os.h"
#include "console/dialogue.h"
#include "console/error_report.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// What the run-time does with an error that nothing caught: the report on
// standard error, then exit status 1. The serial object is already freed.
[[noreturn]] void EndWithReport(const char* className, const void* address,
                                const std::string& message)
{
    std::fflush(stdout);
    using namespace tarvik::console;
    const std::string report =
        ComposeErrorReport(className, ModuleFileName(), ModuleOffset(address), message);
    WriteErrorOutput(report + "\r\n");
    std::exit(1);
}

} // namespace

int main()
{
    using namespace tarvik;
    console::InitConsoleStreams();
    try {
        win::CommApi& api = win::NativeCommApi();
        console::ConsoleIo io(stdin, stdout);
        // Freed exactly once, on either ending of the run, before the report.
        auto serial = std::make_unique<TBlockSerial>(api);
        serial->RaiseExcept = true;
        console::Dialogue(*serial, io, api).Run();
        serial.reset();
        std::fflush(stdout);
        return 0;
    } catch (const EKorloSerError& error) {
        EndWithReport("EKorloSerError", error.RaiseAddress, error.Message);
    } catch (const std::exception& error) {
        EndWithReport("Exception", nullptr, error.what());
    }
}
