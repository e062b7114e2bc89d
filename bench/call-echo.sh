#!/usr/bin/env sh
# Echo, far talker and room noise of calls through a server-made echo path:
# runs bench/echo_probe.py (see its header) with a python3 that has numpy.
#   bench/call-echo.sh [--ambrel PATH] [--paths GAIN_DB:DELAY_MS,...] [--ways none,ours,server] [--keep DIR]
here=$(dirname "$0")
IFS=:
for dir in $PATH; do
  if [ -x "$dir/python3" ] && "$dir/python3" -c "import numpy" 2>/dev/null; then
    exec "$dir/python3" "$here/echo_probe.py" "$@"
  fi
done
echo "call-echo: needs python3 with numpy (Debian: python3-numpy)" >&2
exit 1
