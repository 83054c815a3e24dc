// The report written when an error ends the run.
#pragma once

#include <cstdint>
#include <string>

namespace tarvik::console {

// "Exception <class> in module <module> at <address>." CR LF, then the
// message with a closing full stop where it has none, CR LF.
std::string ComposeErrorReport(const std::string& className, const std::string& moduleName,
                               std::uintptr_t address, const std::string& message);

// Windows-1251 bytes to UTF-8, for terminals that speak UTF-8.
std::string Cp1251ToUtf8(const std::string& text);

} // namespace tarvik::console
