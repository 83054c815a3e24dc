#include "tools/virtual_modem/modem_script.h"

#include <cstddef>
#include <utility>

namespace tarvik::modem {
namespace {

bool IsBlank(char byte)
{
    return byte == ' ' || byte == '\t';
}

std::string_view TrimLeft(std::string_view text)
{
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    return text;
}

std::string_view TrimRight(std::string_view text)
{
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

int HexDigit(char byte)
{
    if (byte >= '0' && byte <= '9') {
        return byte - '0';
    }
    if (byte >= 'a' && byte <= 'f') {
        return byte - 'a' + 10;
    }
    if (byte >= 'A' && byte <= 'F') {
        return byte - 'A' + 10;
    }
    return -1;
}

// A double-quoted text with C escapes; nothing but blanks may follow it.
std::string ParseQuoted(std::string_view text, int line)
{
    if (text.empty() || text.front() != '"') {
        throw ScriptSyntaxError(line, "expected a text in double quotes");
    }
    std::string bytes;
    std::size_t pos = 1;
    for (;;) {
        if (pos >= text.size()) {
            throw ScriptSyntaxError(line, "missing closing quote");
        }
        const char byte = text[pos++];
        if (byte == '"') {
            break;
        }
        if (byte != '\\') {
            bytes += byte;
            continue;
        }
        if (pos >= text.size()) {
            throw ScriptSyntaxError(line, "missing closing quote");
        }
        const char escape = text[pos++];
        switch (escape) {
        case 'r':
            bytes += '\r';
            break;
        case 'n':
            bytes += '\n';
            break;
        case 't':
            bytes += '\t';
            break;
        case '\\':
        case '"':
            bytes += escape;
            break;
        case 'x': {
            const int high = pos < text.size() ? HexDigit(text[pos]) : -1;
            const int low = pos + 1 < text.size() ? HexDigit(text[pos + 1]) : -1;
            if (high < 0 || low < 0) {
                throw ScriptSyntaxError(line, "\\x needs two hex digits");
            }
            bytes += static_cast<char>(high * 16 + low);
            pos += 2;
            break;
        }
        default:
            throw ScriptSyntaxError(line, std::string("unknown escape \\") + escape);
        }
    }
    if (!TrimLeft(text.substr(pos)).empty()) {
        throw ScriptSyntaxError(line, "unexpected text after the closing quote");
    }
    return bytes;
}

int ParsePause(std::string_view text, int line)
{
    if (text.empty()) {
        throw ScriptSyntaxError(line, "pause needs a number of milliseconds");
    }
    int value = 0;
    for (const char byte : text) {
        if (byte < '0' || byte > '9') {
            throw ScriptSyntaxError(line, "pause needs a number of milliseconds");
        }
        value = value * 10 + (byte - '0');
        if (value > kMaxPauseMs) {
            throw ScriptSyntaxError(line,
                                    "pause is longer than " + std::to_string(kMaxPauseMs) + " ms");
        }
    }
    return value;
}

ScriptRule ParseRuleHead(std::string_view text, int line)
{
    ScriptRule rule;
    if (text.empty()) {
        throw ScriptSyntaxError(line, "on needs the command line to match");
    }
    if (text == "*") {
        rule.matchesAnyLine = true;
    } else if (text.front() == '"') {
        rule.command = ParseQuoted(text, line);
    } else {
        rule.command = std::string(text);
    }
    return rule;
}

void ParseAction(std::string_view keyword, std::string_view argument, int line, ScriptRule& rule)
{
    using Kind = ScriptAction::Kind;
    ScriptAction action;
    if (keyword == "send") {
        action.kind = Kind::Send;
        action.bytes = ParseQuoted(argument, line);
    } else if (keyword == "pause") {
        action.kind = Kind::Pause;
        action.milliseconds = ParsePause(argument, line);
    } else if (keyword == "silent" || keyword == "hangup" || keyword == "echo" ||
               keyword == "hayes" || keyword == "once") {
        if (!argument.empty()) {
            throw ScriptSyntaxError(line, std::string(keyword) + " takes no argument");
        }
        if (keyword == "once") {
            rule.once = true;
            return;
        }
        action.kind = keyword == "silent"   ? Kind::Silent
                      : keyword == "hangup" ? Kind::Hangup
                      : keyword == "echo"   ? Kind::Echo
                                            : Kind::Hayes;
    } else {
        throw ScriptSyntaxError(line, "unknown action '" + std::string(keyword) + "'");
    }
    rule.actions.push_back(std::move(action));
}

} // namespace

ScriptSyntaxError::ScriptSyntaxError(int line, const std::string& message)
    : std::runtime_error("line " + std::to_string(line) + ": " + message), line_(line),
      message_(message)
{
}

std::vector<ScriptRule> ParseScript(std::string_view text)
{
    std::vector<ScriptRule> rules;
    int lineNumber = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;

        // Files written on Windows end their lines with CR LF.
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        line = TrimRight(TrimLeft(line));
        if (line.empty() || line.front() == '#') {
            continue;
        }
        std::size_t split = 0;
        while (split < line.size() && !IsBlank(line[split])) {
            ++split;
        }
        const std::string_view keyword = line.substr(0, split);
        const std::string_view argument = TrimLeft(line.substr(split));

        if (keyword == "on") {
            rules.push_back(ParseRuleHead(argument, lineNumber));
        } else if (rules.empty()) {
            throw ScriptSyntaxError(lineNumber,
                                    "'" + std::string(keyword) + "' comes before the first 'on'");
        } else {
            ParseAction(keyword, argument, lineNumber, rules.back());
        }
    }
    return rules;
}

} // namespace tarvik::modem
