// Line-by-line console text: every message one line ending in CR LF, every
// answer one line without its line end.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace tarvik::console {

class ConsoleIo {
public:
    ConsoleIo(std::FILE* input, std::FILE* output) : FInput(input), FOutput(output) {}
    virtual ~ConsoleIo() = default;

    // One answer without CR LF or LF; nothing at the end of input.
    virtual std::optional<std::string> ReadLine();
    virtual void WriteLine(std::string_view text);
    virtual void Write(std::string_view bytes);
    virtual void Flush();
    // One empty line more than the screen has rows, then the cursor to the
    // top left; nothing when the output is no console.
    virtual void ClearScreen();

private:
    std::FILE* FInput;
    std::FILE* FOutput;
};

} // namespace tarvik::console
