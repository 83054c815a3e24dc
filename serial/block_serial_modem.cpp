// The AT command exchange: a command line out, answer lines in until a final word.
#include "serial/block_serial.h"

#include <array>
#include <string_view>

namespace tarvik {

namespace {

bool IsDialFailure(std::string_view line)
{
    constexpr std::array<std::string_view, 4> kFailures{"NO CARRIER", "ERROR", "BUSY",
                                                        "NO DIALTONE"};
    for (const auto word : kFailures)
        if (line == word)
            return true;
    return false;
}

} // namespace

std::string TBlockSerial::ModemCommand(const std::string& command)
{
    return ExchangeLines(command, AtTimeout, false);
}

std::string TBlockSerial::ModemConnect(const std::string& command)
{
    // Dialling waits 90 times as long for each line; the product wraps in
    // 32 bits as the time-out type does.
    const auto timeout = static_cast<std::int32_t>(static_cast<std::uint32_t>(AtTimeout) * 90u);
    return ExchangeLines(command, timeout, true);
}

std::string TBlockSerial::ExchangeLines(const std::string& command, std::int32_t lineTimeout,
                                        bool dialling)
{
    std::string answer;
    FCommandOk = false;
    // Every line end is accepted during the exchange; the caller's setting
    // comes back however the exchange ends, an exception included.
    struct RestoreConvert {
        bool& Flag;
        bool Saved;
        ~RestoreConvert() { Flag = Saved; }
    } restore{ConvertLineEnd, ConvertLineEnd};
    ConvertLineEnd = true;

    SendText(command + '\r');
    for (;;) {
        const std::string line = ReadLine(lineTimeout);
        if (line != command) // the device's echo is left out
            answer += line + "\r\n";
        if (dialling) {
            if (IsDialFailure(line))
                break;
            if (line.starts_with("CONNECT")) {
                FCommandOk = true;
                break;
            }
        } else {
            if (line == "OK") {
                FCommandOk = true;
                break;
            }
            if (line == "ERROR")
                break;
        }
        if (FLastErrorCode != seOK)
            break;
    }
    return answer;
}

} // namespace tarvik
