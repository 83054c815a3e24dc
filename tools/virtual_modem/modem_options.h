// The command line of tarvik-modem.
#pragma once

#include "tools/virtual_modem/hayes_engine.h"

#include <optional>
#include <stdexcept>
#include <string>

namespace tarvik::modem {

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct Options {
    bool help = false;
    std::string name = "COM1";
    std::optional<std::string> portsDir;
    DialOutcome dial = DialOutcome::Connect;
    std::optional<std::string> scriptFile;
    bool force = false;
    bool exitAfterHangup = false;
};

// What --help prints.
extern const char* const kUsage;

// Throws UsageError for an unknown option or a bad value.
Options ParseOptions(int argc, char** argv);

} // namespace tarvik::modem
