#include "win32/wine_host.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

namespace tarvik::wintest {

namespace {

// Wine's own exports in kernel32; absent on Windows.
using UnixFileNameFn = char*(__cdecl*)(const wchar_t*);

UnixFileNameFn WineUnixFileName()
{
    const HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    if (kernel == nullptr)
        return nullptr;
    void* const found =
        reinterpret_cast<void*>(::GetProcAddress(kernel, "wine_get_unix_file_name"));
    return reinterpret_cast<UnixFileNameFn>(found);
}

std::optional<std::string> UnixPathOf(const std::string& windowsPath)
{
    const UnixFileNameFn convert = WineUnixFileName();
    if (convert == nullptr)
        return std::nullopt;
    const std::wstring wide(windowsPath.begin(), windowsPath.end());
    char* const unixPath = convert(wide.c_str());
    if (unixPath == nullptr)
        return std::nullopt;
    std::string result = unixPath;
    ::HeapFree(::GetProcessHeap(), 0, unixPath);
    return result;
}

std::string& LastPeerError()
{
    static std::string error;
    return error;
}

// The peer script sits beside this file in the source tree.
std::string PeerScript()
{
    const std::string source = __FILE__;
    return source.substr(0, source.find_last_of("/\\") + 1) + "pty_peer.py";
}

std::optional<std::string> ReadWholeFile(const std::string& path)
{
    const HANDLE file =
        ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::string text;
    char chunk[256];
    DWORD got = 0;
    while (::ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
        text.append(chunk, got);
    ::CloseHandle(file);
    return text;
}

// Starts a program and lets it run on by itself.
bool Launch(std::string commandLine)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &info))
        return false;
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    return true;
}

} // namespace

bool UnderWine()
{
    return WineUnixFileName() != nullptr;
}

const std::string& PtyPeer::Error()
{
    return LastPeerError();
}

std::optional<PtyPeer> PtyPeer::Start(Mode mode)
{
    static std::atomic<int> serial{0};
    char folder[MAX_PATH + 1];
    if (::GetTempPathA(sizeof folder, folder) == 0) {
        LastPeerError() = "no temporary folder";
        return std::nullopt;
    }
    const std::string status = std::string(folder) + "tarvik-peer-" +
                               std::to_string(::GetCurrentProcessId()) + "-" +
                               std::to_string(::GetTickCount()) + "-" + std::to_string(++serial);
    const auto unixStatus = UnixPathOf(status);
    if (!unixStatus) {
        LastPeerError() = "not under Wine: the peer is a Linux program";
        return std::nullopt;
    }
    // Wine starts a Linux program as it starts a Windows one.
    const std::string command = "Z:\\usr\\bin\\python3 " + PeerScript() + " --status " +
                                *unixStatus +
                                (mode == Mode::Modem ? " --mode modem" : " --mode silent");
    if (!Launch(command)) {
        LastPeerError() = "cannot start " + command;
        return std::nullopt;
    }
    for (int waited = 0; waited < 5000; waited += 10) {
        if (const auto name = ReadWholeFile(status); name && name->starts_with("COM"))
            return PtyPeer(status, *name);
        ::Sleep(10);
    }
    LastPeerError() = "the peer named no port within 5 s: " + command;
    return std::nullopt;
}

PtyPeer::PtyPeer(std::string statusFile, std::string portName)
    : FStatusFile(std::move(statusFile)), FPortName(std::move(portName))
{
}

PtyPeer::PtyPeer(PtyPeer&& other) noexcept
    : FStatusFile(std::exchange(other.FStatusFile, {})), FPortName(std::move(other.FPortName))
{
}

PtyPeer& PtyPeer::operator=(PtyPeer&& other) noexcept
{
    if (this != &other) {
        Stop();
        FStatusFile = std::exchange(other.FStatusFile, {});
        FPortName = std::move(other.FPortName);
    }
    return *this;
}

PtyPeer::~PtyPeer()
{
    Stop();
}

// The peer sees its status file go, unlinks its port and ends.
void PtyPeer::Stop()
{
    if (!FStatusFile.empty())
        ::DeleteFileA(std::exchange(FStatusFile, {}).c_str());
}

namespace {

// One end of a pipe, closed when it goes.
struct PipeEnd {
    HANDLE Handle = nullptr;
    PipeEnd() = default;
    PipeEnd(const PipeEnd&) = delete;
    PipeEnd& operator=(const PipeEnd&) = delete;
    ~PipeEnd() { Close(); }
    void Close()
    {
        if (Handle != nullptr)
            ::CloseHandle(std::exchange(Handle, nullptr));
    }
};

// A pipe whose child end is inherited and whose own end is not.
bool MakePipe(PipeEnd& ours, PipeEnd& child, bool childReads)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return false;
    ours.Handle = childReads ? writeEnd : readEnd;
    child.Handle = childReads ? readEnd : writeEnd;
    return ::SetHandleInformation(ours.Handle, HANDLE_FLAG_INHERIT, 0) != 0;
}

void Drain(HANDLE from, std::string& into)
{
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(from, chunk, sizeof chunk, &got, nullptr) && got > 0)
        into.append(chunk, got);
}

} // namespace

ProcessResult RunProgram(const std::string& program, const std::string& input,
                         std::uint32_t timeoutMs)
{
    ProcessResult result;
    PipeEnd inputOurs, inputChild, outputOurs, outputChild, errorOurs, errorChild;
    if (!MakePipe(inputOurs, inputChild, true) || !MakePipe(outputOurs, outputChild, false) ||
        !MakePipe(errorOurs, errorChild, false))
        return result;

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inputChild.Handle;
    startup.hStdOutput = outputChild.Handle;
    startup.hStdError = errorChild.Handle;
    PROCESS_INFORMATION info{};
    std::string commandLine = "\"" + program + "\"";
    if (!::CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                          nullptr, &startup, &info))
        return result;
    result.Started = true;
    ::CloseHandle(info.hThread);
    // Only the child holds its ends now, so our reads see the end of output.
    inputChild.Close();
    outputChild.Close();
    errorChild.Close();

    std::thread outputReader(Drain, outputOurs.Handle, std::ref(result.Output));
    std::thread errorReader(Drain, errorOurs.Handle, std::ref(result.ErrorOutput));
    DWORD written = 0;
    ::WriteFile(inputOurs.Handle, input.data(), static_cast<DWORD>(input.size()), &written,
                nullptr);
    inputOurs.Close();

    result.Finished = ::WaitForSingleObject(info.hProcess, timeoutMs) == WAIT_OBJECT_0;
    if (!result.Finished)
        ::TerminateProcess(info.hProcess, 255);
    outputReader.join();
    errorReader.join();
    DWORD code = 0;
    ::GetExitCodeProcess(info.hProcess, &code);
    result.ExitCode = code;
    ::CloseHandle(info.hProcess);
    return result;
}

std::string BuiltProgram(const std::string& relativePath)
{
    const char* const binaryDir = std::getenv("TARVIK_BIN_DIR");
    if (binaryDir == nullptr || *binaryDir == '\0')
        return {};
    std::string path = binaryDir;
    // ctest hands the Linux path of the build folder; Wine shows / as Z:.
    if (path.front() == '/')
        path = "Z:" + path;
    path += "\\" + relativePath;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

std::string ToOemCodePage(const std::string& text)
{
    std::string converted = text;
    ::CharToOemA(text.c_str(), converted.data());
    return converted;
}

} // namespace tarvik::wintest
