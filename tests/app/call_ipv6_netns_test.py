#!/usr/bin/env python3
"""IPv6 between two network namespaces made here (a veth pair, fd00::/8): a
listener on fd00::1 (its loopback down) allowing only fd00::2 takes a call from a name (hosts
entries for 10.255.255.1 and fd00::1) with sound both ways, and ignores a
stranger on fd00::3 by name "[fd00::3]:PORT". With IPv6 disabled a listener
says once that it answers on IPv4 only, takes an IPv4 call, and a call to
[::1] fails cleanly. Needs root and `ip netns` (else exit 77).

    call_ipv6_netns_test.py AMBREL
"""
import math
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import wave

RATE = 16000


def skip(why):
    print("skipped: " + why)
    sys.exit(77)


def run(*args, check=True):
    return subprocess.run(args, check=check, capture_output=True)


def write_tone(path, hz, seconds):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(b"".join(int(9000 * math.sin(2 * math.pi * hz * i / RATE)).to_bytes(2, "little", signed=True)
                               for i in range(int(seconds * RATE))))


def tone_power(path, hz):
    """Goertzel power of one frequency over the whole file."""
    with wave.open(path, "rb") as w:
        rate, data = w.getframerate(), w.readframes(w.getnframes())
    coeff = 2 * math.cos(2 * math.pi * hz / rate)
    s1 = s2 = 0.0
    n = 0
    for i in range(0, len(data) - 1, 2):
        s0 = int.from_bytes(data[i:i + 2], "little", signed=True) + coeff * s1 - s2
        s2, s1 = s1, s0
        n += 1
    return (s1 * s1 + s2 * s2 - coeff * s1 * s2) / max(1, n)


def wait_for(path, text, seconds=20):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        with open(path, errors="replace") as f:
            if text in f.read():
                return True
        time.sleep(0.1)
    return False


def main():
    ambrel = os.path.abspath(sys.argv[1])
    if os.geteuid() != 0:
        skip("network namespaces need root")
    if shutil.which("ip") is None:
        skip("the ip command (iproute2) is not installed")
    tag = "amb%d%d" % (os.getpid() % 10000, random.randrange(100))
    ns_a, ns_b, ns_c = tag + "a", tag + "b", tag + "c"
    if run("ip", "netns", "add", ns_a, check=False).returncode != 0:
        skip("ip netns add fails here")
    made = [ns_a]
    hosts_dir = "/etc/netns/" + ns_b
    made_etc_netns = not os.path.isdir("/etc/netns")
    work = tempfile.mkdtemp(prefix="ambrel-ipv6-")
    procs = []
    failures = []

    def check(ok, what):
        print(("ok: " if ok else "FAILED: ") + what)
        if not ok:
            failures.append(what)
        return ok

    def copy(ns, name, args):
        out = open(os.path.join(work, name + ".out"), "w")
        p = subprocess.Popen(["ip", "netns", "exec", ns, ambrel, "--headless"] + args, cwd=work, stdout=out,
                             stderr=subprocess.STDOUT)
        procs.append(p)
        return p, os.path.join(work, name + ".out")

    def stop(p):
        p.send_signal(signal.SIGTERM)
        return p.wait(30)

    try:
        for ns in (ns_b, ns_c):
            run("ip", "netns", "add", ns)
            made.append(ns)
        run("ip", "link", "add", tag + "x", "netns", ns_a, "type", "veth", "peer", "name", tag + "y", "netns", ns_b)
        # fd00::3 is deprecated, so the system never picks it as a source:
        # only the stranger, bound to it, sends from there. The listener's
        # loopback stays down: IPv6 on its veth alone is IPv6 all the same.
        for ns, dev, addrs in ((ns_a, tag + "x", [["fd00::1/64"]]),
                               (ns_b, tag + "y", [["fd00::2/64"], ["fd00::3/64", "preferred_lft", "0"]])):
            if ns != ns_a:
                run("ip", "netns", "exec", ns, "ip", "link", "set", "lo", "up")
            for a in addrs:
                run("ip", "netns", "exec", ns, "ip", "-6", "addr", "add", a[0], "dev", dev, "nodad", *a[1:])
            run("ip", "netns", "exec", ns, "ip", "link", "set", dev, "up")
        os.makedirs(hosts_dir)
        with open(os.path.join(hosts_dir, "hosts"), "w") as f:
            f.write("127.0.0.1 localhost\n10.255.255.1 listener.test\nfd00::1 listener.test\n")
        write_tone(os.path.join(work, "a.wav"), 440, 8)
        write_tone(os.path.join(work, "b.wav"), 660, 8)
        port = 5007

        # The listener on fd00::1 lets only fd00::2 in.
        listener, l_out = copy(ns_a, "listener", ["-l:%d:yes" % port, "--allow", "fd00::2/128", "--record-file",
                                                  "a.wav", "--play-file", "a_heard.wav"])
        check(wait_for(l_out, "Listening..."), "the listener starts")
        # The stranger on fd00::3 speaks first: were it let in, it would take the call.
        stranger = subprocess.Popen(
            ["ip", "netns", "exec", ns_b, sys.executable, "-c",
             "import socket,time\n"
             "s=socket.socket(socket.AF_INET6,socket.SOCK_DGRAM)\n"
             "s.bind(('fd00::3',40001))\n"
             "for i in range(50):\n"
             "    s.sendto(bytes([0])+bytes(range(1,41)),('fd00::1',%d)); time.sleep(0.02)\n" % port])
        procs.append(stranger)
        stranger.wait(30)
        caller, c_out = copy(ns_b, "caller", ["-c:listener.test:%d:yes" % port, "--record-file", "b.wav",
                                              "--play-file", "b_heard.wav"])
        check(wait_for(c_out, "Connected."), "the caller connects to listener.test")
        check(wait_for(l_out, "Connected."), "the listener takes the call")
        check(wait_for(l_out, "datagrams from [fd00::3]:40001", 12), "the stranger is ignored and named")
        with open(l_out) as f:
            check("IPv4 only" not in f.read(), "a listener without loopback but with IPv6 does not say IPv4 only")
        time.sleep(3)
        check(stop(caller) == 0, "the caller ends cleanly")
        check(stop(listener) == 0, "the listener ends cleanly")
        heard_a = os.path.join(work, "a_heard.wav")
        heard_b = os.path.join(work, "b_heard.wav")
        check(tone_power(heard_a, 660) > 20 * tone_power(heard_a, 440), "the listener plays the caller's tone")
        check(tone_power(heard_b, 440) > 20 * tone_power(heard_b, 660), "the caller plays the listener's tone")

        # IPv6 disabled: said once, IPv4 still answers, [::1] fails cleanly.
        run("ip", "netns", "exec", ns_c, "ip", "link", "set", "lo", "up")
        for key in ("all", "default", "lo"):
            run("ip", "netns", "exec", ns_c, "sysctl", "-qw", "net.ipv6.conf.%s.disable_ipv6=1" % key)
        v4only, o_out = copy(ns_c, "v4only", ["-l:%d:yes" % port, "--record-file", "a.wav", "--play-file",
                                              "c_heard.wav"])
        check(wait_for(o_out, "Listening..."), "a listener starts with IPv6 disabled")
        v4caller, v_out = copy(ns_c, "v4caller", ["-c:127.0.0.1:%d:yes" % port, "--record-file", "b.wav",
                                                  "--play-file", "d_heard.wav"])
        check(wait_for(v_out, "Connected.") and wait_for(o_out, "Connected."), "an IPv4 call goes through")
        v6caller, six_out = copy(ns_c, "v6caller", ["-c:[::1]:%d:yes" % port, "--record-file", "b.wav",
                                                    "--play-file", "e_heard.wav"])
        check(wait_for(six_out, "Error> Can't connect to the peer!"), "a call to [::1] fails with the usual error")
        check(wait_for(six_out, "cannot connect to [::1]:%d" % port), "the failed call says where it went")
        check(stop(v6caller) == 1, "a copy that cannot call ends with status 1")
        for p in (v4caller, v4only):
            check(stop(p) == 0, "a copy ends cleanly")
        with open(o_out) as f:
            check(f.read().count("listening on IPv4 only") == 1, "the IPv4-only fallback is said once")
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
        for ns in made:
            run("ip", "netns", "del", ns, check=False)
        shutil.rmtree(hosts_dir, ignore_errors=True)
        if made_etc_netns:
            try:
                os.rmdir("/etc/netns")  # only while no other run uses it
            except OSError:
                pass
        if failures:
            for name in sorted(os.listdir(work)):
                if name.endswith(".out"):
                    with open(os.path.join(work, name), errors="replace") as f:
                        print("--- %s\n%s" % (name, f.read()))
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
