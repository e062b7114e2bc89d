#!/usr/bin/env python3
"""Hands-free calls: what comes back of an echo path, and what is left of the
far talker, with our voice processing, the sound server's own canceller, and
none.

Two headless ambrel copies call each other through a private PulseAudio
daemon. What goes into A's microphone and what comes out of A's speaker are
the two channels of one null sink, recorded on one clock. B's microphone and
speaker are null sinks of their own, joined by an echo path the server makes
(module-loopback from B's speaker's monitor into B's microphone, at a given
gain and delay: a room). The script of every call, in seconds:

   0.. 8  A talks alone          A hears its own voice come back from B's room
   8..14  B talks alone          A hears B
  14..20  both talk              A hears B over its own echo (double talk)
  20..28  nobody; B's room has steady noise at -40 dBFS from 20 s

Figures, in dB against the talker's own level at its microphone:
  echo3     what A hears of itself while it talks alone, from 3 s on
  echo1.5   the same over the first 1.5 s (the canceller converging)
  B         what A hears of B alone
  DT        what A hears of B in double talk; r: envelope correlation with B
  noise     what A hears of B's room noise while nobody talks (against -40 dBFS)
  chg       for a path that changes at 4 s (its delay or gain): what A hears of
            itself from 6 s to 8 s, 2 s after the change (echo3 then spans it)

Each path runs three ways: "none" (both copies with --no-voice-processing),
"ours" (both with it on, the default) and "server" (B records and plays
through the server's module-echo-cancel aec_method=webrtc on the same path,
both copies without processing); "speex" is the same module with speexdsp's
canceller (aec_method=speex), when asked for. A quiet run has B 20 dB
quieter.

  cmake --build build --target ambrel
  bench/call-echo.sh                         # all paths, about 5 minutes
  bench/call-echo.sh --paths 6:40 --ways ours,server
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import wave

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from call_probe import cpu_sample, free_udp_port, stop, wait_for_line  # noqa: E402

RATE = 16000
HERE = os.path.dirname(os.path.abspath(__file__))
A_TEXT = ("The quick brown fox jumps over the lazy dog while the farmer counts his sheep in the "
          "morning light. Seven silver swans swim slowly across the quiet lake near the old mill.")
B_TEXT = ("Please call me back tomorrow afternoon when you have checked the numbers for the new "
          "order. We need to know the price before Friday, and the delivery date as well.")
TALKER_DB = -20.0  # rms of a talker at its microphone, dBFS
NOISE_DB = -40.0


def dbfs(rms):
    return 20 * np.log10(max(rms, 1e-9) / 32768.0)


def rms(x):
    return float(np.sqrt(np.mean(np.square(x.astype(np.float64))))) if len(x) else 0.0


def speech(text, voice, seconds, work, name):
    """espeak-ng speech at 16 kHz, repeated to `seconds`, at TALKER_DB rms."""
    raw, wav = os.path.join(work, name + "-22k.wav"), os.path.join(work, name + "-16k.wav")
    subprocess.run(["espeak-ng", "-v", voice, "-s", "160", "-w", raw, text], check=True)
    subprocess.run(["sox", "-D", raw, "-r", str(RATE), "-c", "1", "-b", "16", wav], check=True)
    with wave.open(wav) as w:
        x = np.frombuffer(w.readframes(w.getnframes()), dtype=np.int16).astype(np.float64)
    n = int(seconds * RATE)
    x = np.tile(x, n // len(x) + 1)[:n]
    return x * (32768 * 10 ** (TALKER_DB / 20) / rms(x))


def write_wav(path, x):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(np.clip(x, -32768, 32767).astype(np.int16).tobytes())


def scripts(work, quiet):
    """The three microphone feeds: A's voice, B's voice, B's room noise."""
    n = 28 * RATE
    a, b, noise = np.zeros(n), np.zeros(n), np.zeros(n)
    sa = speech(A_TEXT, "en-us", 14, work, "a")
    sb = speech(B_TEXT, "en+f3", 12, work, "b") * (0.1 if quiet else 1.0)
    a[0:8 * RATE] = sa[0:8 * RATE]
    a[14 * RATE:20 * RATE] = sa[8 * RATE:14 * RATE]
    b[8 * RATE:20 * RATE] = sb
    rng = np.random.default_rng(7)
    noise[20 * RATE:] = rng.normal(0, 32768 * 10 ** (NOISE_DB / 20), n - 20 * RATE)
    for name, x in (("sig_a", a), ("sig_b", b), ("noise_b", noise)):
        write_wav(os.path.join(work, name + ".wav"), x)
    return a, b


class Pulse:
    def __init__(self, scratch):
        for d in ("run", "state", "home"):
            os.makedirs(os.path.join(scratch, d), exist_ok=True)
        env = dict(os.environ, XDG_RUNTIME_DIR=f"{scratch}/run", PULSE_RUNTIME_PATH=f"{scratch}/run",
                   PULSE_STATE_PATH=f"{scratch}/state", HOME=f"{scratch}/home")
        loads = [f"module-native-protocol-unix socket={scratch}/native auth-anonymous=1",
                 f"module-null-sink sink_name=a channels=2 channel_map=left,right rate={RATE}",
                 "module-remap-sink sink_name=a_mic master=a channels=1 master_channel_map=left "
                 "channel_map=mono remix=no",
                 "module-remap-sink sink_name=a_spk master=a channels=1 master_channel_map=right "
                 "channel_map=mono remix=no",
                 f"module-null-sink sink_name=b_mic channels=1 rate={RATE}",
                 f"module-null-sink sink_name=b_spk channels=1 rate={RATE}"]
        cmd = ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=false",
               f"--log-target=file:{scratch}/pulse.log"] + [f"--load={m}" for m in loads]
        self.proc = subprocess.Popen(cmd, env=env)
        for _ in range(200):
            if os.path.exists(f"{scratch}/native"):
                break
            time.sleep(0.05)
        self.env = dict(os.environ, PULSE_SERVER=f"unix:{scratch}/native", HOME=f"{scratch}/home",
                        XDG_RUNTIME_DIR=f"{scratch}/run")
        for k in ("DISPLAY", "WAYLAND_DISPLAY"):
            self.env.pop(k, None)

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True).stdout.strip()

    def load(self, *args):
        return self.pactl("load-module", *args)

    def sink_input_of(self, module):
        current = None
        for line in self.pactl("list", "sink-inputs").splitlines():
            line = line.strip()
            if line.startswith("Sink Input #"):
                current = line.split("#")[1]
            elif line.startswith("Owner Module:") and line.split(":")[1].strip() == module:
                return current
        return None

    def stop(self):
        stop(self.proc)


def window(x, t0, a, b):
    return x[t0 + int(a * RATE):t0 + int(b * RATE)]


def env20(x):
    n = len(x) // 320
    return np.sqrt(np.mean(np.square(x[:n * 320].reshape(n, 320)), axis=1))


def envelope_corr(heard, said, max_lag):
    """Best correlation of 20 ms envelopes over lags 0..max_lag windows."""
    eh, es = env20(heard), env20(said)
    best = -1.0
    for lag in range(0, max_lag + 1):
        h = eh[lag:lag + len(es)]
        if len(h) < len(es) // 2:
            break
        s = es[:len(h)]
        if np.std(h) > 0 and np.std(s) > 0:
            best = max(best, float(np.corrcoef(h, s)[0, 1]))
    return best


def analyse(path, sig_a, sig_b):
    with wave.open(path) as w:
        d = np.frombuffer(w.readframes(w.getnframes()), dtype=np.int16).reshape(-1, 2).astype(np.float64)
    mic, spk = d[:, 0], d[:, 1]
    loud = np.nonzero(np.abs(mic) > 300)[0]
    if len(loud) == 0:
        return {"error": "no sound at A's microphone"}
    t0 = int(loud[0])
    lb3 = rms(sig_b[14 * RATE:20 * RATE])
    # A's echo comes back about a round trip (0.2-0.4 s) late, B's voice
    # about half of one: a window on A's speaker ends before the next phase
    # can reach it. The talkers' own levels are steady over a phase.
    r = {
        "echo3": dbfs(rms(window(spk, t0, 3, 8))) - dbfs(rms(sig_a[3 * RATE:8 * RATE])),
        "echo1.5": dbfs(rms(window(spk, t0, 0, 1.8))) - dbfs(rms(sig_a[0:int(1.5 * RATE)])),
        "B": dbfs(rms(window(spk, t0, 8.5, 14))) - dbfs(rms(sig_b[9 * RATE:14 * RATE])),
        "DT": dbfs(rms(window(spk, t0, 14.5, 20))) - dbfs(lb3),
        "r": envelope_corr(window(spk, t0, 14.5, 20.5), sig_b[int(14.5 * RATE):20 * RATE], 40),
        "noise": dbfs(rms(window(spk, t0, 25, 28))) - NOISE_DB,
        # After a change of the path at 4 s: the last 2 s A talks alone.
        "chg": dbfs(rms(window(spk, t0, 6, 8))) - dbfs(rms(sig_a[6 * RATE:8 * RATE])),
    }
    return r


def echo_path(pulse, gain_db, delay_ms):
    loop = pulse.load("module-loopback", "source=b_spk.monitor", "sink=b_mic", f"latency_msec={delay_ms}",
                      "adjust_time=0")
    for _ in range(50):
        si = pulse.sink_input_of(loop)
        if si:
            pulse.pactl("set-sink-input-volume", si, f"{gain_db}dB" if gain_db < 0 else "100%")
            break
        time.sleep(0.1)
    return loop


def one_call(args, pulse, way, gain_db, delay_ms, work, sig_a, sig_b, change=None):
    # The server's canceller moves its master source's volume (its gain
    # control): every call starts from full volume everywhere.
    for kind, name in (("sink", "a"), ("sink", "a_mic"), ("sink", "a_spk"), ("sink", "b_mic"), ("sink", "b_spk"),
                       ("source", "a.monitor"), ("source", "b_mic.monitor"), ("source", "b_spk.monitor")):
        pulse.pactl(f"set-{kind}-volume", name, "100%")
    mods = [echo_path(pulse, gain_db, delay_ms)]
    b_in, b_out = "b_mic.monitor", "b_spk"
    if way in ("server", "speex"):
        method = "webrtc" if way == "server" else "speex"
        mods.append(pulse.load("module-echo-cancel", f"aec_method={method}", "source_master=b_mic.monitor",
                               "sink_master=b_spk", "source_name=b_ec_src", "sink_name=b_ec_sink",
                               f"rate={RATE}", "channels=1"))
        b_in, b_out = "b_ec_src", "b_ec_sink"
    extra = [] if way == "ours" else ["--no-voice-processing"]
    pb = free_udp_port()
    procs, recs, plays = {}, [], []
    outs = {n: os.path.join(work, f"{n}.out") for n in "ab"}

    def start(name, cmd):
        with open(outs[name], "w") as o, open(os.path.join(work, f"{name}.err"), "w") as e:
            procs[name] = subprocess.Popen([args.ambrel, "--headless", "-a:speex_16khz", "--stats", "1"] + cmd
                                           + extra, stdout=o, stderr=e, env=pulse.env, cwd=work)

    result = {}
    try:
        start("b", [f"-l:{pb}:yes", f"-i:{b_in}", f"-o:{b_out}"])
        if not wait_for_line(outs["b"], "Listening...", 20):
            return {"error": "B did not listen"}
        start("a", [f"-c:127.0.0.1:{pb}:yes", "-i:a_mic.monitor", "-o:a_spk"])
        if not (wait_for_line(outs["a"], "Connected.", 20) and wait_for_line(outs["b"], "Connected.", 20)):
            return {"error": "the call did not connect"}
        rec = os.path.join(work, "a.wav")
        recs.append(subprocess.Popen(["parecord", "-d", "a.monitor", "--latency-msec=30", "--channels=2",
                                      f"--rate={RATE}", "--format=s16le", "--file-format=wav", rec],
                                     env=pulse.env))
        time.sleep(1.0)
        t0 = time.monotonic()
        cpu0 = {n: cpu_sample(p.pid) for n, p in procs.items()}
        for dev, sig in (("a_mic", "sig_a"), ("b_mic", "sig_b"), ("b_mic", "noise_b")):
            plays.append(subprocess.Popen(["paplay", "-d", dev, "--latency-msec=60",
                                           os.path.join(work, sig + ".wav")], env=pulse.env))
        if change:
            # At 4 s, while A talks alone, the room changes: a new path.
            time.sleep(4.0 - (time.monotonic() - t0))
            pulse.pactl("unload-module", mods.pop(0))
            mods.insert(0, echo_path(pulse, *change))
        for p in plays:
            p.wait(60)
        time.sleep(1.0)
        elapsed = time.monotonic() - t0
        cpu1 = {n: cpu_sample(p.pid) for n, p in procs.items()}
        result["cpu"] = {n: round(100.0 * (cpu1[n][0] - cpu0[n][0]) / 1e9 / elapsed, 2)
                         for n in procs if cpu0[n] and cpu1[n]}
    finally:
        for p in plays + recs:
            stop(p)
        for p in procs.values():
            stop(p)
        for m in reversed(mods):
            pulse.pactl("unload-module", m)
    with open(outs["b"]) as f:
        stats = [l.strip() for l in f if l.startswith("stats:")]
    result["stats_b"] = stats[-1] if stats else ""
    if os.environ.get("ECHO_PROBE_STATS"):
        print("\n".join(s[-60:] for s in stats), file=sys.stderr)
    result.update(analyse(rec, sig_a, sig_b))
    if args.keep:
        shutil.copy(rec, os.path.join(args.keep, f"{way}-{gain_db}dB-{delay_ms}ms.wav"))
    return result


def on_terminate(*_):
    raise KeyboardInterrupt


def main():
    signal.signal(signal.SIGTERM, on_terminate)
    p = argparse.ArgumentParser(description="Echo, far talker and noise through a server-made echo path.")
    p.add_argument("--ambrel", default=os.path.join(HERE, "..", "build", "src", "app", "ambrel"))
    p.add_argument("--paths", default="-6:40,0:120", help="GAIN_DB:DELAY_MS,... of the echo path")
    p.add_argument("--ways", default="none,ours,server")
    p.add_argument("--quiet", default="-6:40", help="paths also run with B 20 dB quieter ('' for none)")
    p.add_argument("--changes", default="-6:40>-6:120,-6:40>0:40",
                   help="paths that change at 4 s: GAIN:DELAY>GAIN:DELAY,... ('' for none)")
    p.add_argument("--keep", help="keep the recordings in this directory")
    args = p.parse_args()
    args.ambrel = os.path.abspath(args.ambrel)
    for tool in ("pulseaudio", "paplay", "parecord", "pactl", "espeak-ng", "sox"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is not installed")
    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="ambrel-echo-")
    pulse = Pulse(os.path.join(scratch, "pulse"))
    work = os.path.join(scratch, "call")
    os.makedirs(work)
    cols = ["echo3", "echo1.5", "B", "DT", "r", "noise", "chg"]
    print(f"{'path':20} {'talker':7} {'way':7} " + " ".join(f"{c:>7}" for c in cols) + "   cpu % (a, b)")
    try:
        runs = [(path, False) for path in args.paths.split(",") if path]
        runs += [(path, True) for path in args.quiet.split(",") if path]
        runs += [(path, False) for path in args.changes.split(",") if path]
        for path, quiet in runs:
            first, _, then = path.partition(">")
            gain, delay = (int(v) for v in first.split(":"))
            change = tuple(int(v) for v in then.split(":")) if then else None
            sig_a, sig_b = scripts(work, quiet)
            for way in args.ways.split(","):
                r = one_call(args, pulse, way, gain, delay, work, sig_a, sig_b, change)
                label = f"{gain}dB/{delay}ms" + (f">{change[0]}dB/{change[1]}ms" if change else "")
                if "error" in r:
                    print(f"{label:20} {'quiet' if quiet else 'usual':7} {way:7} {r['error']}", flush=True)
                    continue
                figures = " ".join(f"{r[c]:7.2f}" if c == "r" else f"{r[c]:7.1f}" for c in cols)
                cpu = r.get("cpu", {})
                print(f"{label:20} {'quiet' if quiet else 'usual':7} {way:7} {figures}   "
                      f"{cpu.get('a', '-')}, {cpu.get('b', '-')}   {r['stats_b'][-48:]}", flush=True)
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
    finally:
        pulse.stop()
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
