// One modem's behaviour from received bytes to what it does in reply: plain
// Hayes, or a script with Hayes behind it for the lines no rule takes. The
// steps come back as data so that the caller alone owns the port and clock.
#pragma once

#include "tools/virtual_modem/hayes_engine.h"
#include "tools/virtual_modem/modem_script.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik::modem {

struct ModemStep {
    enum class Kind { Write, Pause, Hangup };
    Kind kind = Kind::Write;
    std::string bytes;    // Write: one write() of these bytes
    int milliseconds = 0; // Pause
};

class ModemSession {
public:
    // Without a script the modem is plain Hayes; with one (even an empty
    // one) bytes are no longer echoed as they come, only as rules say.
    ModemSession(DialOutcome dial, std::optional<std::vector<ScriptRule>> script);

    // What to do, in order, for these received bytes. After a hang-up the
    // port is gone and nothing more is answered.
    std::vector<ModemStep> Receive(std::string_view bytes);

    bool HungUp() const { return hungUp_; }

private:
    void AnswerLine(const std::string& line, std::vector<ModemStep>& steps);
    const ScriptRule* Match(const std::string& line);

    HayesModem hayes_;
    bool scripted_;
    std::vector<ScriptRule> rules_;
    std::vector<bool> spent_; // once-rules that have served their line
    CommandLineReader reader_;
    bool hungUp_ = false;
};

} // namespace tarvik::modem
