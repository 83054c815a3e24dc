#include "console/error_report.h"

#include <array>
#include <cstdio>

namespace tarvik::console {

std::string ComposeErrorReport(const std::string& className, const std::string& moduleName,
                               std::uintptr_t address, const std::string& message)
{
    char addressText[9];
    std::snprintf(addressText, sizeof addressText, "%08X",
                  static_cast<unsigned>(address & 0xFFFFFFFFu));
    const bool needsStop = !message.empty() && message.back() != '.';
    return "Exception " + className + " in module " + moduleName + " at " + addressText + ".\r\n" +
           message + (needsStop ? "." : "") + "\r\n";
}

namespace {

// Code points of the bytes 0x80 to 0xBF; 0x98 has none.
constexpr std::array<char16_t, 64> kCp1251High{
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};

void AppendUtf8(std::string& out, char32_t code)
{
    if (code < 0x80) {
        out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | code >> 6));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | code >> 12));
        out.push_back(static_cast<char>(0x80 | (code >> 6 & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

} // namespace

std::string Cp1251ToUtf8(const std::string& text)
{
    std::string out;
    out.reserve(text.size() * 2);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80)
            AppendUtf8(out, byte);
        else if (byte < 0xC0)
            AppendUtf8(out, kCp1251High[byte - 0x80]);
        else // А to я in alphabetical order
            AppendUtf8(out, 0x0410 + (byte - 0xC0));
    }
    return out;
}

} // namespace tarvik::console
