#include "checking.h"

#include "fuzz_input.h"

namespace tarvik::fuzz {

std::optional<std::string> ConsumedSince(const std::string& script, std::size_t cursor,
                                         std::size_t taken, const std::string& buffer,
                                         std::string& problem)
{
    if (taken > script.size() || buffer.size() > taken ||
        script.compare(taken - buffer.size(), buffer.size(), buffer) != 0) {
        problem = "LineBuffer " + Escaped(buffer) + " is not the tail of the " +
                  std::to_string(taken) + " bytes read";
        return std::nullopt;
    }
    if (taken - buffer.size() < cursor) {
        problem = "LineBuffer holds bytes that an earlier read had consumed";
        return std::nullopt;
    }
    return script.substr(cursor, taken - buffer.size() - cursor);
}

std::string Mismatch::Show(const std::string& bytes)
{
    return Escaped(bytes);
}

} // namespace tarvik::fuzz
