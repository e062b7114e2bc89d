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

# The speech, 10 ms of loudness at a time, against what B played: each second
# found on its own near where the one before was (B's player makes up, leaves
# out and shortens frames, so later sound comes earlier or later than one lag
# would put it; a codec and two resamplers change the waveform, not its
# envelope).
#   compare.py heard SENT HEARD: exit 0 once the last second of SENT has been
#                                heard with a fifth of a second to spare
#   compare.py check SENT HEARD: prints the figures; exit 1 unless every second
#                                follows the microphone's
cat >"$dir/compare.py" <<'PY'
import array, math, struct, sys

def samples(path):
    # The data chunk to its end or to the end of the file: parecord writes
    # the sizes only when it stops.
    with open(path, "rb") as f:
        raw = f.read()
    rate, channels, at = 16000, 1, 12
    while at + 8 <= len(raw):
        tag, size = raw[at:at + 4], struct.unpack("<I", raw[at + 4:at + 8])[0]
        if tag == b"fmt ":
            channels, rate = struct.unpack("<HI", raw[at + 10:at + 16])
        if tag == b"data":
            end = at + 8 + size if 0 < size <= len(raw) - at - 8 else len(raw)
            data = raw[at + 8:end]
            s = array.array("h", data[:len(data) // 2 * 2])
            if sys.byteorder == "big":
                s.byteswap()
            return rate, s[::channels]
        at += 8 + size + (size & 1)
    return rate, array.array("h")

def envelope(path):
    rate, s = samples(path)
    n = rate // 100
    return [math.sqrt(sum(x * x for x in s[i:i + n]) / n) for i in range(0, len(s) - n + 1, n)]

def correlation(a, b):
    m = min(len(a), len(b))
    a, b = a[:m], b[:m]
    ma, mb = sum(a) / m, sum(b) / m
    va, vb = sum((x - ma) ** 2 for x in a), sum((y - mb) ** 2 for y in b)
    return 0.0 if va == 0 or vb == 0 else sum((x - ma) * (y - mb) for x, y in zip(a, b)) / math.sqrt(va * vb)

mode, sent, heard = sys.argv[1], envelope(sys.argv[2]), envelope(sys.argv[3])
if len(heard) < len(sent):
    sys.exit(f"recorded {len(heard) * 10} ms, less than the {len(sent) * 10} ms sent")
# The whole sentence fixes where its first second is looked for.
lag = max((correlation(sent, heard[l:l + len(sent)]), l) for l in range(len(heard) - len(sent) + 1))[1]
windows, start = [], 0
while start < len(sent):
    n = 100 if len(sent) - start - 100 >= 50 else len(sent) - start
    tries = [(correlation(sent[start:start + n], heard[start + l:start + l + n]), l)
             for l in range(max(0, lag - 15), lag + 16) if start + l + n <= len(heard)]
    if not tries:
        sys.exit(f"the second at {start * 10} ms is not heard yet")
    best, lag = max(tries)
    windows.append((start, n, best, lag))
    start += n
if mode == "heard":
    start, n, best, lag = windows[-1]
    sys.exit(0 if start + lag + n + 20 <= len(heard) else "the last second is not heard whole yet")
loudest = max(heard)
print(f"speech {len(sent) * 10} ms, peak RMS heard {loudest:.0f}; each second's envelope correlation:")
for start, n, best, lag in windows:
    print(f"  {start * 10} ms: heard at {(start + lag) * 10} ms, {best:.3f}")
if loudest < 300 or min(w[2] for w in windows) < 0.6:
    sys.exit("the speaker's sound does not follow the microphone's")
PY

parecord -d b_spk.monitor --latency-msec=20 --rate=16000 --channels=1 --format=s16le \
  --file-format=wav "$dir/heard.wav" >"$dir/parecord.log" 2>&1 &
rec=$!
# Recording before the speech starts: a tenth of a second is in the file.
wait_for 30 sh -c "[ \$(stat -c %s '$dir/heard.wav') -gt 3300 ]" || failed "parecord does not record"
paplay -d a_mic --latency-msec=60 "$dir/speech.wav" || failed "paplay into a_mic failed"
# What is still on its way through A, the link and B's player.
wait_for 30 python3 "$dir/compare.py" heard "$dir/speech.wav" "$dir/heard.wav" ||
  failed "the end of the speech never came out of B's speaker"
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

python3 "$dir/compare.py" check "$dir/speech.wav" "$dir/heard.wav" || failed "the speech did not arrive"
echo "ok: a call through PipeWire"
