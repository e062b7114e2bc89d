#!/usr/bin/env python3
"""A call between two headless copies (WAV files as sound cards) through a
relay that loses, delays, reorders and duplicates datagrams: the call must
connect, the relay must have done what it was told, and each side must write
sound that follows what the other side recorded. Where the program reports
playout counters (--stats), frames must have been concealed.

    call_impair_test.py AMBREL IMPAIR_RELAY
"""
import math
import os
import random
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time
import wave

RATE = 16000
BLOCK = 160  # 10 ms


def write_signal(path, seed, seconds):
    """A 300 Hz tone whose level jumps every 60 ms within -18..0 dB: the level
    pattern identifies the sound after any codec and delay."""
    rng = random.Random(seed)
    steps = [10 ** (rng.uniform(-18, 0) / 20) for _ in range(int(seconds * 1000 / 60) + 1)]
    frames = bytearray()
    for i in range(int(seconds * RATE)):
        v = 12000 * steps[i * 1000 // 60 // RATE] * math.sin(2 * math.pi * 300 * i / RATE)
        frames += int(v).to_bytes(2, "little", signed=True)
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(bytes(frames))


def levels(path):
    """Mean magnitude of each 10 ms block (files at any rate)."""
    with wave.open(path, "rb") as w:
        rate, n = w.getframerate(), w.getnframes()
        data = w.readframes(n)
    block = rate // 100
    samples = [int.from_bytes(data[i:i + 2], "little", signed=True) for i in range(0, len(data) - 1, 2)]
    return [sum(abs(s) for s in samples[k:k + block]) / block for k in range(0, len(samples) - block + 1, block)]


def match(sent, chunk):
    """Highest Pearson correlation of a piece of the heard levels with the sent
    levels at any offset, and that offset. Silent (lost) blocks of the heard
    piece and the 30 ms around them do not count."""
    floor = sorted(chunk)[len(chunk) // 2] / 30
    keep = [i for i in range(len(chunk)) if min(chunk[max(0, i - 3):i + 4]) > floor]
    if len(keep) < len(chunk) // 2:
        return 0.0, None
    y = [chunk[i] for i in keep]
    my = sum(y) / len(y)
    dy = [v - my for v in y]
    ny = math.sqrt(sum(d * d for d in dy))
    best = (0.0, None)
    for at in range(0, len(sent) - len(chunk)):
        x = [sent[at + i] for i in keep]
        mx = sum(x) / len(x)
        nx = math.sqrt(sum((v - mx) ** 2 for v in x))
        c = sum(a * b for a, b in zip(x, dy)) / (nx * ny) if nx * ny > 0 else 0.0
        if c > best[0]:
            best = (c, at)
    return best


def follows(sent, heard):
    """Whether the heard levels follow the sent ones: 1 s pieces of the heard
    sound, each matched on its own (late datagrams push the rest of the sound
    later, so one offset does not fit the whole call), at least two matching
    well at about the same offset. The wrong sound matches a piece at up to
    about 0.8 by chance, at offsets all over the place."""
    offsets = []
    for start in range(100, len(heard) - 100, 100):
        c, at = match(sent, heard[start:start + 100])
        print(f"  piece at {start / 100:.0f} s: correlation {c:.2f}, offset {None if at is None else at - start}")
        if c > 0.85:
            offsets.append(at - start)
    return any(sum(abs(o - p) <= 25 for o in offsets) >= 2 for p in offsets)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(path, line, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with open(path) as f:
            if line in f.read().splitlines():
                return True
        time.sleep(0.05)
    return False


def show_output(d):
    for name in ("a", "b"):
        for ext in (".out", ".err"):
            path = os.path.join(d, name + ext)
            if os.path.exists(path):
                with open(path) as f:
                    print(f"--- copy {name} {ext[1:]}:\n{f.read()}")


def main():
    ambrel, relay_script = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)
            print("FAILED:", what)

    with tempfile.TemporaryDirectory(prefix="ambrel-impair-") as d:
        # The copies record from the start of the files: the signals outlast the call.
        write_signal(os.path.join(d, "a.wav"), 1, 20)
        write_signal(os.path.join(d, "b.wav"), 2, 20)
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        help_text = subprocess.run([ambrel, "--help"], capture_output=True, text=True, env=env).stdout
        stats = ["--stats", "1"] if "--stats" in help_text else []
        pb, pa = free_port(), free_port()
        relay = subprocess.Popen([sys.executable, relay_script, "--listen", "0", "--to", f"127.0.0.1:{pb}",
                                  "--loss", "5", "--jitter", "20", "--reorder", "2", "--duplicate", "2",
                                  "--seed", "7", "--duration", "90"], stdout=subprocess.PIPE, text=True)
        procs = []
        try:
            ready = relay.stdout.readline().split()
            check(len(ready) == 2 and ready[0] == "ready", "the relay starts")
            if failures:
                return 1
            outs = {}
            for name, args in (("b", [f"-l:{pb}:yes"]), ("a", [f"-l:{pa}:no", f"-c:127.0.0.1:{ready[1]}:yes"])):
                outs[name] = os.path.join(d, name + ".out")
                with open(outs[name], "w") as o, open(os.path.join(d, name + ".err"), "w") as e:
                    procs.append(subprocess.Popen(
                        [ambrel, "--headless", "--record-file", name + ".wav", "--play-file", name + "_heard.wav"]
                        + args + stats, stdout=o, stderr=e, cwd=d, env=env))
                if name == "b":
                    check(wait_for(outs["b"], "Listening..."), "the listener starts")
            check(wait_for(outs["a"], "Connected."), "the caller connects through the relay")
            check(wait_for(outs["b"], "Connected."), "the listener takes the call")
            if failures:
                show_output(d)
                return 1
            time.sleep(12)
            for p in procs:
                p.send_signal(signal.SIGTERM)
            for p in procs:
                try:
                    check(p.wait(30) == 0, "a copy ends cleanly on SIGTERM")
                except subprocess.TimeoutExpired:
                    check(False, "a copy ends within 30 s of SIGTERM")
            relay.send_signal(signal.SIGTERM)
            report = relay.stdout.read()
            relay.wait(30)
        finally:
            for p in procs + [relay]:
                if p.poll() is None:
                    p.kill()
                    p.wait()

        counts = {}
        for line in report.splitlines():
            parts = line.split()
            if parts and parts[0] in ("a>b", "b>a"):
                counts[parts[0]] = {k: int(v) for k, v in (kv.split("=") for kv in parts[1:])}
        for way in ("a>b", "b>a"):
            c = counts.get(way)
            check(c is not None, f"the relay reports {way}")
            if not c:
                continue
            print(way, c)
            # About 12 datagrams a second for 12 s; 5 % of them lost.
            check(c["received"] >= 60, f"{way}: datagrams flow ({c['received']})")
            check(0 < c["dropped"] < c["received"] * 0.2, f"{way}: about one in twenty lost ({c['dropped']})")
            check(c["duplicated"] > 0 and c["reordered"] > 0, f"{way}: some duplicated and reordered")
            expected = c["received"] - c["dropped"] + c["duplicated"]
            # Only datagrams still held when the relay stopped may be missing.
            check(expected - 3 <= c["sent"] <= expected, f"{way}: every datagram accounted for")

        for sent, heard in (("a.wav", "b_heard.wav"), ("b.wav", "a_heard.wav")):
            print(f"{heard} against {sent}:")
            check(follows(levels(os.path.join(d, sent)), levels(os.path.join(d, heard))), f"{heard} follows {sent}")

        if stats:
            for name in ("a", "b"):
                with open(outs[name]) as f:
                    text = f.read()
                concealed = [int(n) for n in re.findall(r"conceal\w*\D{0,3}(\d+)", text, re.IGNORECASE)]
                check(concealed and max(concealed) > 0, f"copy {name} counts concealed frames:\n{text}")

        if failures:
            show_output(d)
    print("FAILED" if failures else "passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
