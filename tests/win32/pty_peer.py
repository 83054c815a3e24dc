#!/usr/bin/python3
"""The device end of a COM port for the Win32 backend tests under Wine.

Makes a pseudo-terminal, links its slave into the Wine prefix as the first
free comN (N from 2 to 99), writes "COMN" into the status file and then
plays the device on the master side until the status file is deleted, or
at the latest after --lifetime seconds, so a crashed test leaves nothing
running.

Modes:
  modem   echoes every byte; after a CR it answers the line like a modem
          with echo on: "ATI" gets an information line and "OK", any other
          line starting with AT gets "OK", everything else "ERROR".
  silent  reads and drops everything, answers nothing.
"""
import argparse
import fcntl
import os
import select
import sys
import termios
import time
import tty

INFO_LINE = b"Tarvik test peer"


def dosdevices_dir():
    prefix = os.environ.get("WINEPREFIX") or os.path.join(os.environ["HOME"], ".wine")
    return os.path.join(prefix, "dosdevices")


def claim_port(slave_path):
    """Links the slave as the first comN nobody holds; returns N."""
    folder = dosdevices_dir()
    for number in range(2, 100):
        link = os.path.join(folder, "com%d" % number)
        try:
            os.symlink(slave_path, link)
            return number, link
        except FileExistsError:
            continue
    sys.exit("pty_peer: no free COM number in " + folder)


def publish(status_path, text):
    # Written whole and renamed, so the test never reads half a name.
    temporary = status_path + ".part"
    with open(temporary, "w") as status:
        status.write(text)
    os.rename(temporary, status_path)


def answer(line):
    command = line.strip().upper()
    if command == b"ATI":
        return b"\r\n" + INFO_LINE + b"\r\nOK\r\n"
    if command.startswith(b"AT"):
        return b"\r\nOK\r\n"
    return b"\r\nERROR\r\n"


def serve(master, mode, status_path, deadline):
    line = b""
    while os.path.exists(status_path) and time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.05)
        if not ready:
            continue
        data = os.read(master, 4096)
        if mode != "modem":
            continue
        reply = b""
        for byte in data:
            reply += bytes([byte])
            if byte == 13:
                reply += answer(line)
                line = b""
            else:
                line += bytes([byte])
        os.write(master, reply)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--status", required=True)
    parser.add_argument("--mode", choices=["modem", "silent"], default="modem")
    parser.add_argument("--lifetime", type=float, default=60.0)
    options = parser.parse_args()

    master, slave = os.openpty()
    # The pty becomes this session's controlling terminal, so no other
    # process (the wineserver opens devices for Wine) takes it as its own and
    # then gets a SIGHUP when the pty goes away.
    try:
        os.setsid()
        fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
    except OSError:
        pass
    # Raw from the start: no echo or line editing by the pty itself before
    # the program under test sets the line up. The slave stays open here so
    # the master never sees a hang-up between two opens of the port.
    tty.setraw(slave)
    number, link = claim_port(os.ttyname(slave))
    try:
        publish(options.status, "COM%d" % number)
        serve(master, options.mode, options.status, time.monotonic() + options.lifetime)
    finally:
        os.unlink(link)
        for leftover in (options.status, options.status + ".part"):
            if os.path.exists(leftover):
                os.unlink(leftover)


if __name__ == "__main__":
    main()
