#include "tools/virtual_modem/pty_port.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace tarvik::modem {
namespace {

// Saturates instead of overflowing; no port number comes near it.
constexpr long kMaxPortNumber = 99999;

bool IsDanglingLink(const std::filesystem::path& path)
{
    struct stat target {};
    if (::stat(path.c_str(), &target) == 0) {
        return false;
    }
    const int err = errno;
    return err == ENOENT || err == ENOTDIR || err == ELOOP;
}

std::optional<std::string> ReadLinkText(const std::filesystem::path& path)
{
    char buffer[4096];
    const ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof buffer) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<std::size_t>(length));
}

} // namespace

void ThrowOsError(int err, const std::string& what)
{
    throw std::system_error(err, std::generic_category(), what);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept
{
    if (this != &other) {
        Close();
        fd_ = other.Release();
    }
    return *this;
}

int UniqueFd::Release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::Close()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

PseudoTerminal OpenPseudoTerminal()
{
    PseudoTerminal pty;
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        const int err = errno;
        ThrowOsError(err, "posix_openpt");
    }
    pty.master = UniqueFd(master);
    if (::grantpt(pty.master.Get()) != 0) {
        const int err = errno;
        ThrowOsError(err, "grantpt");
    }
    if (::unlockpt(pty.master.Get()) != 0) {
        const int err = errno;
        ThrowOsError(err, "unlockpt");
    }
    const char* name = ::ptsname(pty.master.Get());
    if (name == nullptr) {
        const int err = errno;
        ThrowOsError(err, "ptsname");
    }
    pty.slavePath = name;

    const int slave = ::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        const int err = errno;
        ThrowOsError(err, "open " + pty.slavePath);
    }
    pty.slaveHold = UniqueFd(slave);
    // Raw from the start: a terminal program that opens the port before it
    // sets its own modes must not see the line discipline echo or turn CR into LF.
    termios modes{};
    if (::tcgetattr(pty.slaveHold.Get(), &modes) != 0) {
        const int err = errno;
        ThrowOsError(err, "tcgetattr " + pty.slavePath);
    }
    ::cfmakeraw(&modes);
    modes.c_cflag |= CLOCAL | CREAD;
    if (::tcsetattr(pty.slaveHold.Get(), TCSANOW, &modes) != 0) {
        const int err = errno;
        ThrowOsError(err, "tcsetattr " + pty.slavePath);
    }
    // Non-blocking so that a terminal that stops reading cannot stall the
    // modem past a signal; the main loop waits in poll instead.
    const int flags = ::fcntl(pty.master.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(pty.master.Get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        const int err = errno;
        ThrowOsError(err, "fcntl O_NONBLOCK");
    }
    return pty;
}

std::optional<std::string> CanonicalComName(std::string_view name)
{
    if (name.size() < 4) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        const char upper = (name[i] >= 'a' && name[i] <= 'z') ? name[i] - 'a' + 'A' : name[i];
        if (upper != "COM"[i]) {
            return std::nullopt;
        }
    }
    long number = 0;
    for (const char digit : name.substr(3)) {
        if (digit < '0' || digit > '9') {
            return std::nullopt;
        }
        number = std::min(number * 10 + (digit - '0'), kMaxPortNumber + 1);
    }
    if (number < 1 || number > kMaxPortNumber) {
        return std::nullopt;
    }
    return "COM" + std::to_string(number);
}

std::filesystem::path PreparePortsDir(const std::optional<std::string>& fromOption)
{
    std::filesystem::path dir;
    const char* fromEnv = std::getenv("TARVIK_PORTS");
    const char* home = std::getenv("HOME");
    if (fromOption) {
        dir = *fromOption;
    } else if (fromEnv != nullptr && *fromEnv != '\0') {
        dir = fromEnv;
    } else if (home != nullptr && *home != '\0') {
        dir = std::filesystem::path(home) / ".config" / "tarvik" / "ports";
    } else {
        throw std::runtime_error("no port map folder: give --ports, or set TARVIK_PORTS or HOME");
    }
    if (dir.empty()) {
        throw std::runtime_error("the port map folder name is empty");
    }
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) {
        throw std::system_error(error, "cannot create the port map folder " + dir.string());
    }
    if (!std::filesystem::is_directory(dir, error)) {
        throw std::runtime_error(dir.string() + " is not a folder");
    }
    return dir;
}

PortLink::PortLink(const std::filesystem::path& dir, const std::string& name,
                   const std::string& target, bool force)
    : path_(dir / name), target_(target)
{
    struct stat entry {};
    if (::lstat(path_.c_str(), &entry) != 0) {
        const int lstatErr = errno;
        if (lstatErr != ENOENT) {
            ThrowOsError(lstatErr, "cannot inspect " + path_.string());
        }
        // Fails with EEXIST when another modem takes the name meanwhile.
        if (::symlink(target_.c_str(), path_.c_str()) != 0) {
            const int err = errno;
            ThrowOsError(err, "cannot create the link " + path_.string());
        }
        linked_ = true;
        return;
    }
    const bool isLink = S_ISLNK(entry.st_mode);
    if (!force && !(isLink && IsDanglingLink(path_))) {
        const auto current = isLink ? ReadLinkText(path_) : std::nullopt;
        throw std::runtime_error(path_.string() + " already exists" +
                                 (current ? " and links to " + *current : std::string()) +
                                 "; stop the modem that owns it, or use --force to replace it");
    }
    // A new link renamed over the old one: the name never goes missing for a
    // terminal that opens it just now.
    const std::filesystem::path fresh = dir / ("." + name + ".new." + std::to_string(::getpid()));
    ::unlink(fresh.c_str());
    if (::symlink(target_.c_str(), fresh.c_str()) != 0) {
        const int err = errno;
        ThrowOsError(err, "cannot create the link " + fresh.string());
    }
    if (::rename(fresh.c_str(), path_.c_str()) != 0) {
        const int err = errno;
        ::unlink(fresh.c_str());
        ThrowOsError(err, "cannot replace " + path_.string());
    }
    linked_ = true;
}

void PortLink::Remove() noexcept
{
    if (!linked_) {
        return;
    }
    linked_ = false;
    // Another modem started with --force may own the name by now.
    if (ReadLinkText(path_) == target_) {
        ::unlink(path_.c_str());
    }
}

} // namespace tarvik::modem
