#!/usr/bin/env python3
# An assistant-like program in raw mode that thinks without drawing anything, waking every
# 200 ms to check its work and its keyboard, then shows its prompt.
import os, select, sys, termios, time, tty
fd = 0
old = termios.tcgetattr(fd)
tty.setraw(fd)
try:
    sys.stdout.write("Thinking...\r\n"); sys.stdout.flush()
    end = time.monotonic() + 8
    while time.monotonic() < end:
        select.select([fd], [], [], 0.2)
    sys.stdout.write("Done.\r\n> "); sys.stdout.flush()
    line = b""
    while not line.endswith(b"\r"):
        select.select([fd], [], [])
        line += os.read(fd, 64)
finally:
    termios.tcsetattr(fd, termios.TCSADRAIN, old)
print()
