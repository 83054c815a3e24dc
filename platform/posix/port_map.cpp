#include "platform/posix/port_map.h"

#include "platform/int_text.h"

#include <sys/stat.h>

#include <cstdlib>

namespace tarvik::posix {

namespace {

constexpr std::string_view kDevicePrefix = "\\\\.\\COM";

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
        if (c != prefix[i])
            return false;
    }
    return true;
}

// A plain run of decimal digits worth 1 or more, as Win32 numbers its ports;
// 0 for anything else.
int DecimalPortNumber(std::string_view digits)
{
    if (digits.empty() || digits.size() > 9)
        return 0;
    int value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool IsDirectory(const std::string& path)
{
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool EntryExists(const std::string& path)
{
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

PortTarget Port(int number)
{
    if (number < 1)
        return {true, {}};
    return {false, PortDevicePath(number)};
}

} // namespace

std::string PortDevicePath(int number)
{
    const std::string entry = "COM" + std::to_string(number);
    const char* ports = std::getenv("TARVIK_PORTS");
    if (ports != nullptr && *ports != '\0' && IsDirectory(ports))
        return std::string(ports) + "/" + entry;
    const char* home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        std::string path = std::string(home) + "/.config/tarvik/ports/" + entry;
        if (EntryExists(path))
            return path;
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

PortTarget ResolvePortName(std::string_view name)
{
    if (StartsWithNoCase(name, kDevicePrefix)) {
        const int number = DecimalPortNumber(name.substr(kDevicePrefix.size()));
        if (number >= 1)
            return Port(number);
    }
    // The presence probe's form: whatever follows COM up to the colon is the
    // number, read as the component reads numbers.
    if (StartsWithNoCase(name, "COM") && name.size() >= 4 && name.back() == ':') {
        const std::string_view rest = name.substr(3, name.size() - 4);
        if (rest.find('\0') != std::string_view::npos)
            return {true, {}};
        return Port(StrToIntDef(rest, 0));
    }
    return {false, std::string(name)};
}

} // namespace tarvik::posix
