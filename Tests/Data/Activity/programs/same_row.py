#!/usr/bin/env python3
# Progress on one row, then a prompt on that same row.
import sys, time
for pct in range(0, 101, 20):
    sys.stdout.write("\rDownloading... %3d%%" % pct); sys.stdout.flush(); time.sleep(0.1)
name = input("  Enter name: ")
print("hello", name)
