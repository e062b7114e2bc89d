#!/usr/bin/env python3
"""Mouth-to-ear delay and gaps of real calls over an impaired network.

Two headless ambrel copies hold a full-duplex call through the impairing UDP
relay of the test tree, with a private PulseAudio daemon as their sound cards.
Each direction has one stereo null sink read on one clock: its left channel is
the sender's microphone, its right channel the receiver's speaker. Both copies
get a never-silent test signal (a buzzing voice-like tone under a random slow
envelope) and the probe reports per direction:

  delay     mouth-to-ear delay over the whole call (mean of a delay track:
            2 s pieces of the received sound every second, those that align
            clearly with what was sent)
  last3     the delay over the last 3 s of the signal
  silent    share of 10 ms windows of the received signal far below its median
            level (30 dB), between the first and the last expected sound
  cpu       CPU time of each copy during the call (all its threads, as the
            scheduler counts it), % of one core, and its threads' wake-ups
            (with --threads also thread by thread)
  floor     with --floor: what bench/pulse_floor costs in the same server
            with the codec's rate and frame length (the sound server's
            client library alone), measured once per codec before its calls

How to run (needs pulseaudio, pulseaudio-utils, python3, python3-numpy):

  cmake --build build --target ambrel
  bench/call-impair.sh                          # 5 codecs x 6 conditions
  bench/call-impair.sh --codecs gsm_8khz --conditions loss20 --repeat 3
  bench/call-impair.sh --ambrel OTHER/ambrel --json after.json
  bench/call-impair.sh --codecs speex_16khz --conditions clean --repeat 3 \
      --floor build/bench/pulse_floor           # our own share = cpu - floor - codec_bench's codec

The conditions are: clean, loss5 (5 % random loss), loss20, jitter60 (uniform
0..60 ms extra delay per datagram), jitter20 (0..20 ms, for short frames) and stall1500 (nothing passes for 1.5 s,
then everything held arrives at once). Two more run when named: shift30 (from
7 s on, every datagram comes 30 ms later: a longer route) and drift5 (the
datagrams come 0.5 % slower than sent, as from a sender whose clock runs slow;
the relay's own delay then grows by 5 ms a second, so read the silent share
and the copies' --stats lines rather than the delay). A run of 15 codec x
condition calls takes about 6 minutes, the default 30 about 12. The machine's load shows in the figures: repeat
(--repeat) and give ranges.
"""
import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import wave

import numpy as np

RATE = 16000
CONDITIONS = {
    "clean": {},
    "loss5": {"loss": 5},
    "loss20": {"loss": 20},
    "jitter60": {"jitter": 60},
    "jitter20": {"jitter": 20},
    "stall1500": {"stall": 1500, "stall_at": 7},
    # Not run unless asked for (--conditions):
    "shift30": {"shift": 30, "shift_at": 7},
    "drift5": {"drift": 5},
}
DEFAULT_CONDITIONS = ["clean", "loss5", "loss20", "jitter60", "jitter20", "stall1500"]
DEFAULT_CODECS = ["speex_16khz", "ilbc_8khz", "gsm_8khz", "opus_48khz", "opus_48khz_ld"]
HERE = os.path.dirname(os.path.abspath(__file__))


def make_signal(seed, seconds):
    """A voice-like buzz (150..250 Hz with harmonics to 3.4 kHz) under a random
    envelope that changes every 60 ms between -18 dB and 0 dB: never silent,
    never periodic, so any lag aligns it with itself only once."""
    rng = np.random.default_rng(seed)
    n = int(seconds * RATE)
    t = np.arange(n) / RATE
    f0 = 200 + 50 * np.sin(2 * np.pi * 0.37 * t + rng.uniform(0, 6.28))
    phase = 2 * np.pi * np.cumsum(f0) / RATE
    buzz = np.zeros(n)
    for k in range(1, 18):
        buzz += np.where(k * f0 < 3400, np.sin(k * phase) / k, 0.0)
    buzz /= np.max(np.abs(buzz))
    # A new level every 60 ms, uniform in -18..0 dB, with 10 ms slopes.
    steps = 10 ** (rng.uniform(-18, 0, int(seconds * 1000 / 60) + 2) / 20)
    per_ms = np.convolve(np.repeat(steps, 60), np.ones(10) / 10, mode="same")
    env = np.interp(t * 1000, np.arange(len(per_ms)), per_ms)
    ramp = np.minimum(1, np.minimum(t, t[-1] - t) / 0.02)
    return (0.5 * 32767 * buzz * env * ramp).astype(np.int16)


def write_wav(path, samples, channels=1):
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(samples.tobytes())


def read_stereo(path):
    with wave.open(path, "rb") as w:
        if w.getframerate() != RATE or w.getnchannels() != 2 or w.getsampwidth() != 2:
            raise RuntimeError(f"{path}: unexpected format")
        data = np.frombuffer(w.readframes(w.getnframes()), dtype=np.int16)
    data = data.reshape(-1, 2).astype(np.float64)
    return data[:, 0], data[:, 1]


def envelope(x):
    """Smoothed magnitude at 1 ms steps."""
    n = len(x) // 16
    e = np.abs(x[: n * 16]).reshape(n, 16).mean(axis=1)
    return np.convolve(e, np.ones(10) / 10, mode="same")


def best_lag(sent, recv, start, length, max_lag, loud):
    """Delay (ms) at which the received envelope recv[start : start+length]
    best matches the sent one, and the correlation there. Only the received
    milliseconds marked loud count, so gaps in the received sound do not
    hide the match of what did arrive."""
    y = recv[start:start + length]
    m = loud[start:start + length].astype(np.float64)
    n = m.sum()
    if len(y) < length or n < 0.3 * length:
        return None, 0.0
    lo = max(0, start - max_lag)
    x = sent[lo:start + length]
    if len(x) < length:
        return None, 0.0
    ym = (y - (y * m).sum() / n) * m
    sxy = np.correlate(x, ym, mode="valid")
    sx = np.correlate(x, m, mode="valid")
    sxx = np.correlate(x * x, m, mode="valid")
    varx = np.maximum(sxx - sx * sx / n, 1e-9)
    corr = sxy / (np.sqrt(varx) * np.sqrt(max((ym * ym).sum(), 1e-9)))
    k = int(np.argmax(corr))
    return start - (lo + k), float(corr[k])


def analyse(path, max_lag_ms):
    mic, spk = read_stereo(path)
    es, er = envelope(mic), envelope(spk)

    def windows(x):
        w = len(x) // 160
        return np.sqrt((x[: w * 160].reshape(w, 160) ** 2).mean(axis=1))

    mic_rms, spk_rms = windows(mic), windows(spk)
    if not np.any(mic_rms > 0) or not np.any(spk_rms > 0):
        return {"error": "no sound"}
    # Sent and received spans: 10 ms windows above a tenth of the median level.
    sent_loud = np.nonzero(mic_rms > np.median(mic_rms[mic_rms > 0]) / 10)[0]
    recv_loud = np.nonzero(spk_rms > np.median(spk_rms[spk_rms > 0]) / 10)[0]
    recv_loud = recv_loud[recv_loud >= sent_loud[0]]
    if len(sent_loud) < 300 or len(recv_loud) < 300:
        return {"error": "no signal at the microphone or at the speaker"}
    mic_holes = float(np.mean(mic_rms[sent_loud[0]:sent_loud[-1] + 1] < np.median(mic_rms[sent_loud]) / 30))
    on, off = int(recv_loud[0]) * 10, int(recv_loud[-1]) * 10 + 10  # ms of the received sound
    rms = spk_rms[on // 10 + 10:off // 10 - 10]
    silent = float(np.mean(rms < np.median(rms) / 30))
    loud = np.repeat(spk_rms > np.median(rms) / 30, 10)
    loud = np.concatenate([loud, np.zeros(max(0, len(er) - len(loud)), dtype=bool)])[: len(er)]
    track = []
    for start in range(on + 100, off - 2000, 1000):
        lag, c = best_lag(es, er, start, 2000, max_lag_ms, loud)
        if lag is not None and c > 0.6:
            track.append(lag)
    # The last 3 s: whole, or either 2 s half where losses blur the whole.
    last_lag, last_c = max((best_lag(es, er, off - 3100 + a, n, max_lag_ms, loud)
                            for a, n in ((0, 3000), (0, 2000), (1000, 2000))), key=lambda r: r[1])
    if last_lag is None or last_c < 0.5:
        last_lag = None
    if not track:
        return {"error": "the received sound does not match what was sent", "last_corr": last_c}
    return {
        "delay_ms": float(np.mean(track)),
        "last3_ms": None if last_lag is None else float(last_lag),
        "silent_pct": 100 * silent,
        "track_min_ms": int(min(track)),
        "track_max_ms": int(max(track)),
        "track_points": len(track),
        "last3_corr": round(last_c, 3),
        "mic_holes_pct": 100 * mic_holes,
    }


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def cpu_sample(pid):
    """(ns on a CPU, voluntary context switches) of all of a process's threads.

    The scheduler's own run times are exact; the tick-sampled times of
    /proc/PID/stat charge a whole tick to whichever thread runs when it falls,
    which overstates threads that wake in step with audio timers."""
    ns = switches = 0
    per_thread = {}
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return None
    for t in tasks:
        try:
            with open(f"/proc/{pid}/task/{t}/schedstat") as f:
                t_ns = int(f.read().split()[0])
            t_sw = 0
            with open(f"/proc/{pid}/task/{t}/status") as f:
                for line in f:
                    if line.startswith("Name:"):
                        name = line.split(None, 1)[1].strip() if len(line.split()) > 1 else t
                    elif line.startswith("voluntary_ctxt_switches:"):
                        t_sw = int(line.split()[1])
        except (OSError, IndexError, ValueError):
            continue  # a thread that ended meanwhile
        ns += t_ns
        switches += t_sw
        key = f"{name}/{t}"
        per_thread[key] = (t_ns, t_sw)
    return ns, switches, per_thread


def thread_shares(before, after, elapsed):
    """Per thread (name/tid): % of one core and wake-ups a second between two samples."""
    out = {}
    for key, (ns, sw) in after[2].items():
        ns0, sw0 = before[2].get(key, (0, 0))
        out[key] = (round(100.0 * (ns - ns0) / 1e9 / elapsed, 3), round((sw - sw0) / elapsed))
    return out


class Pulse:
    """A private PulseAudio daemon with one stereo sink per call direction."""

    def __init__(self, scratch, memfd=True):
        self.dir = scratch
        for d in ("run", "state", "home"):
            os.makedirs(os.path.join(scratch, d), exist_ok=True)
        env = dict(os.environ, XDG_RUNTIME_DIR=f"{scratch}/run", PULSE_RUNTIME_PATH=f"{scratch}/run",
                   PULSE_STATE_PATH=f"{scratch}/state", HOME=f"{scratch}/home")
        loads = [f"module-native-protocol-unix socket={scratch}/native auth-anonymous=1"]
        for pair, (mic, spk) in {"ab": ("a_mic", "b_spk"), "ba": ("b_mic", "a_spk")}.items():
            loads.append(f"module-null-sink sink_name={pair} channels=2 channel_map=left,right rate={RATE}")
            loads.append(f"module-remap-sink sink_name={mic} master={pair} channels=1 "
                         "master_channel_map=left channel_map=mono remix=no")
            loads.append(f"module-remap-sink sink_name={spk} master={pair} channels=1 "
                         "master_channel_map=right channel_map=mono remix=no")
        # Shared memory as a desktop's server has it (memfd). Without it
        # libpulse maps and unmaps the server's whole pool for every recorded
        # fragment, which doubles the copies' CPU time.
        cmd = ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=false",
               f"--enable-memfd={'yes' if memfd else 'no'}", f"--log-target=file:{scratch}/pulse.log"]
        cmd += [f"--load={m}" for m in loads]
        self.proc = subprocess.Popen(cmd, env=env)
        for _ in range(200):
            if os.path.exists(f"{scratch}/native"):
                break
            time.sleep(0.05)
        else:
            self.stop()
            raise RuntimeError("the PulseAudio daemon did not start")
        self.env = dict(os.environ, PULSE_SERVER=f"unix:{scratch}/native", HOME=f"{scratch}/home",
                        XDG_RUNTIME_DIR=f"{scratch}/run")
        for k in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(k, None)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def wait_for_line(path, line, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with open(path) as f:
                if any(l.rstrip("\n") == line for l in f):
                    return True
        except OSError:
            pass
        time.sleep(0.05)
    return False


def stop(proc, seconds=10):
    if proc.poll() is None:
        proc.terminate()
    try:
        proc.wait(seconds)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def codec_format(args, codec):
    """(rate, frame ms) of a codec, from ambrel-codec next to the program."""
    tool = os.path.join(os.path.dirname(os.path.dirname(args.ambrel)), "audio", "tool", "ambrel-codec")
    out = subprocess.run([tool, "info", codec], capture_output=True, text=True).stdout
    info = dict(line.split(": ", 1) for line in out.splitlines() if ": " in line)
    rate = int(info["sample rate"].split()[0])
    return rate, int(info["samples per frame"]) * 1000 // rate


def floor_cpu(args, pulse, codec):
    """The sound server's client alone, as a copy in a call uses it."""
    try:
        rate, frame_ms = codec_format(args, codec)
    except (OSError, KeyError, ValueError):
        return None
    out = subprocess.run([args.floor, "--rate", str(rate), "--frame-ms", str(max(1, frame_ms)), "--seconds",
                          str(int(args.seconds)), "--sink", "a_spk", "--source", "a_mic.monitor"],
                         capture_output=True, text=True, env=pulse.env).stdout
    for word, nxt in zip(out.split(), out.split()[1:]):
        if word == "CPU":
            return float(nxt)
    return None


def one_call(args, pulse, codec, condition, seed, work):
    imp = CONDITIONS[condition]
    env = pulse.env
    pb, pa = free_udp_port(), free_udp_port()
    relay_cmd = [args.python, args.relay, "--listen", "0", "--to", f"127.0.0.1:{pb}", "--seed", str(seed),
                 "--duration", str(args.seconds + 60)]
    for k, v in imp.items():
        relay_cmd += [f"--{k.replace('_', '-')}", str(v)]
    relay = subprocess.Popen(relay_cmd, stdout=subprocess.PIPE, text=True)
    ready = relay.stdout.readline().split()
    if len(ready) != 2 or ready[0] != "ready":
        stop(relay)
        return {"error": "relay did not start"}
    pr = int(ready[1])
    stats = ["--stats", "1"] if args.stats else []
    if args.plain_capture:
        stats.append("--no-voice-processing")
    procs = {}
    outs = {n: os.path.join(work, f"{n}.out") for n in "ab"}

    def start(name, cmd):
        with open(outs[name], "w") as o, open(os.path.join(work, f"{name}.err"), "w") as e:
            procs[name] = subprocess.Popen([args.ambrel, "--headless", f"-a:{codec}"] + cmd + stats,
                                           stdout=o, stderr=e, env=env, cwd=work)

    result = {"codec": codec, "condition": condition}
    recs, plays = [], []
    try:
        start("b", [f"-l:{pb}:yes", "-i:b_mic.monitor", "-o:b_spk"])
        if not wait_for_line(outs["b"], "Listening...", 20):
            return dict(result, error="listener did not start")
        start("a", [f"-l:{pa}:no", f"-c:127.0.0.1:{pr}:yes", "-i:a_mic.monitor", "-o:a_spk"])
        if not (wait_for_line(outs["a"], "Connected.", 20) and wait_for_line(outs["b"], "Connected.", 20)):
            return dict(result, error="the call did not connect")
        for pair in ("ab", "ba"):
            recs.append(subprocess.Popen(
                ["parecord", "-d", f"{pair}.monitor", "--latency-msec=30", "--channels=2", f"--rate={RATE}",
                 "--format=s16le", "--file-format=wav", os.path.join(work, f"{pair}.wav")], env=env))
        time.sleep(0.5)
        t0 = time.monotonic()
        cpu0 = {n: cpu_sample(p.pid) for n, p in procs.items()}
        for mic, sig in (("a_mic", "sig_a.wav"), ("b_mic", "sig_b.wav")):
            plays.append(subprocess.Popen(["paplay", "-d", mic, "--latency-msec=60", os.path.join(work, sig)],
                                          env=env))
        for p in plays:
            p.wait(args.seconds + 30)
        # Let the tail arrive: the largest delay expected plus any stall.
        time.sleep(1.5 + imp.get("stall", 0) / 1000.0)
        elapsed = time.monotonic() - t0
        cpu1 = {n: cpu_sample(p.pid) for n, p in procs.items()}
        both = [n for n in procs if cpu0[n] is not None and cpu1[n] is not None]
        result["cpu_pct"] = {n: round(100.0 * (cpu1[n][0] - cpu0[n][0]) / 1e9 / elapsed, 2) for n in both}
        result["wakeups_per_s"] = {n: round((cpu1[n][1] - cpu0[n][1]) / elapsed) for n in both}
        if args.threads:
            result["threads"] = {n: thread_shares(cpu0[n], cpu1[n], elapsed) for n in both}
    finally:
        for p in plays + recs:
            stop(p)
        for p in procs.values():
            stop(p)
        stop(relay)
        tail = relay.stdout.read()
    result["relay"] = {line.split()[0]: dict(kv.split("=") for kv in line.split()[1:])
                       for line in tail.splitlines() if line[:3] in ("a>b", "b>a")}
    for n in "ab":
        with open(outs[n]) as f:
            lines = [l.strip() for l in f if l.strip()]
        result[f"stats_{n}"] = [l for l in lines if l not in ("Listening...", "Connected.", "Disconnected.")][-3:]
    max_lag = 4000 + imp.get("stall", 0)
    for pair in ("ab", "ba"):
        path = os.path.join(work, f"{pair}.wav")
        try:
            result[pair] = analyse(path, max_lag)
        except Exception as e:  # a broken recording is a result, not a crash
            result[pair] = {"error": str(e)}
        if args.keep:
            shutil.copy(path, os.path.join(args.keep, f"{codec}-{condition}-{seed}-{pair}.wav"))
    return result


def fmt_range(values, digits=0):
    if not values:
        return "-"
    lo, hi = min(values), max(values)
    f = f"{{:.{digits}f}}"
    return f.format(lo) if f.format(lo) == f.format(hi) else f"{f.format(lo)}..{f.format(hi)}"


def on_terminate(*_):
    raise KeyboardInterrupt


def main():
    p = argparse.ArgumentParser(description="Delay and gaps of calls through an impairing relay.")
    p.add_argument("--ambrel", default=os.path.join(HERE, "..", "build", "src", "app", "ambrel"))
    p.add_argument("--relay", default=os.path.join(HERE, "..", "tests", "support", "impair_relay.py"))
    p.add_argument("--codecs", default=",".join(DEFAULT_CODECS))
    p.add_argument("--conditions", default=",".join(DEFAULT_CONDITIONS))
    p.add_argument("--seconds", type=float, default=15.0, help="length of the test signal")
    p.add_argument("--repeat", type=int, default=1)
    p.add_argument("--json", help="write every run's results to this file")
    p.add_argument("--no-memfd", action="store_true", help="the sound server shares memory without memfd")
    p.add_argument("--keep", help="keep the stereo recordings in this directory")
    p.add_argument("--floor", help="bench/pulse_floor program: measure the sound server's client alone per codec")
    p.add_argument("--threads", action="store_true",
                   help="also give each thread's CPU share and wake-ups a second (name/tid)")
    p.add_argument("--stats", action="store_true", default=None,
                   help="pass --stats 1 to the copies (default: when their --help lists it)")
    p.add_argument("--voice-processing", action="store_true",
                   help="leave the copies' echo cancellation, noise suppression and gain control on (by default "
                        "they are off, so the figures are the network path's: noise suppression takes the "
                        "steady test signal for noise)")
    args = p.parse_args()
    args.python = sys.executable
    args.ambrel = os.path.abspath(args.ambrel)
    if not os.access(args.ambrel, os.X_OK):
        sys.exit(f"no ambrel program at {args.ambrel} (build the ambrel target or pass --ambrel)")
    if args.stats is None:
        help_text = subprocess.run([args.ambrel, "--help"], capture_output=True, text=True).stdout
        args.stats = "--stats" in help_text
    help_text = subprocess.run([args.ambrel, "--help"], capture_output=True, text=True).stdout
    args.plain_capture = not args.voice_processing and "--no-voice-processing" in help_text
    for tool in ("pulseaudio", "paplay", "parecord"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is not installed")
    codecs = args.codecs.split(",")
    conditions = args.conditions.split(",")
    for c in conditions:
        if c not in CONDITIONS:
            sys.exit(f"unknown condition {c} (known: {', '.join(CONDITIONS)})")
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)

    scratch = tempfile.mkdtemp(prefix="ambrel-probe-")
    results = []
    pulse = None
    signal.signal(signal.SIGTERM, on_terminate)
    try:
        pulse = Pulse(os.path.join(scratch, "pulse"), memfd=not args.no_memfd)
        work = os.path.join(scratch, "call")
        os.makedirs(work)
        write_wav(os.path.join(work, "sig_a.wav"), make_signal(11, args.seconds))
        write_wav(os.path.join(work, "sig_b.wav"), make_signal(22, args.seconds))
        floors = {}
        if args.floor:
            for codec in codecs:
                floors[codec] = floor_cpu(args, pulse, codec)
                print(f"{codec:12} floor (sound server client alone): {floors[codec]} % of one core", flush=True)
        for rep in range(args.repeat):
            for codec in codecs:
                for cond in conditions:
                    r = one_call(args, pulse, codec, cond, 1 + rep, work)
                    r["repeat"] = rep
                    if codec in floors:
                        r["floor_pct"] = floors[codec]
                    results.append(r)
                    line = [f"{codec:12} {cond:10}"]
                    for pair in ("ab", "ba"):
                        m = r.get(pair, {})
                        if "delay_ms" in m:
                            last3 = "    ?" if m["last3_ms"] is None else f"{m['last3_ms']:5.0f}"
                            line.append(f"{pair[0]}>{pair[1]} delay {m['delay_ms']:5.0f} last3 {last3}"
                                        f" silent {m['silent_pct']:5.1f}%")
                        else:
                            line.append(f"{pair[0]}>{pair[1]} {m.get('error', r.get('error', '?'))}")
                    line.append(f"cpu {r.get('cpu_pct', {})} wake-ups/s {r.get('wakeups_per_s', {})}")
                    print("  ".join(line), flush=True)
                    for n, threads in sorted(r.get("threads", {}).items()):
                        busy = sorted(threads.items(), key=lambda kv: -kv[1][0])
                        print(f"    {n} threads: " + ", ".join(f"{k} {c:.2f}% {w}/s" for k, (c, w) in busy if c or w),
                              flush=True)
                    for n in "ab":
                        if r.get(f"stats_{n}"):
                            print(f"    {n}: " + " | ".join(r[f"stats_{n}"]), flush=True)
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
    finally:
        if pulse:
            pulse.stop()
        shutil.rmtree(scratch, ignore_errors=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)

    print()
    print(f"{'codec':12} {'condition':10} {'dir':4} {'delay ms':>12} {'last3 ms':>12} {'silent %':>11}")
    for codec in codecs:
        for cond in conditions:
            runs = [r for r in results if r["codec"] == codec and r["condition"] == cond]
            for pair in ("ab", "ba"):
                ok = [r[pair] for r in runs if "delay_ms" in r.get(pair, {})]
                print(f"{codec:12} {cond:10} {pair[0]}>{pair[1]:2} {fmt_range([m['delay_ms'] for m in ok]):>12} "
                      f"{fmt_range([m['last3_ms'] for m in ok if m['last3_ms'] is not None]):>12} "
                      f"{fmt_range([m['silent_pct'] for m in ok], 1):>11}"
                      + (f"  ({len(runs) - len(ok)} failed)" if len(ok) < len(runs) else ""))
    cpu = [v for r in results for v in r.get("cpu_pct", {}).values()]
    if cpu:
        print(f"CPU per copy during a full-duplex call: {fmt_range(cpu, 2)} % of one core")
    wakeups = [v for r in results for v in r.get("wakeups_per_s", {}).values()]
    if wakeups:
        print(f"Thread wake-ups per copy: {fmt_range(wakeups)} a second")
    return 0 if results and all("delay_ms" in r.get(p, {}) for r in results for p in ("ab", "ba")) else 1


if __name__ == "__main__":
    sys.exit(main())
