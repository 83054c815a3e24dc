// Which device a CreateFileA name stands for. COM ports are looked up in a
// port directory, so a test or a user can point COM<n> at any terminal.
#pragma once

#include <string>
#include <string_view>

namespace tarvik::posix {

struct PortTarget {
    // The name can only mean a COM port, and no such port can exist.
    bool absent = false;
    std::string path;
};

// "\\.\COMn" (n >= 1, decimal) and "COM<rest>:" name COM ports; any other
// name is a path and is returned unchanged.
PortTarget ResolvePortName(std::string_view name);

// The device of port COM<number>: the entry COM<number> of the directory
// named by TARVIK_PORTS when that is a directory; else that entry of
// $HOME/.config/tarvik/ports when it exists; else /dev/ttyS<number - 1>.
std::string PortDevicePath(int number);

} // namespace tarvik::posix
