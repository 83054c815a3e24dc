#include "null_modem.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvik::testing {

namespace {

int OpenMaster(std::string& slavePath)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        throw std::runtime_error("cannot create a pseudo-terminal");
    slavePath = ptsname(master);
    return master;
}

} // namespace

NullModem::NullModem()
{
    for (int i = 0; i < 2; ++i) {
        FMasters[i] = OpenMaster(FPaths[i]);
        // Held open so that the master never sees a hang-up between the
        // test's opens; raw, so nothing is echoed back into the relay.
        FSlaveKeepers[i] = open(FPaths[i].c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        tcgetattr(FSlaveKeepers[i], &raw);
        cfmakeraw(&raw);
        tcsetattr(FSlaveKeepers[i], TCSANOW, &raw);
    }
    if (pipe2(FStopPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot create a pipe");
    FThread = std::thread([this] { Relay(); });
}

NullModem::~NullModem()
{
    const char stop = 1;
    [[maybe_unused]] const ssize_t n = write(FStopPipe[1], &stop, 1);
    FThread.join();
    for (const int fd :
         {FMasters[0], FMasters[1], FSlaveKeepers[0], FSlaveKeepers[1], FStopPipe[0], FStopPipe[1]})
        close(fd);
}

void NullModem::Relay()
{
    // One pending buffer per direction; a full far side makes us wait for it.
    std::vector<char> pending[2];
    char buffer[65536];
    for (;;) {
        pollfd fds[3] = {{FStopPipe[0], POLLIN, 0}, {FMasters[0], 0, 0}, {FMasters[1], 0, 0}};
        for (int i = 0; i < 2; ++i) {
            fds[1 + i].events = static_cast<short>(pending[i].empty() ? POLLIN : 0);
            if (!pending[1 - i].empty())
                fds[1 + i].events |= POLLOUT;
        }
        if (poll(fds, 3, -1) < 0 && errno != EINTR)
            return;
        if (fds[0].revents)
            return;
        for (int i = 0; i < 2; ++i) {
            if ((fds[1 + i].revents & POLLIN) && pending[i].empty()) {
                const ssize_t n = read(FMasters[i], buffer, sizeof buffer);
                if (n > 0)
                    pending[i].assign(buffer, buffer + n);
            }
            const int from = 1 - i;
            if ((fds[1 + i].revents & POLLOUT) && !pending[from].empty()) {
                const ssize_t n = write(FMasters[i], pending[from].data(), pending[from].size());
                if (n > 0)
                    pending[from].erase(pending[from].begin(), pending[from].begin() + n);
            }
        }
    }
}

} // namespace tarvik::testing
