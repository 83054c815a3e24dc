// What the dialogue needs of the console and the process, one file per OS.
#pragma once

#include <cstdint>
#include <string>

namespace tarvik::console {

// Standard input and output carry bytes unchanged (no newline translation).
void InitConsoleStreams();
// Rows of the console's screen buffer, or -1 when standard output is no console.
int ConsoleRows();
// Puts the cursor at column, row of the console; harmless when there is none.
void MoveConsoleCursor(std::int16_t column, std::int16_t row);
// Writes the error report (ANSI bytes) to standard error in the console's own encoding.
void WriteErrorOutput(const std::string& ansiText);
// The running program's file name, without its directory.
std::string ModuleFileName();
// The address relative to the load address of the module that holds it.
std::uintptr_t ModuleOffset(const void* address);

} // namespace tarvik::console
