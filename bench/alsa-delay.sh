#!/usr/bin/env bash
# Mouth-to-ear delay of a call, ALSA devices against the PulseAudio ones, on
# one clock: a private PulseAudio daemon with one stereo null sink whose left
# channel is A's microphone and whose right channel is B's speaker. Copy A
# records the left channel and sends; copy B receives and plays into the
# right; the stereo monitor holds both. A tone burst every second goes into
# the microphone; the delay of each burst is the time between its onset on
# the left and on the right.
#
# The ALSA devices reach the same daemon through ALSA's pulse plugin
# (libasound2-plugins), so both paths cross the same server; the difference
# is what each backend adds.
#
#   bench/alsa-delay.sh [path/to/ambrel] [seconds]
set -euo pipefail
ambrel=${1:-build/src/app/ambrel}
seconds=${2:-12}
command -v pulseaudio >/dev/null || { echo "needs pulseaudio and pulseaudio-utils" >&2; exit 1; }

dir=$(mktemp -d -t ambrel-delay.XXXXXX)
mkdir -p "$dir/run" "$dir/state" "$dir/home"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR=$dir/run PULSE_RUNTIME_PATH=$dir/run PULSE_STATE_PATH=$dir/state HOME=$dir/home
pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=false --enable-memfd=no \
  --log-target=file:"$dir/pulse.log" \
  --load="module-native-protocol-unix socket=$dir/native auth-anonymous=1" \
  --load="module-null-sink sink_name=ab channels=2 channel_map=left,right rate=16000" \
  --load="module-remap-sink sink_name=a_mic master=ab channels=1 master_channel_map=left channel_map=mono remix=no" \
  --load="module-remap-sink sink_name=b_spk master=ab channels=1 master_channel_map=right channel_map=mono remix=no" &
pids+=($!)
for _ in $(seq 100); do [ -S "$dir/native" ] && break; sleep 0.05; done
export PULSE_SERVER=unix:$dir/native
cat > "$HOME/.asoundrc" <<EOF
pcm.mic { type pulse device "a_mic.monitor" }
pcm.spk { type pulse device "b_spk" }
EOF

# Tone bursts of 30 ms, one a second, 16 kHz mono.
python3 - "$dir/bursts.wav" "$seconds" <<'EOF'
import math, struct, sys, wave
rate, secs = 16000, int(sys.argv[2])
frames = bytearray()
for i in range(rate * secs):
    t = (i % rate) / rate
    v = 12000 * math.sin(2 * math.pi * 1000 * t) if 0.5 <= t < 0.53 else 0
    frames += struct.pack('<h', int(v))
with wave.open(sys.argv[1], 'wb') as w:
    w.setnchannels(1); w.setsampwidth(2); w.setframerate(rate); w.writeframes(bytes(frames))
EOF

measure() {  # name, A's recording device, B's playing device
  local name=$1 port=$((20000 + RANDOM % 20000))
  "$ambrel" --headless "-l:$port:yes" "-i:$2" -d:send >"$dir/$name-a.log" 2>&1 &
  local a=$!
  sleep 0.5
  "$ambrel" --headless "-c:127.0.0.1:$port:yes" "-o:$3" -d:receive >"$dir/$name-b.log" 2>&1 &
  local b=$!
  sleep 1.5
  parecord -d ab.monitor --latency-msec=30 --channels=2 --rate=16000 --file-format=wav "$dir/$name.wav" &
  local rec=$!
  sleep 0.5
  paplay -d a_mic --latency-msec=60 "$dir/bursts.wav"
  sleep 1
  kill -INT "$rec"; wait "$rec" 2>/dev/null || true
  kill "$a" "$b"; wait "$a" "$b" 2>/dev/null || true
  python3 - "$dir/$name.wav" "$name" <<'EOF'
import struct, sys, wave
w = wave.open(sys.argv[1]); rate = w.getframerate(); data = w.readframes(w.getnframes())
n = len(data) // 4
left = [abs(struct.unpack_from('<h', data, 4 * i)[0]) for i in range(n)]
right = [abs(struct.unpack_from('<h', data, 4 * i + 2)[0]) for i in range(n)]
def onsets(x, level=3000, gap=0.5):
    out, last = [], -10**9
    for i, v in enumerate(x):
        if v > level and i - last > gap * rate:
            out.append(i)
        if v > level:
            last = i
    return out
l, r = onsets(left), onsets(right)
delays = []
for t in l:
    later = [u for u in r if 0 <= u - t < rate]
    if later:
        delays.append((later[0] - t) * 1000 / rate)
delays.sort()
if not delays:
    print(f"{sys.argv[2]}: no burst came through ({len(l)} sent)")
else:
    med = delays[len(delays) // 2]
    print(f"{sys.argv[2]}: {len(delays)}/{len(l)} bursts, delay median {med:.0f} ms, "
          f"min {delays[0]:.0f} ms, max {delays[-1]:.0f} ms")
EOF
  grep -h "RECORD\|PLAY :" "$dir/$name-a.log" "$dir/$name-b.log" || true
}

measure pulse a_mic.monitor b_spk
measure alsa alsa:mic alsa:spk
