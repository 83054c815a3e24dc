// Scripted answers: a text of rules that say what the modem sends back for a
// given command line, for odd line ends, split answers, silence and hang-ups
// that a well-behaved modem would never produce.
//
//   on <command>      starts a rule; the rest of the line is matched exactly
//   on "<command>"    the same with C escapes, for blanks at the ends or "*"
//   on *              matches every line
//   send "<bytes>"    writes the bytes in one write (\r \n \t \\ \" \xNN)
//   pause <ms>        waits before the next action
//   silent            ends the answer here
//   hangup            closes the port
//   echo / hayes      the echo, or the answer, a plain modem would give
//   once              the rule serves one line only
//
// Lines starting with # and blank lines are ignored.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarvik::modem {

struct ScriptAction {
    enum class Kind { Send, Pause, Silent, Hangup, Echo, Hayes };
    Kind kind = Kind::Silent;
    std::string bytes;    // Send
    int milliseconds = 0; // Pause
};

struct ScriptRule {
    bool matchesAnyLine = false;
    std::string command;
    bool once = false;
    std::vector<ScriptAction> actions;
};

class ScriptSyntaxError : public std::runtime_error {
public:
    ScriptSyntaxError(int line, const std::string& message);
    int Line() const { return line_; }
    const std::string& Message() const { return message_; }

private:
    int line_;
    std::string message_;
};

// The longest pause a rule may ask for; anything longer is a typo.
inline constexpr int kMaxPauseMs = 60000;

// Throws ScriptSyntaxError naming the first bad line (counted from 1).
std::vector<ScriptRule> ParseScript(std::string_view text);

} // namespace tarvik::modem
