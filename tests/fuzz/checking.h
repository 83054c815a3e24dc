// What both fuzz checks share: accounting for the bytes a read consumed, and
// the outcome of one call on the component and on the model side by side.
#pragma once

#include <cstdint>
#include <optional>
#include <sstream>
#include <string>

namespace tarvik::fuzz {

// The bytes that left the receive buffer since `cursor`, given that `taken`
// bytes of the script have been read from the device and `buffer` holds what
// is still unconsumed. Empty, with `problem` set, when the buffer is not the
// tail of what was read, which would mean bytes were lost or reordered.
std::optional<std::string> ConsumedSince(const std::string& script, std::size_t cursor,
                                         std::size_t taken, const std::string& buffer,
                                         std::string& problem);

// A mismatch report that names the call, what was expected and what came.
class Mismatch {
public:
    explicit Mismatch(const std::string& where) { FText << where; }
    template <typename T> void Field(const char* name, const T& want, const T& got)
    {
        if (!(want == got)) {
            FText << "\n  " << name << ": model " << Show(want) << ", component " << Show(got);
            FAny = true;
        }
    }
    bool Any() const { return FAny; }
    std::string Text() const { return FText.str(); }

private:
    static std::string Show(const std::string& bytes);
    template <typename T> static T Show(const T& value) { return value; }

    std::ostringstream FText;
    bool FAny = false;
};

} // namespace tarvik::fuzz
