// The modem's side of the machine: a pseudo-terminal for the line and a
// COM<n> link in the port map so the terminal program finds it by name.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarvik::modem {

// Throws std::system_error for the OS error `err`, captured by the caller
// right at the failing call.
[[noreturn]] void ThrowOsError(int err, const std::string& what);

// Owns one descriptor; closes it once, on Close or at the end of its life.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Close(); }

    int Get() const { return fd_; }
    bool IsOpen() const { return fd_ >= 0; }
    int Release();
    void Close();

private:
    int fd_ = -1;
};

struct PseudoTerminal {
    UniqueFd master; // non-blocking: the modem's end of the line
    // Held open and never read, so the master sees no hang-up while the
    // terminal program closes and reopens the port.
    UniqueFd slaveHold;
    std::string slavePath;
};

// A new pseudo-terminal with its slave in raw mode. Throws std::system_error.
PseudoTerminal OpenPseudoTerminal();

// "COM<n>" for n >= 1 in any letter case, leading zeros dropped; nothing
// for a name the terminal could not ask for.
std::optional<std::string> CanonicalComName(std::string_view name);

// The port map folder: the option, else $TARVIK_PORTS, else
// $HOME/.config/tarvik/ports; created when missing. Throws on failure.
std::filesystem::path PreparePortsDir(const std::optional<std::string>& fromOption);

// The link <dir>/<name> -> target for as long as this object lives. An
// existing entry is replaced only when it is a dangling link or `force` is set.
class PortLink {
public:
    PortLink(const std::filesystem::path& dir, const std::string& name, const std::string& target,
             bool force);
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;
    ~PortLink() { Remove(); }

    // Removes the link unless something else has replaced it meanwhile.
    void Remove() noexcept;

private:
    std::filesystem::path path_;
    std::string target_;
    bool linked_ = false;
};

} // namespace tarvik::modem
