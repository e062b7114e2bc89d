#!/usr/bin/env python3
"""A small HTTP/1.1 server for the HTTP client's tests, built on http.server.

Binds 127.0.0.1 on a free port, prints "PORT <n>" on its first output line and
serves until stdin closes or it is terminated. Files come from the directory
given as the first argument. Extra paths:
  /redirect?to=URL     302 to URL
  /setcookie?n=v&...   one Set-Cookie header per pair (path=/)
  /cookies             the request's Cookie header as the body
  /count?path=P        how often P has been requested so far
  /trickle?ms=N        a 917-byte status line, one byte every N ms, for as
                       long as the client stays
  /slowredirect?ms=N&n=K  waits N ms, then 302 to the same with K-1; K=0 is a page
  /big?kb=N            a page of N kB, without Content-Length, ended by close
  /chunked?n=N         N chunks "chunk i." with an extension and a trailer
  /cut?kb=N            N kB of a body without length, then a connection reset
Every answer carries "X-Connection: <serial of the TCP connection>", so a test
sees from the server side whether two requests shared a connection.
"""
import http.server
import io
import itertools
import os
import socket
import struct
import sys
import threading
import time
import urllib.parse

counter = itertools.count(1)
counts = {}
lock = threading.Lock()


class Handler(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 30  # an idle kept connection is dropped after this many seconds

    def setup(self):
        super().setup()
        self.serial = next(counter)

    def log_message(self, fmt, *args):
        pass

    def end_headers(self):
        self.send_header("X-Connection", str(self.serial))
        super().end_headers()

    def reply(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qsl(url.query, keep_blank_values=True)
        with lock:
            counts[url.path] = counts.get(url.path, 0) + 1
        if url.path == "/redirect":
            self.reply(302, b"moved", [("Location", dict(query).get("to", "/"))])
        elif url.path == "/setcookie":
            self.reply(200, b"set", [("Set-Cookie", "%s=%s; path=/" % kv) for kv in query])
        elif url.path == "/cookies":
            self.reply(200, (self.headers.get("Cookie") or "").encode())
        elif url.path == "/trickle":
            pause = int(dict(query).get("ms", "250")) / 1000.0
            line = b"HTTP/1.0 200 " + b"x" * 902 + b"\r\n"
            try:
                for i in range(len(line)):
                    self.wfile.write(line[i:i + 1])
                    self.wfile.flush()
                    time.sleep(pause)
            except OSError:
                pass  # the client gave up
            self.close_connection = True
        elif url.path == "/slowredirect":
            q = dict(query)
            ms, n = int(q.get("ms", "100")), int(q.get("n", "1"))
            time.sleep(ms / 1000.0)
            if n <= 0:
                self.reply(200, b"arrived")
            else:
                self.reply(302, b"", [("Location", "/slowredirect?ms=%d&n=%d" % (ms, n - 1))])
        elif url.path == "/big" or url.path == "/cut":
            kb = int(dict(query).get("kb", "1"))
            self.send_response(200)
            self.send_header("Content-Type", "text/html")
            self.end_headers()
            try:
                for _ in range(kb):
                    self.wfile.write(b"x" * 1024)
                self.wfile.flush()
                if url.path == "/cut":
                    # SO_LINGER with a zero time: closing sends a reset, and
                    # no orderly shutdown may come first.
                    self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                    os.close(self.connection.detach())
                    self.wfile = io.BytesIO()
            except OSError:
                pass  # the client gave up
            self.close_connection = True
        elif url.path == "/chunked":
            n = int(dict(query).get("n", "3"))
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for i in range(n):
                data = b"chunk %d." % i
                self.wfile.write(b"%x;ext=1\r\n%s\r\n" % (len(data), data))
                self.wfile.flush()
            self.wfile.write(b"0\r\nX-Trailer: yes\r\n\r\n")
        elif url.path == "/count":
            with lock:
                n = counts.get(dict(query).get("path", ""), 0)
            self.reply(200, str(n).encode())
        else:
            super().do_GET()


def main():
    directory = sys.argv[1] if len(sys.argv) > 1 else os.getcwd()

    def make(*args, **kwargs):
        return Handler(*args, directory=directory, **kwargs)

    host = sys.argv[2] if len(sys.argv) > 2 else "127.0.0.1"

    class Server(http.server.ThreadingHTTPServer):
        address_family = socket.AF_INET6 if ":" in host else socket.AF_INET

    server = Server((host, 0), make)
    server.daemon_threads = True
    print("PORT %d" % server.server_address[1], flush=True)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    # The test holds our stdin: when it closes (the test ended or died), stop.
    sys.stdin.read()
    server.shutdown()


if __name__ == "__main__":
    main()
