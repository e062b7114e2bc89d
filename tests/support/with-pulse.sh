#!/usr/bin/env bash
# Runs a command with a private PulseAudio daemon (no hardware needed):
#   with-pulse.sh CMD ARGS...
# The daemon has null sinks "a_mic", "b_spk", "c_mic", "d_spk"; the command sees
# PULSE_SERVER, a scratch HOME and XDG_RUNTIME_DIR, and AMBREL_TEST_PULSE=1.
# If pulseaudio is not installed the command runs without it (tests that need
# the daemon then skip and say so).
set -u
if ! command -v pulseaudio >/dev/null 2>&1; then
  echo "with-pulse: pulseaudio not installed; running without a sound server" >&2
  exec "$@"
fi
dir=$(mktemp -d -t ambrel-pulse.XXXXXX)
mkdir -p "$dir/run" "$dir/state" "$dir/home"
XDG_RUNTIME_DIR=$dir/run PULSE_RUNTIME_PATH=$dir/run PULSE_STATE_PATH=$dir/state HOME=$dir/home \
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=false --enable-memfd=no \
  --log-target=file:"$dir/pulse.log" \
  --load="module-native-protocol-unix socket=$dir/native auth-anonymous=1" \
  --load="module-null-sink sink_name=a_mic" --load="module-null-sink sink_name=b_spk" \
  --load="module-null-sink sink_name=c_mic" --load="module-null-sink sink_name=d_spk" &
pid=$!
cleanup() { kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; rm -rf "$dir"; }
trap cleanup EXIT INT TERM
for _ in $(seq 100); do [ -S "$dir/native" ] && break; sleep 0.05; done
if [ ! -S "$dir/native" ]; then
  echo "with-pulse: the daemon did not start" >&2
  cat "$dir/pulse.log" >&2 2>/dev/null
  exit 1
fi
export PULSE_SERVER=unix:$dir/native HOME=$dir/home XDG_RUNTIME_DIR=$dir/run AMBREL_TEST_PULSE=1
"$@"
