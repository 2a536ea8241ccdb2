#!/usr/bin/env python3
"""The front end's memory under connections that cost it most, and polls
through a flood of silent connections.

  frontend_memory.py ALERTSERVER [--idle N[,N...]] [--flood N] [--tls on|off|both]
                     [--silent SECONDS]

idle:  N connections from addresses 127.2.x.y, each answered one poll and
       then kept open in silence; prints the server's RSS before and after,
       and the cost of one connection (plain http and https).
flood: N connections each announcing a 1 MiB body to the page that takes the
       largest (the mailing page, with no cap on users per administrator) and
       sending all of it but the last byte; prints the server's peak RSS
       (VmHWM) against its RSS before the flood, and the same flood to a
       page that takes no body at all.

silent: 10 addresses x 100 connections that send nothing, reopened as the
       server closes them, while one poll a half second comes from another
       address; prints how many polls were answered.

Figures only: the server runs on SQLite in a temporary folder and nothing of
it is kept.
"""

import argparse
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import time


def status(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])  # kB
    return 0


def source(i):
    return f"127.2.{(i // 200) % 250 + 1}.{i % 200 + 1}"


class Server:
    def __init__(self, binary, folder, tls, extra=()):
        self.folder = folder
        port_file = os.path.join(folder, "port")
        if os.path.exists(port_file):
            os.remove(port_file)
        args = [binary, "serve", "--listen", "127.0.0.1:0", "--port-file", port_file,
                "--db", os.path.join(folder, f"store-{time.monotonic_ns()}.db"),
                "--outbox", os.path.join(folder, "outbox"), "--public-url", "http://127.0.0.1"]
        if tls:
            args += ["--tls-cert", os.path.join(folder, "cert.pem"), "--tls-key", os.path.join(folder, "key.pem")]
        self.process = subprocess.Popen(list(args) + list(extra), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            if os.path.exists(port_file) and open(port_file).read().strip():
                break
            time.sleep(0.05)
        self.port = int(open(port_file).read().strip())
        self.tls = tls

    def rss(self):
        return status(self.process.pid, "VmRSS")

    def peak(self):
        return status(self.process.pid, "VmHWM")

    def stop(self):
        self.process.terminate()
        self.process.wait()


def connect(server, i, context):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind((source(i), 0))
    s.connect(("127.0.0.1", server.port))
    if context:
        s = context.wrap_socket(s)
    return s


def poll(s):
    s.sendall(b"GET /alertsystem/status.php?username=nobody HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    reply = b""
    while b"\r\n\r\n" not in reply:
        reply += s.recv(4096)
    head, _, body = reply.partition(b"\r\n\r\n")
    length = int([l.split(b":")[1] for l in head.split(b"\r\n") if l.lower().startswith(b"content-length:")][0])
    while len(body) < length:
        body += s.recv(4096)
    return head.startswith(b"HTTP/1.1 200")


def settle(server):
    time.sleep(1.0)
    return server.rss()


def idle_round(binary, folder, tls, n):
    server = Server(binary, folder, tls)
    context = None
    if tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
    warm = [connect(server, 100000 + i, context) for i in range(20)]
    for s in warm:
        poll(s)
    for s in warm:
        s.close()
    before = settle(server)
    held = []
    for i in range(n):
        s = connect(server, i, context)
        if not poll(s):
            print("a poll was not answered", file=sys.stderr)
        held.append(s)
    after = settle(server)
    print(f"{'https' if tls else 'http '} idle {n:6d}: RSS {before / 1024:7.1f} MB -> {after / 1024:7.1f} MB,"
          f" {(after - before) * 1024 / n / 1024:6.1f} KB a connection")
    for s in held:
        s.close()
    server.stop()


def flood_round(binary, folder, n, target, extra):
    server = Server(binary, folder, False, extra)
    before = settle(server)
    announced = 1024 * 1024
    held = []
    chunk = b"m" * 65536
    refused = 0
    for i in range(n):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind((source(i), 0))
        s.connect(("127.0.0.1", server.port))
        s.setblocking(False)
        s.sendall(b"POST " + target + b" HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                  b"Content-Type: application/x-www-form-urlencoded\r\n"
                  b"Content-Length: " + str(announced).encode() + b"\r\n\r\n")
        held.append([s, announced - 1])
    # All but the last byte of every body, as fast as the server takes them.
    deadline = time.monotonic() + 60
    while any(left > 0 for _, left in held) and time.monotonic() < deadline:
        progressed = False
        for entry in held:
            s, left = entry
            if left <= 0:
                continue
            try:
                sent = s.send(chunk[:min(left, len(chunk))])
                entry[1] -= sent
                progressed = progressed or sent > 0
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                entry[1] = 0
                refused += 1
        if not progressed:
            time.sleep(0.01)
    time.sleep(1.0)
    peak = server.peak()
    print(f"body flood {n} x 1 MiB to {target.decode()}: RSS before {before / 1024:.1f} MB,"
          f" peak {peak / 1024:.1f} MB ({refused} connections ended by the server while sending)")
    for s, _ in held:
        s.close()
    server.stop()


def silent_round(binary, folder, seconds):
    import selectors
    server = Server(binary, folder, False)
    chosen = selectors.DefaultSelector()

    def open_silent(i):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind((f"127.3.0.{i // 100 + 1}", 0))
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", server.port))
        chosen.register(s, selectors.EVENT_READ, i)

    for i in range(1000):
        open_silent(i)
    answered = asked = reopened = 0
    end = time.monotonic() + seconds
    next_poll = time.monotonic() + 1
    while time.monotonic() < end:
        for key, _ in chosen.select(timeout=0.05):
            try:
                gone = key.fileobj.recv(1) == b""
            except OSError:
                gone = True
            if gone:
                chosen.unregister(key.fileobj)
                key.fileobj.close()
                open_silent(key.data)
                reopened += 1
        if time.monotonic() >= next_poll:
            next_poll += 0.5
            asked += 1
            try:
                p = socket.create_connection(("127.0.0.1", server.port), timeout=5, source_address=("127.4.0.1", 0))
                answered += poll(p)
                p.close()
            except OSError:
                pass
    print(f"silent flood (1000 connections from 10 addresses, {reopened} reopened): {answered} of {asked} polls answered")
    server.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("alertserver")
    parser.add_argument("--idle", default="2000,5000")
    parser.add_argument("--flood", type=int, default=1000)
    parser.add_argument("--tls", default="both")
    parser.add_argument("--silent", type=float, default=20)
    o = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                        "-keyout", os.path.join(folder, "key.pem"), "-out", os.path.join(folder, "cert.pem"),
                        "-days", "2", "-subj", "/CN=127.0.0.1"], check=True, capture_output=True)
        os.makedirs(os.path.join(folder, "outbox"))
        for n in [int(x) for x in o.idle.split(",") if x]:
            for tls in {"on": [True], "off": [False], "both": [False, True]}[o.tls]:
                idle_round(o.alertserver, folder, tls, n)
        if o.silent:
            silent_round(o.alertserver, folder, o.silent)
        if o.flood:
            flood_round(o.alertserver, folder, o.flood, b"/alertsystem/admin/sendemail.php?id=0",
                        ["--users-per-admin", "0"])
            flood_round(o.alertserver, folder, o.flood, b"/alertsystem/status.php?username=ann", [])


if __name__ == "__main__":
    main()
