#include "tools/virtual_modem/modem_options.h"

#include "tools/virtual_modem/pty_port.h"

namespace tarvik::modem {

const char* const kUsage =
    "Usage: tarvik-modem [options]\n"
    "A Hayes-style modem on a pseudo-terminal, linked into the port map as COM<n>.\n"
    "\n"
    "  --name COM<n>        port name to link (default COM1)\n"
    "  --ports DIR          port map folder (default $TARVIK_PORTS, else\n"
    "                       $HOME/.config/tarvik/ports)\n"
    "  --dial RESULT        what ATD answers: connect (CONNECT 9600, default),\n"
    "                       busy, nocarrier or nodialtone\n"
    "  --script FILE        answer by the rules in FILE; other lines as a plain modem\n"
    "  --force              replace an existing COM<n> entry that is still in use\n"
    "  --exit-after-hangup  end when a script rule hangs up\n"
    "  --help               show this text\n"
    "\n"
    "When ready, prints \"ready COM<n> <device>\" on one line. Ends on SIGINT,\n"
    "SIGTERM or SIGHUP and removes the link.\n"
    "\n"
    "Script rules: 'on <line>' (or on \"<line>\" with C escapes, or 'on *' for any\n"
    "line) followed by actions, one per line: send \"<bytes>\", pause <ms>, silent,\n"
    "hangup, echo, hayes, once. The first matching rule answers the line.\n";

Options ParseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::optional<std::string> inlineValue;
        if (const auto equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != arg.npos) {
            inlineValue = arg.substr(equals + 1);
            arg.erase(equals);
        }
        auto value = [&]() -> std::string {
            if (inlineValue) {
                return *inlineValue;
            }
            if (i + 1 >= argc) {
                throw UsageError(arg + " needs a value");
            }
            return argv[++i];
        };
        auto noValue = [&]() {
            if (inlineValue) {
                throw UsageError(arg + " takes no value");
            }
        };
        if (arg == "--help" || arg == "-h") {
            noValue();
            options.help = true;
        } else if (arg == "--name") {
            const std::string given = value();
            const auto canonical = CanonicalComName(given);
            if (!canonical) {
                throw UsageError("--name wants COM<n> with n >= 1, not '" + given + "'");
            }
            options.name = *canonical;
        } else if (arg == "--ports") {
            options.portsDir = value();
        } else if (arg == "--dial") {
            const std::string given = value();
            const auto outcome = ParseDialOutcome(given);
            if (!outcome) {
                throw UsageError("--dial wants connect, busy, nocarrier or nodialtone, not '" +
                                 given + "'");
            }
            options.dial = *outcome;
        } else if (arg == "--script") {
            options.scriptFile = value();
        } else if (arg == "--force") {
            noValue();
            options.force = true;
        } else if (arg == "--exit-after-hangup") {
            noValue();
            options.exitAfterHangup = true;
        } else {
            throw UsageError("unknown option '" + arg + "'");
        }
    }
    return options;
}

} // namespace tarvik::modem
