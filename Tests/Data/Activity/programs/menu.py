#!/usr/bin/env python3
# A numbered menu whose prompt has no question mark.
print("1) apple\n2) pear\n3) quit")
choice = input("Choose > ")
print("chose", choice)
