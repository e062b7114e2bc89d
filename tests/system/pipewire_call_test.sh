#!/usr/bin/env bash
# A call between two headless copies through a private PipeWire server and its
# PulseAudio interface: speech played into copy A's "microphone" (a null sink
# it records through its monitor) must come out of copy B's "speaker" (a null
# sink recorded through its monitor).
#   pipewire_call_test.sh AMBREL
# Starts and stops its own session bus, pipewire, wireplumber and
# pipewire-pulse; exits 77 (skipped) when one of them is not installed.
set -u
ambrel=$1
for tool in dbus-daemon pipewire wireplumber pipewire-pulse pactl paplay parecord espeak-ng python3; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "SKIP: $tool is not installed (Debian: pipewire pipewire-pulse wireplumber pulseaudio-utils espeak-ng)"
    exit 77
  fi
done

dir=$(mktemp -d -t ambrel-pipewire.XXXXXX)
mkdir -m 700 "$dir/run" && mkdir "$dir/home"
# Nothing of a sound server the caller may run is used.
unset PULSE_SERVER PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR DISPLAY WAYLAND_DISPLAY
export XDG_RUNTIME_DIR=$dir/run HOME=$dir/home XDG_CONFIG_HOME=$dir/home/.config
export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/run/bus PULSE_SERVER=unix:$dir/run/pulse/native

pids=()   # stopped last first
stop_all() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null; done
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do wait "${pids[i]}" 2>/dev/null; done
  pids=()
}
cleanup() { stop_all; rm -rf "$dir"; }
trap cleanup EXIT
trap 'exit 1' INT TERM
failed() {
  echo "FAIL: $*" >&2
  for log in "$dir"/*.log; do echo "== ${log##*/}" >&2; tail -n 20 "$log" >&2; done
  exit 1
}
# wait_for SECONDS COMMAND...: polls until COMMAND succeeds.
wait_for() {
  local deadline=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.1
  done
}

dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --nofork --nopidfile >"$dir/dbus.log" 2>&1 &
pids+=($!)
wait_for 20 test -S "$dir/run/bus" || failed "the session bus did not start"
pipewire >"$dir/pipewire.log" 2>&1 &
pids+=($!)
wait_for 20 test -S "$dir/run/pipewire-0" || failed "pipewire did not start"
wireplumber >"$dir/wireplumber.log" 2>&1 &
pids+=($!)
pipewire-pulse >"$dir/pipewire-pulse.log" 2>&1 &
pids+=($!)
wait_for 30 pactl info || failed "pipewire-pulse does not answer"
for sink in a_mic a_spk b_mic b_spk; do
  pactl load-module module-null-sink sink_name=$sink >/dev/null || failed "cannot make the null sink $sink"
done
wait_for 20 sh -c 'pactl list short sinks | grep -q "b_spk"' || failed "the null sinks do not appear"

espeak-ng -w "$dir/speech.wav" "Ambrel carries this sentence from one copy to the other." ||
  failed "espeak-ng made no speech"
port=$(python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

"$ambrel" --headless -a:speex_16khz -l:"$port":yes -i:b_mic.monitor -o:b_spk >"$dir/b.log" 2>&1 &
b=$!
pids+=($b)
wait_for 30 grep -q "Listening" "$dir/b.log" || failed "copy B does not listen"
"$ambrel" --headless -a:speex_16khz -c:127.0.0.1:"$port":yes -i:a_mic.monitor -o:a_spk >"$dir/a.log" 2>&1 &
a=$!
pids+=($a)
wait_for 30 grep -q "Connected" "$dir/a.log" || failed "copy A does not connect"
wait_for 30 grep -q "Connected" "$dir/b.log" || failed "copy B does not take the call"

parecord -d b_spk.monitor --latency-msec=20 --rate=16000 --channels=1 --format=s16le \
  --file-format=wav "$dir/heard.wav" >"$dir/parecord.log" 2>&1 &
rec=$!
sleep 1
paplay -d a_mic --latency-msec=60 "$dir/speech.wav" || failed "paplay into a_mic failed"
sleep 3   # what is still on its way
kill -INT $rec
wait $rec

# Both copies are still in the call and end cleanly on SIGTERM.
for copy in a b; do
  pid=${!copy}
  kill -0 "$pid" 2>/dev/null || failed "copy ${copy^^} ended during the call"
  kill -TERM "$pid"
  wait_for 30 sh -c "! kill -0 $pid" || failed "copy ${copy^^} does not end on SIGTERM"
  wait "$pid"; status=$?
  [ $status = 0 ] || failed "copy ${copy^^} ended with exit status $status"
done

# The loudness of the speech, 10 ms at a time, must reappear in what B played
# (a codec and two resamplers change the waveform, not its envelope).
python3 - "$dir/speech.wav" "$dir/heard.wav" <<'PY' || failed "the speech did not arrive"
import array, math, sys, wave

def envelope(path):
    with wave.open(path) as w:
        rate, channels = w.getframerate(), w.getnchannels()
        samples = array.array("h", w.readframes(w.getnframes()))
    if sys.byteorder == "big":
        samples.byteswap()
    samples = samples[::channels]
    n = rate // 100
    return [math.sqrt(sum(x * x for x in samples[i:i + n]) / n) for i in range(0, len(samples) - n + 1, n)]

def correlation(a, b):
    m = min(len(a), len(b))
    a, b = a[:m], b[:m]
    ma, mb = sum(a) / m, sum(b) / m
    va, vb = sum((x - ma) ** 2 for x in a), sum((y - mb) ** 2 for y in b)
    return 0.0 if va == 0 or vb == 0 else sum((x - ma) * (y - mb) for x, y in zip(a, b)) / math.sqrt(va * vb)

sent, heard = envelope(sys.argv[1]), envelope(sys.argv[2])
if len(heard) < len(sent):
    sys.exit(f"recorded {len(heard) * 10} ms, less than the {len(sent) * 10} ms sent")
best, lag = max((correlation(sent, heard[lag:]), lag) for lag in range(len(heard) - len(sent) + 1))
loudest = max(heard)
print(f"speech {len(sent) * 10} ms; heard best at {lag * 10} ms with envelope correlation {best:.3f}, peak RMS {loudest:.0f}")
if best < 0.6 or loudest < 300:
    sys.exit("the speaker's sound does not follow the microphone's")
PY
echo "ok: a call through PipeWire"
