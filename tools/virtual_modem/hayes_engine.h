// The Hayes command set of the virtual modem: echo, result codes, the few
// commands a terminal needs. It does no I/O, so a test can drive it byte by byte.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tarvik::modem {

// What ATD answers. A virtual line has no far end, so the outcome is chosen
// when the modem starts.
enum class DialOutcome { Connect, Busy, NoCarrier, NoDialtone };

// "connect", "busy", "nocarrier" or "nodialtone"; nothing for any other name.
std::optional<DialOutcome> ParseDialOutcome(std::string_view name);

// Gathers received bytes into command lines, one per CR. Control bytes are
// dropped wherever they come, so the LF of a terminal that ends its lines
// with CR LF never becomes part of the next command.
class CommandLineReader {
public:
    // The finished line when `byte` is the CR that ends it.
    std::optional<std::string> Push(char byte);

private:
    std::string pending_;
};

class HayesModem {
public:
    explicit HayesModem(DialOutcome dial = DialOutcome::Connect);

    // Plain modem behaviour: every byte is echoed as it comes (while echo is
    // on) and every CR is answered at once.
    std::string Receive(std::string_view bytes);

    // The two halves of Receive for one finished line, for a caller that
    // gathers the lines itself: the echo the line would have had, and the answer.
    std::string EchoOf(std::string_view line) const;
    std::string Answer(std::string_view line);

    bool EchoOn() const { return echo_; }
    bool VerboseOn() const { return verbose_; }
    bool QuietOn() const { return quiet_; }

private:
    enum class Result { Ok, Connect, NoCarrier, Error, NoDialtone, Busy };

    // The registers ATS reads and writes. They are kept and reported only:
    // framing and line editing do not follow them.
    static constexpr std::array<int, 7> kRegisterNumbers{0, 2, 3, 4, 5, 7, 12};
    static constexpr std::array<int, 7> kRegisterDefaults{0, 43, 13, 10, 8, 50, 50};

    std::string Execute(std::string_view commands);
    std::string FormatResult(Result result) const;
    std::string FormatInfo(std::string_view text) const;
    Result DialResult() const;
    void Reset();

    DialOutcome dial_;
    bool echo_ = true;
    bool verbose_ = true;
    bool quiet_ = false;
    std::array<int, 7> registers_ = kRegisterDefaults;
    std::string lastCommand_ = "AT";
    CommandLineReader reader_;
};

} // namespace tarvik::modem
