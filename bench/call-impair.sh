#!/usr/bin/env sh
# Delay and gaps of real calls through an impairing relay: runs
# bench/call_probe.py (see its header) with a python3 that has numpy.
#   bench/call-impair.sh [--ambrel PATH] [--codecs a,b] [--conditions x,y] [--repeat N] [--json FILE]
here=$(dirname "$0")
IFS=:
for dir in $PATH; do
  if [ -x "$dir/python3" ] && "$dir/python3" -c "import numpy" 2>/dev/null; then
    exec "$dir/python3" "$here/call_probe.py" "$@"
  fi
done
echo "call-impair: needs python3 with numpy (Debian: python3-numpy)" >&2
exit 1
