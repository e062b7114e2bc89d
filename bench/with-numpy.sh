#!/usr/bin/env sh
# Runs a probe of the bench tree with the first python3 on PATH that has numpy:
#   bench/with-numpy.sh NAME SCRIPT.py ARGS...   (NAME prefixes the error line)
name=$1 script=$2
shift 2
IFS=:
for dir in $PATH; do
  if [ -x "$dir/python3" ] && "$dir/python3" -c "import numpy" 2>/dev/null; then
    exec "$dir/python3" "$script" "$@"
  fi
done
echo "$name: needs python3 with numpy (Debian: python3-numpy)" >&2
exit 1
