#!/bin/sh
# Runs the gateway's main job end to end on a simulated meter.
#
# The daemon and the simulated meter are still being built. When they land,
# this script starts a meter simulator on a pseudo-terminal, runs mevraktd
# against it in a private sandbox, reads the meter through the daemon's TCP
# port and prints the story of each reading. For now it builds the meter link
# and runs its tests, which drive a simulated meter on a pseudo-terminal.
set -eu
cd "$(dirname "$0")/.."

echo "demo: the end-to-end demo arrives with the daemon; running the meter link tests instead."
tools/test.sh
