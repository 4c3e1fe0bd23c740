#!/usr/bin/env python3
# Asks for a password on the terminal the way sudo does, then works silently.
import getpass, os, sys, time
getpass.getpass("[sudo] password for %s: " % os.environ.get("USER", "user"))
time.sleep(6)
print("installed")
