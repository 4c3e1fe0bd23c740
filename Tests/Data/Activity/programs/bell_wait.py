#!/usr/bin/env python3
# Finishes a step, rings the bell and waits for a line.
print("Step 1 finished.\a", flush=True)
input("Waiting for you: ")
