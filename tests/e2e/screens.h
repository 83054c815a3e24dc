// What tarvik prints, byte for byte, built from its lines so that a test
// reads as the screen it expects. Every line ends in CR LF.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace tarvik::e2e::screen {

inline std::string Lines(std::initializer_list<std::string_view> lines)
{
    std::string text;
    for (const std::string_view line : lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

inline const std::string kBanner = Lines({"", "Tarvik", "AT-command terminal for serial modems", "",
                                          "", "", "Please enter COM-port number (Digits ONLY):"});

inline const std::string kSpeedMenu = Lines(
    {"", "Please select speed (Enter number ONLY):", "[1=300]   [4=4800]   [7=38400]   [10=230400]",
     "[2=1200]  [5=9600]   [8=57600]   [11=460800]",
     "[3=2400]  [6=19200]  [9=115200]  [12=921600]"});

inline const std::string kDataBitsMenu =
    Lines({"", "Please set COM-port Data-bits (Digits ONLY):", "[4] [5] [6] [7] [8]"});

inline const std::string kPrompt = Lines({"Please enter AT commnad:"});
inline const std::string kExitQuestion = Lines({"Do you really want to exit? [Y/N]"});
inline const std::string kSpeedOk = Lines({"COM-port speed: OK!"});
inline const std::string kSpeedError = Lines({"COM-port speed: ERROR!"});
inline const std::string kDataBitsOk = Lines({"COM-port Data-bits: OK!", ""});
inline const std::string kDataBitsError = Lines({"COM-port Data-bits: ERROR!"});

inline std::string Connected(std::string_view portText)
{
    return "Connecting to COM" + std::string(portText) + ": OK!\r\n";
}

inline std::string NotConnected(std::string_view portText)
{
    return "Connecting to COM" + std::string(portText) + ": ERROR!\r\n";
}

// The whole set-up through COM1, 115200 baud and 8 data bits (answers 1, 9,
// 8), up to and including the first command prompt.
inline const std::string kSetUpInput = "1\n9\n8\n";
inline const std::string kSetUp =
    kBanner + Connected("1") + kSpeedMenu + kSpeedOk + kDataBitsMenu + kDataBitsOk + kPrompt;

// One command's answer as printed, with the empty line after it and the
// next prompt.
inline std::string Answered(std::string_view answer)
{
    return std::string(answer) + "\r\n" + kPrompt;
}

} // namespace tarvik::e2e::screen
