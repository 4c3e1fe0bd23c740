#!/usr/bin/env python3
# Asks, gets its answer, then works silently: the question is still the last text.
answer = input("Continue? [y/n] ")
import time
time.sleep(8)
print("finished", answer)
