#!/usr/bin/env python3
"""A UDP relay between two voice copies on loopback that impairs the traffic.

    impair_relay.py --listen PORT --to HOST:PORT [--loss PCT] [--jitter MS]
                    [--stall MS --stall-at S] [--reorder PCT] [--duplicate PCT]
                    [--shift MS --shift-at S] [--drift PERMILLE]
                    [--seed N] [--duration S]

The caller connects to 127.0.0.1:PORT; the relay forwards its datagrams to
--to from the same socket, and whatever comes back from --to goes to the last
address the caller sent from. Both directions get the same impairments, each
drawn from its own random stream (seeded, so the choices repeat run to run):

  --loss PCT       drop each datagram with this probability (percent)
  --jitter MS      delay each datagram by a uniform 0..MS milliseconds
  --reorder PCT    hold a datagram back and send it after the next one
  --duplicate PCT  send a datagram twice
  --stall MS       hold everything for MS milliseconds, starting --stall-at
                   seconds after the first datagram, then release all that
                   was held at once (a burst, in arrival order)
  --shift MS       from --shift-at seconds after the first datagram on, delay
                   every datagram MS milliseconds more (a longer route)
  --drift PERMILLE delay each datagram by this many thousandths of the time
                   since the first one: the datagrams come that much slower
                   than they were sent, as from a sender whose clock runs slow

The relay stops after --duration seconds (default 120) or on SIGTERM/SIGINT
and then prints one line per direction with what it did, e.g.
  a>b received=250 sent=238 dropped=12 duplicated=0 reordered=0 stalled=19
("a" is the caller, "b" the copy at --to). "ready PORT" is printed on
standard output once the socket is bound.
"""
import argparse
import asyncio
import random
import signal
import sys


class Direction:
    def __init__(self, name, seed):
        self.name = name
        self.rng = random.Random(seed)
        self.counts = dict(received=0, sent=0, dropped=0, duplicated=0, reordered=0, stalled=0)
        self.held_back = None  # a datagram waiting to be sent after the next one

    def report(self):
        return self.name + " " + " ".join(f"{k}={v}" for k, v in self.counts.items())


class Relay(asyncio.DatagramProtocol):
    def __init__(self, args, loop):
        self.args = args
        self.loop = loop
        self.target = args.to
        self.caller = None
        self.transport = None
        self.a_to_b = Direction("a>b", args.seed * 2 + 1)
        self.b_to_a = Direction("b>a", args.seed * 2 + 2)
        self.first = None          # loop time of the first datagram
        self.stalled = []          # (direction, data, address) held by the stall
        self.stall_done = args.stall <= 0

    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, data, addr):
        now = self.loop.time()
        if self.first is None:
            self.first = now
            if not self.stall_done:
                start = self.first + self.args.stall_at
                self.loop.call_at(start + self.args.stall / 1000.0, self.release)
        if addr == self.target:
            if self.caller is None:
                return  # nobody to send it to yet
            d, dest = self.b_to_a, self.caller
        else:
            self.caller = addr
            d, dest = self.a_to_b, self.target
        d.counts["received"] += 1
        r = d.rng
        # Draw every choice for every datagram so one option does not shift
        # the random choices of another.
        lose = r.random() * 100 < self.args.loss
        delay = r.uniform(0, self.args.jitter) / 1000.0 if self.args.jitter > 0 else 0.0
        if self.args.shift > 0 and now >= self.first + self.args.shift_at:
            delay += self.args.shift / 1000.0
        delay += (now - self.first) * self.args.drift / 1000.0
        reorder = r.random() * 100 < self.args.reorder
        duplicate = r.random() * 100 < self.args.duplicate
        if lose:
            d.counts["dropped"] += 1
            return
        copies = 2 if duplicate else 1
        if duplicate:
            d.counts["duplicated"] += 1
        if not self.stall_done and now >= self.first + self.args.stall_at:
            d.counts["stalled"] += 1
            self.stalled.extend([(d, data, dest)] * copies)
            return
        if reorder and d.held_back is None:
            d.counts["reordered"] += 1
            d.held_back = (data, dest, copies)
            return
        self.schedule(d, data, dest, copies, delay)
        if d.held_back is not None:
            held, held_dest, held_copies = d.held_back
            d.held_back = None
            self.schedule(d, held, held_dest, held_copies, delay)

    def schedule(self, d, data, dest, copies, delay):
        for _ in range(copies):
            if delay > 0:
                self.loop.call_later(delay, self.send, d, data, dest)
            else:
                self.send(d, data, dest)

    def send(self, d, data, dest):
        if self.transport is None or self.transport.is_closing():
            return
        try:
            self.transport.sendto(data, dest)
            d.counts["sent"] += 1
        except OSError:
            pass

    def release(self):
        self.stall_done = True
        held, self.stalled = self.stalled, []
        for d, data, dest in held:
            self.send(d, data, dest)

    def error_received(self, exc):
        pass  # the peer's port is closed for a moment: keep relaying


def address(text):
    host, _, port = text.rpartition(":")
    return (host or "127.0.0.1", int(port))


async def main(args):
    loop = asyncio.get_running_loop()
    done = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, done.set)
    transport, relay = await loop.create_datagram_endpoint(
        lambda: Relay(args, loop), local_addr=(args.bind, args.listen))
    print("ready", transport.get_extra_info("sockname")[1], flush=True)
    try:
        await asyncio.wait_for(done.wait(), timeout=args.duration)
    except asyncio.TimeoutError:
        pass
    transport.close()
    print(relay.a_to_b.report(), flush=True)
    print(relay.b_to_a.report(), flush=True)


if __name__ == "__main__":
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--listen", type=int, required=True, help="UDP port the caller connects to (0: any)")
    p.add_argument("--bind", default="127.0.0.1")
    p.add_argument("--to", type=address, required=True, help="HOST:PORT of the listening copy")
    p.add_argument("--loss", type=float, default=0.0)
    p.add_argument("--jitter", type=float, default=0.0)
    p.add_argument("--reorder", type=float, default=0.0)
    p.add_argument("--duplicate", type=float, default=0.0)
    p.add_argument("--stall", type=float, default=0.0)
    p.add_argument("--stall-at", type=float, default=5.0)
    p.add_argument("--shift", type=float, default=0.0)
    p.add_argument("--shift-at", type=float, default=5.0)
    p.add_argument("--drift", type=float, default=0.0)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--duration", type=float, default=120.0)
    args = p.parse_args()
    try:
        asyncio.run(main(args))
    except KeyboardInterrupt:
        sys.exit(1)
