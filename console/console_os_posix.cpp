// The console on Linux: a terminal reached through escape sequences, the
// report in UTF-8, the module found through the dynamic loader.
#include "console/console_os.h"
#include "console/error_report.h"

#include <dlfcn.h>
#include <limits.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace tarvik::console {

void InitConsoleStreams() {}

int ConsoleRows()
{
    winsize size{};
    if (!isatty(STDOUT_FILENO) || ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0)
        return -1;
    return size.ws_row;
}

void MoveConsoleCursor(std::int16_t column, std::int16_t row)
{
    if (!isatty(STDOUT_FILENO))
        return;
    std::fprintf(stdout, "\x1b[%d;%dH", row + 1, column + 1);
    std::fflush(stdout);
}

void WriteErrorOutput(const std::string& ansiText)
{
    const std::string text = Cp1251ToUtf8(ansiText);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
}

std::string ModuleFileName()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "tarvik";
    const std::string full(path, static_cast<std::size_t>(n));
    return full.substr(full.find_last_of('/') + 1);
}

std::uintptr_t ModuleOffset(const void* address)
{
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fbase == nullptr)
        return reinterpret_cast<std::uintptr_t>(address);
    return reinterpret_cast<std::uintptr_t>(address) -
           reinterpret_cast<std::uintptr_t>(info.dli_fbase);
}

} // namespace tarvik::console
