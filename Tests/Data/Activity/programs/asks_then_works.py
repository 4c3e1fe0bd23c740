#!/usr/bin/env python3
# States a question it answers itself, then keeps working without output.
import time
print("Overwrite existing output files? (assuming yes)", flush=True)
time.sleep(8)
print("written")
