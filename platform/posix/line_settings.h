// The DCB's line settings in termios terms, and back. Pure translations:
// applying them to a device is the caller's business.
#pragma once

#include "platform/comm_api.h"

#include <termios.h>

namespace tarvik::posix {

// The B-constant for a rate, or B0 when the rate has none.
speed_t StandardSpeed(win::DWORD baud);
// The rate of a B-constant, or 0 for B0 and values that are none.
win::DWORD BaudOfSpeed(speed_t speed);

// Builds the settings dcb asks for on top of current: frame, parity, stop
// bits and flow control. The speed is set only when it is a standard rate;
// a custom rate keeps current's speed for the caller to apply. Returns 0, or
// ERROR_INVALID_PARAMETER (with out untouched) for a DCB no line can take.
win::DWORD BuildLineSettings(const win::DCB& dcb, const termios& current, termios& out);

// Whether the device took what was asked: compares the fields
// BuildLineSettings sets (the speed is compared by the caller, as a number).
// A pseudo-terminal has no line to frame and always reports CS8 without
// parity generation, so for one those two are not compared.
bool LineSettingsTaken(const termios& wanted, const termios& got, bool pseudoTerminal);

// Fills the termios-backed members of dcb from the device's settings. With
// frameFromDevice false (a pseudo-terminal), ByteSize and Parity keep what
// dcb holds.
void ReadLineSettings(const termios& settings, win::DWORD baud, bool frameFromDevice,
                      win::DCB& dcb);

// Bits on the wire per character: start, data, parity and stop bits.
unsigned FrameBits(const termios& settings);

} // namespace tarvik::posix
