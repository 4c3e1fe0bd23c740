#!/bin/sh
# Rings the bell to announce a phase, then works silently.
printf 'phase 2 started\a\n'
sleep 7
echo "phase 2 done"
