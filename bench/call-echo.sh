#!/usr/bin/env sh
# Echo, far talker and room noise of calls through a server-made echo path:
# runs bench/echo_probe.py (see its header) with a python3 that has numpy.
#   bench/call-echo.sh [--ambrel PATH] [--paths GAIN_DB:DELAY_MS,...] [--ways none,ours,server] [--keep DIR]
here=$(dirname "$0")
exec "$here/with-numpy.sh" call-echo "$here/echo_probe.py" "$@"
