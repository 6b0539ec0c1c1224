#!/bin/sh
# Loopback transfer benchmark of fwpost; see transfer.py --help.
# transfer.py ends every process it starts by its pid and removes its
# temporary folder on exit, error, Ctrl-C and SIGTERM.
exec python3 "$(dirname "$0")/transfer.py" "$@"
