// COM names to devices: the port directory, the per-user fallback, the
// serial devices, the presence probe's "COMn:" and names used as paths.
#include "platform/posix/port_map.h"
#include "posix/pty_fixture.h"

#include <sys/ioctl.h>

#include <cstring>

namespace tarvik::posix::testing {
namespace {

TEST(PortMap, NamesResolveToPortsAbsentOrPaths)
{
    TempDir ports;
    ScopedEnv env("TARVIK_PORTS", ports.Path().c_str());
    const std::string dir = ports.Path() + "/";
    using namespace std::string_view_literals;
    const struct {
        std::string_view name;
        bool absent;
        std::string path;
    } cases[] = {
        {"\\\\.\\COM3", false, dir + "COM3"},
        {"\\\\.\\com12", false, dir + "COM12"},
        {"COM3:", false, dir + "COM3"},
        {"com3:", false, dir + "COM3"},
        {"COM 7:", false, dir + "COM7"},
        {"COM$A:", false, dir + "COM10"},
        {"COM:", true, ""},
        {"COMx:", true, ""},
        {"COM0:", true, ""},
        {"COM-2:", true, ""},
        {"COM3x:", true, ""},
        {"COM3\0:"sv, true, ""},
        {"\\\\.\\COM0", false, "\\\\.\\COM0"},
        {"\\\\.\\COMx", false, "\\\\.\\COMx"},
        {"\\\\.\\COM+3", false, "\\\\.\\COM+3"},
        {"COM3", false, "COM3"},
        {"/dev/pts/7", false, "/dev/pts/7"},
    };
    for (const auto& c : cases) {
        const PortTarget target = ResolvePortName(c.name);
        EXPECT_EQ(target.absent, c.absent) << c.name;
        if (!c.absent) {
            EXPECT_EQ(target.path, c.path) << c.name;
        }
    }
}

TEST(PortMap, FallsBackToTheUsersPortsThenToSerialDevices)
{
    TempDir home;
    home.Link(".config/tarvik/ports/COM7", "/dev/pts/99");
    ScopedEnv homeEnv("HOME", home.Path().c_str());
    const std::string userPorts = home.Path() + "/.config/tarvik/ports/";

    {
        ScopedEnv env("TARVIK_PORTS", nullptr);
        EXPECT_EQ(PortDevicePath(7), userPorts + "COM7");
        EXPECT_EQ(PortDevicePath(8), "/dev/ttyS7");
        EXPECT_EQ(PortDevicePath(1), "/dev/ttyS0");
    }
    {
        // A TARVIK_PORTS that is no directory does not hide the fallbacks.
        ScopedEnv env("TARVIK_PORTS", (home.Path() + "/missing").c_str());
        EXPECT_EQ(PortDevicePath(7), userPorts + "COM7");
    }
    {
        // A real port directory is the whole map: COM7 there or nowhere.
        TempDir ports;
        ScopedEnv env("TARVIK_PORTS", ports.Path().c_str());
        EXPECT_EQ(PortDevicePath(7), ports.Path() + "/COM7");
    }
    {
        ScopedEnv env("TARVIK_PORTS", nullptr);
        ScopedEnv noHome("HOME", nullptr);
        EXPECT_EQ(PortDevicePath(12), "/dev/ttyS11");
    }
}

class PortOpenTest : public PortTest {};

TEST_F(PortOpenTest, ProbeAndDevicePathOpenTheLinkedTerminal)
{
    for (const char* name : {"COM3:", "\\\\.\\COM3"}) {
        const HANDLE handle = api_.CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                               FILE_ATTRIBUTE_NORMAL);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE) << name << ": " << api_.GetLastError();
        EXPECT_NE(handle, 0u);
        // The exclusive flag shows on our own view of the pty: it was opened.
        int exclusive = 0;
        ASSERT_EQ(::ioctl(observer_, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 1) << name;
        EXPECT_TRUE(api_.CloseHandle(handle));
    }
}

TEST_F(PortOpenTest, TheUsersPortDirectoryServesWithoutTarvikPorts)
{
    TempDir home;
    home.Link(".config/tarvik/ports/COM5", pty_.SlavePath());
    ScopedEnv homeEnv("HOME", home.Path().c_str());
    ScopedEnv env("TARVIK_PORTS", nullptr);
    port_ = api_.CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE) << api_.GetLastError();
    pty_.Send("ping");
    ASSERT_EQ(WaitQueued(4), 4u);
}

TEST_F(PortOpenTest, AMissingPortIsFileNotFoundWithItsText)
{
    for (const char* name : {"\\\\.\\COM9", "COM9:", "COM:", "COMx:"}) {
        api_.SetLastError(0);
        EXPECT_EQ(api_.CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED),
                  INVALID_HANDLE_VALUE)
            << name;
        EXPECT_EQ(api_.GetLastError(), ERROR_FILE_NOT_FOUND) << name;
    }
    char text[256];
    const DWORD length = api_.FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY,
        api_.GetLastError(), 0, text, sizeof text);
    EXPECT_EQ(length, std::strlen(text));
    EXPECT_STREQ(text, "The system cannot find the file specified.\r\n");
}

TEST_F(PortOpenTest, OtherNamesAreOpenedAsPaths)
{
    const HANDLE handle = api_.CreateFileA(pty_.SlavePath().c_str(), GENERIC_READ | GENERIC_WRITE,
                                           0, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << api_.GetLastError();
    EXPECT_TRUE(api_.CloseHandle(handle));

    api_.SetLastError(0);
    EXPECT_EQ(api_.CreateFileA((ports_.Path() + "/nothing-here").c_str(),
                               GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(api_.GetLastError(), ERROR_FILE_NOT_FOUND);
}

} // namespace
} // namespace tarvik::posix::testing
