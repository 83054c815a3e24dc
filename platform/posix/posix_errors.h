// Win32 error codes for what Linux reports, and the Win32-style message
// texts that FormatMessageA answers from.
#pragma once

#include "platform/comm_api.h"

namespace tarvik::posix {

// Codes this backend produces beyond those the component names.
inline constexpr win::DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr win::DWORD ERROR_WRITE_PROTECT = 19;
inline constexpr win::DWORD ERROR_FILE_EXISTS = 80;
inline constexpr win::DWORD ERROR_BROKEN_PIPE = 109;
inline constexpr win::DWORD ERROR_DISK_FULL = 112;
inline constexpr win::DWORD ERROR_BUSY = 170;
inline constexpr win::DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr win::DWORD ERROR_MR_MID_NOT_FOUND = 317;
inline constexpr win::DWORD ERROR_INVALID_ADDRESS = 487;
inline constexpr win::DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;

// The Win32 code of the same meaning as errno value `err`.
win::DWORD Win32FromErrno(int err);

// The message text for a Win32 code, ending in "\r\n" as Windows' do, or
// nullptr when the table has none.
const char* Win32MessageText(win::DWORD code);

} // namespace tarvik::posix
