#!/bin/sh
# The demo's external program: Gridwarden runs it when the power-fail delay has run out, before
# it switches the UPS and the computer off. A real one would save work or stop services.
echo "on-power-fail.sh: started in $(pwd) at $(date '+%H:%M:%S'); nothing to save in the demo"
sleep 2
echo "on-power-fail.sh: done"
