#include "console/console_io.h"
#include "console/console_os.h"

namespace tarvik::console {

std::optional<std::string> ConsoleIo::ReadLine()
{
    // Prompts must show before we block, also through a pipe.
    Flush();
    std::string line;
    int c = 0;
    while ((c = std::fgetc(FInput)) != EOF && c != '\n')
        line.push_back(static_cast<char>(c));
    if (c == EOF && line.empty())
        return std::nullopt;
    if (c == '\n' && !line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

void ConsoleIo::WriteLine(std::string_view text)
{
    Write(text);
    Write("\r\n");
}

void ConsoleIo::Write(std::string_view bytes)
{
    std::fwrite(bytes.data(), 1, bytes.size(), FOutput);
}

void ConsoleIo::Flush()
{
    std::fflush(FOutput);
}

void ConsoleIo::ClearScreen()
{
    const int rows = ConsoleRows();
    if (rows < 0)
        return;
    for (int i = 0; i <= rows; ++i)
        Write("\r\n");
    Flush();
    MoveConsoleCursor(0, 0);
}

} // namespace tarvik::console
