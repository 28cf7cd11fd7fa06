#!/usr/bin/env python3
"""The line peer of the Windows device tests: a pseudo-terminal whose far end echoes
every byte it receives.

Prints the path of the terminal side (mapped to a COM port of the Wine prefix), then
echoes until it is terminated. The terminal side is put into raw mode and kept open
here, so that the line stays up while the program under test opens and closes it.
"""
import os
import pty
import sys
import tty


def main():
    master, slave = pty.openpty()
    tty.setraw(slave)
    print(os.ttyname(slave), flush=True)
    while True:
        data = os.read(master, 4096)
        if not data:
            return
        os.write(master, data)


if __name__ == "__main__":
    try:
        main()
    except (KeyboardInterrupt, OSError):
        sys.exit(0)
