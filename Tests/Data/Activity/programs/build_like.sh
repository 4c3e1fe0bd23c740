#!/bin/sh
# Prints a burst of compiler lines, then links in silence, then reports.
for i in $(seq 1 30); do echo "  CC      src/module$i.o"; done
sleep 7
echo "  LD      app"
