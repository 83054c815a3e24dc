// What the Win32 tests need of the machine around them: whether they run
// under Wine, a device on a COM port (a pseudo-terminal on the Linux side,
// played by pty_peer.py), and a program run with piped standard streams.
// No system header here, so the tests keep the backend's own names.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarvik::wintest {

bool UnderWine();

// A COM port with a device behind it, for the life of the object.
class PtyPeer {
public:
    enum class Mode { Modem, Silent };

    // Empty when no peer could be started; Error() says why.
    static std::optional<PtyPeer> Start(Mode mode);
    static const std::string& Error();

    PtyPeer(PtyPeer&& other) noexcept;
    PtyPeer& operator=(PtyPeer&& other) noexcept;
    ~PtyPeer();

    // "COM<n>", as the system names the port.
    const std::string& PortName() const { return FPortName; }
    int PortNumber() const { return std::stoi(FPortName.substr(3)); }

private:
    PtyPeer(std::string statusFile, std::string portName);
    void Stop();

    std::string FStatusFile; // the peer lives while this file exists
    std::string FPortName;
};

struct ProcessResult {
    bool Started = false;
    bool Finished = false; // false: killed after the time-out
    std::uint32_t ExitCode = 0;
    std::string Output;
    std::string ErrorOutput;
};

// Runs program (a Windows path) with input on its standard input.
ProcessResult RunProgram(const std::string& program, const std::string& input,
                         std::uint32_t timeoutMs);

// The built program's Windows path, from TARVIK_BIN_DIR; empty when unknown.
std::string BuiltProgram(const std::string& relativePath);

// The system's ANSI to OEM conversion, to predict what the report shows.
std::string ToOemCodePage(const std::string& text);

} // namespace tarvik::wintest
