#!/usr/bin/env python3
# Waits for one key in cbreak mode.
import sys, termios, tty
print("Press any key to continue", end="", flush=True)
old = termios.tcgetattr(0)
try:
    tty.setcbreak(0)
    sys.stdin.read(1)
finally:
    termios.tcsetattr(0, termios.TCSADRAIN, old)
print()
