#include "tools/virtual_modem/hayes_engine.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>

#ifndef TARVIK_MODEM_VERSION
#define TARVIK_MODEM_VERSION "0.0.0"
#endif

namespace tarvik::modem {
namespace {

// A runaway sender must not grow the line without bound; a real modem's
// buffer is far shorter still.
constexpr std::size_t kMaxLineLength = 4096;
// Keeps ReadNumber clear of overflow; every valid argument is far below it.
constexpr int kNumberCeiling = 100000;

constexpr std::string_view kProductName = "Tarvik virtual modem";
constexpr std::string_view kProductLine = "Tarvik virtual modem on a Linux pseudo-terminal";

bool IsControl(char byte)
{
    const auto value = static_cast<unsigned char>(byte);
    return value < 0x20 || value == 0x7f;
}

// ASCII only: command letters never depend on the locale.
char Upper(char byte)
{
    return (byte >= 'a' && byte <= 'z') ? static_cast<char>(byte - 'a' + 'A') : byte;
}

bool StartsWithAt(std::string_view line)
{
    return line.size() >= 2 && Upper(line[0]) == 'A' && Upper(line[1]) == 'T';
}

bool IsRepeat(std::string_view line)
{
    return line.size() == 2 && Upper(line[0]) == 'A' && line[1] == '/';
}

// The digits at `pos`, if any; `pos` moves past them.
std::optional<int> ReadNumber(std::string_view text, std::size_t& pos)
{
    std::optional<int> value;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        value = std::min(value.value_or(0) * 10 + (text[pos] - '0'), kNumberCeiling);
        ++pos;
    }
    return value;
}

// E, V and Q take 0 or 1, and a missing digit means 0.
bool ReadSwitch(std::string_view text, std::size_t& pos, bool& flag)
{
    const int value = ReadNumber(text, pos).value_or(0);
    if (value > 1) {
        return false;
    }
    flag = value == 1;
    return true;
}

// Commands such as Z, H and &F know only their 0 form.
bool ReadZeroOnly(std::string_view text, std::size_t& pos)
{
    return ReadNumber(text, pos).value_or(0) == 0;
}

// A product checksum as ATI1/ATI2 report on real modems: here derived from
// the product texts, so it stays the same from run to run.
std::string ProductChecksum()
{
    unsigned sum = 0;
    for (const char byte : std::string(kProductName) + TARVIK_MODEM_VERSION) {
        sum = (sum * 31 + static_cast<unsigned char>(byte)) % 65536;
    }
    return std::to_string(sum);
}

} // namespace

std::optional<DialOutcome> ParseDialOutcome(std::string_view name)
{
    if (name == "connect") {
        return DialOutcome::Connect;
    }
    if (name == "busy") {
        return DialOutcome::Busy;
    }
    if (name == "nocarrier") {
        return DialOutcome::NoCarrier;
    }
    if (name == "nodialtone") {
        return DialOutcome::NoDialtone;
    }
    return std::nullopt;
}

std::optional<std::string> CommandLineReader::Push(char byte)
{
    if (byte == '\r') {
        std::string line;
        line.swap(pending_);
        return line;
    }
    if (!IsControl(byte) && pending_.size() < kMaxLineLength) {
        pending_ += byte;
    }
    return std::nullopt;
}

HayesModem::HayesModem(DialOutcome dial) : dial_(dial) {}

std::string HayesModem::Receive(std::string_view bytes)
{
    std::string out;
    for (const char byte : bytes) {
        // Echo is tested per byte: ATE0 silences the bytes that follow its CR.
        if (echo_) {
            out += byte;
        }
        if (auto line = reader_.Push(byte)) {
            out += Answer(*line);
        }
    }
    return out;
}

std::string HayesModem::EchoOf(std::string_view line) const
{
    return echo_ ? std::string(line) + '\r' : std::string();
}

std::string HayesModem::Answer(std::string_view line)
{
    // A bare CR gets no answer, as from a real modem.
    if (line.empty()) {
        return {};
    }
    // A copy: lastCommand_ is replaced before the line runs.
    const std::string command = IsRepeat(line) ? lastCommand_ : std::string(line);
    if (!StartsWithAt(command)) {
        return FormatResult(Result::Error);
    }
    lastCommand_ = command;
    return Execute(std::string_view(command).substr(2));
}

std::string HayesModem::Execute(std::string_view commands)
{
    std::string out;
    std::size_t pos = 0;
    while (pos < commands.size()) {
        const char letter = Upper(commands[pos++]);
        bool valid = true;
        switch (letter) {
        case ' ':
            break;
        case 'E':
            valid = ReadSwitch(commands, pos, echo_);
            break;
        case 'V':
            valid = ReadSwitch(commands, pos, verbose_);
            break;
        case 'Q':
            valid = ReadSwitch(commands, pos, quiet_);
            break;
        case 'I': {
            const int page = ReadNumber(commands, pos).value_or(0);
            if (page == 0) {
                out += FormatInfo(kProductName);
            } else if (page == 1) {
                out += FormatInfo(TARVIK_MODEM_VERSION);
            } else if (page == 2) {
                out += FormatInfo(ProductChecksum());
            } else if (page == 3) {
                out += FormatInfo(kProductLine);
            } else {
                valid = false;
            }
            break;
        }
        case 'Z':
            valid = ReadZeroOnly(commands, pos);
            if (valid) {
                Reset();
            }
            break;
        case '&':
            valid = pos < commands.size() && Upper(commands[pos++]) == 'F' &&
                    ReadZeroOnly(commands, pos);
            if (valid) {
                Reset();
            }
            break;
        case 'H':
            valid = ReadZeroOnly(commands, pos);
            break;
        case 'D':
            // The rest of the line is the number to dial; nothing follows it.
            return out + FormatResult(DialResult());
        case 'S': {
            const auto number = ReadNumber(commands, pos);
            const auto* found =
                number ? std::find(kRegisterNumbers.begin(), kRegisterNumbers.end(), *number)
                       : kRegisterNumbers.end();
            if (found == kRegisterNumbers.end() || pos >= commands.size()) {
                valid = false;
                break;
            }
            int& reg = registers_[static_cast<std::size_t>(found - kRegisterNumbers.begin())];
            const char op = commands[pos++];
            if (op == '?') {
                char text[8];
                std::snprintf(text, sizeof text, "%03d", reg);
                out += FormatInfo(text);
            } else if (op == '=') {
                const auto value = ReadNumber(commands, pos);
                valid = value && *value <= 255;
                if (valid) {
                    reg = *value;
                }
            } else {
                valid = false;
            }
            break;
        }
        default:
            valid = false;
        }
        if (!valid) {
            return out + FormatResult(Result::Error);
        }
    }
    return out + FormatResult(Result::Ok);
}

std::string HayesModem::FormatResult(Result result) const
{
    if (quiet_) {
        return {};
    }
    std::string_view word;
    char digit = '0';
    switch (result) {
    case Result::Ok:
        word = "OK";
        digit = '0';
        break;
    case Result::Connect:
        word = "CONNECT 9600";
        digit = '1';
        break;
    case Result::NoCarrier:
        word = "NO CARRIER";
        digit = '3';
        break;
    case Result::Error:
        word = "ERROR";
        digit = '4';
        break;
    case Result::NoDialtone:
        word = "NO DIALTONE";
        digit = '6';
        break;
    case Result::Busy:
        word = "BUSY";
        digit = '7';
        break;
    }
    if (!verbose_) {
        return std::string{digit, '\r'};
    }
    return "\r\n" + std::string(word) + "\r\n";
}

std::string HayesModem::FormatInfo(std::string_view text) const
{
    // Numeric mode drops the leading line end, as result codes do.
    return verbose_ ? "\r\n" + std::string(text) + "\r\n" : std::string(text) + "\r\n";
}

HayesModem::Result HayesModem::DialResult() const
{
    switch (dial_) {
    case DialOutcome::Connect:
        return Result::Connect;
    case DialOutcome::Busy:
        return Result::Busy;
    case DialOutcome::NoCarrier:
        return Result::NoCarrier;
    case DialOutcome::NoDialtone:
        return Result::NoDialtone;
    }
    return Result::Error;
}

void HayesModem::Reset()
{
    echo_ = true;
    verbose_ = true;
    quiet_ = false;
    registers_ = kRegisterDefaults;
}

} // namespace tarvik::modem
