#!/usr/bin/env python3
# An assistant-like program: raw mode, a spinner while it thinks, then its own prompt.
import os, select, sys, termios, time, tty
fd = 0
old = termios.tcgetattr(fd)
tty.setraw(fd)
out = sys.stdout
try:
    frames = "|/-\\"
    end = time.monotonic() + 6
    i = 0
    while time.monotonic() < end:
        out.write("\r%s Thinking" % frames[i % 4]); out.flush(); i += 1
        select.select([fd], [], [], 0.1)
    out.write("\r\nHere is the plan.\r\n> "); out.flush()
    line = b""
    while not line.endswith(b"\r"):
        select.select([fd], [], [])
        line += os.read(fd, 64)
finally:
    termios.tcsetattr(fd, termios.TCSADRAIN, old)
print()
