// Rates beyond the standard termios list, through the kernel's termios2
// interface. Kept apart because the kernel's termbits header clashes with
// <termios.h>; callers see only these two functions.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Sets input and output speed to baud, leaving every other setting as it
// is. 0 on success, otherwise the errno of the failing ioctl.
int tarvik_set_custom_baud(int fd, unsigned int baud);
// The output speed the driver reports in bits per second (for standard and
// custom rates alike), or 0 when it cannot be read.
unsigned int tarvik_get_custom_baud(int fd);

#ifdef __cplusplus
}
#endif
