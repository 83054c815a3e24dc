#include "tools/virtual_modem/modem_session.h"

#include <cstddef>
#include <utility>

namespace tarvik::modem {
namespace {

void AddWrite(std::vector<ModemStep>& steps, std::string bytes)
{
    // A write of nothing would still be a system call and a wake-up.
    if (!bytes.empty()) {
        steps.push_back({ModemStep::Kind::Write, std::move(bytes), 0});
    }
}

} // namespace

ModemSession::ModemSession(DialOutcome dial, std::optional<std::vector<ScriptRule>> script)
    : hayes_(dial), scripted_(script.has_value()),
      rules_(std::move(script).value_or(std::vector<ScriptRule>{})), spent_(rules_.size(), false)
{
}

std::vector<ModemStep> ModemSession::Receive(std::string_view bytes)
{
    std::vector<ModemStep> steps;
    if (hungUp_) {
        return steps;
    }
    if (!scripted_) {
        AddWrite(steps, hayes_.Receive(bytes));
        return steps;
    }
    for (const char byte : bytes) {
        if (auto line = reader_.Push(byte)) {
            AnswerLine(*line, steps);
            if (hungUp_) {
                break;
            }
        }
    }
    return steps;
}

void ModemSession::AnswerLine(const std::string& line, std::vector<ModemStep>& steps)
{
    const ScriptRule* rule = Match(line);
    if (rule == nullptr) {
        // The echo first, in its own statement: the answer may turn echo off.
        std::string reply = hayes_.EchoOf(line);
        reply += hayes_.Answer(line);
        AddWrite(steps, std::move(reply));
        return;
    }
    for (const ScriptAction& action : rule->actions) {
        switch (action.kind) {
        case ScriptAction::Kind::Send:
            AddWrite(steps, action.bytes);
            break;
        case ScriptAction::Kind::Pause:
            steps.push_back({ModemStep::Kind::Pause, {}, action.milliseconds});
            break;
        case ScriptAction::Kind::Echo:
            AddWrite(steps, hayes_.EchoOf(line));
            break;
        case ScriptAction::Kind::Hayes:
            AddWrite(steps, hayes_.Answer(line));
            break;
        case ScriptAction::Kind::Silent:
            return;
        case ScriptAction::Kind::Hangup:
            steps.push_back({ModemStep::Kind::Hangup, {}, 0});
            hungUp_ = true;
            return;
        }
    }
}

const ScriptRule* ModemSession::Match(const std::string& line)
{
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        const ScriptRule& rule = rules_[i];
        if (spent_[i] || !(rule.matchesAnyLine || rule.command == line)) {
            continue;
        }
        if (rule.once) {
            spent_[i] = true;
        }
        return &rule;
    }
    return nullptr;
}

} // namespace tarvik::modem
