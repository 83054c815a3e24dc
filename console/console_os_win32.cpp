// The console on Windows: the Win32 console calls, the report in the OEM
// code page, the module found by address.
#include "console/console_os.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace tarvik::console {

namespace {

// Fetched once, at start, as the cursor calls expect.
HANDLE OutputHandle()
{
    static const HANDLE handle = ::GetStdHandle(STD_OUTPUT_HANDLE);
    return handle;
}

} // namespace

void InitConsoleStreams()
{
    // The dialogue writes CR LF itself and strips it from answers; text mode
    // would double the CR on output.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    OutputHandle();
}

int ConsoleRows()
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return -1;
    return info.dwSize.Y;
}

void MoveConsoleCursor(std::int16_t column, std::int16_t row)
{
    ::SetConsoleCursorPosition(OutputHandle(), COORD{column, row});
}

void WriteErrorOutput(const std::string& ansiText)
{
    std::string text = ansiText;
    // Converts in place; ANSI and OEM texts have the same length.
    ::CharToOemA(text.c_str(), text.data());
    const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    std::size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(text.size() - done);
        if (!::WriteFile(error, text.data() + done, chunk, &written, nullptr) || written == 0)
            break;
        done += written;
    }
}

std::string ModuleFileName()
{
    char path[MAX_PATH + 1];
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return "tarvik.exe";
    const std::string full(path, length);
    return full.substr(full.find_last_of("\\/") + 1);
}

std::uintptr_t ModuleOffset(const void* address)
{
    HMODULE module = nullptr;
    constexpr DWORD kByAddress =
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
    if (address == nullptr ||
        !::GetModuleHandleExA(kByAddress, static_cast<LPCSTR>(address), &module))
        return reinterpret_cast<std::uintptr_t>(address);
    return reinterpret_cast<std::uintptr_t>(address) - reinterpret_cast<std::uintptr_t>(module);
}

} // namespace tarvik::console
