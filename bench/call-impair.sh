#!/usr/bin/env sh
# Delay and gaps of real calls through an impairing relay: runs
# bench/call_probe.py (see its header) with a python3 that has numpy.
#   bench/call-impair.sh [--ambrel PATH] [--codecs a,b] [--conditions x,y] [--repeat N] [--json FILE] [--threads]
here=$(dirname "$0")
exec "$here/with-numpy.sh" call-impair "$here/call_probe.py" "$@"
