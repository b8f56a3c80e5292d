#!/usr/bin/env python3
"""Holds many TLS connections to pinlark-vault that do the server no good, until SIGTERM.

Half of them send a POST head announcing a large body, then one body byte every few seconds
(slow bodies); the other half have a small receive buffer, send pipelined GETs of a vault and
never read (non-reading clients). They come from several loopback addresses (127.0.0.2 and
on), and each one the server closes is opened again at once. Writes how many are open to
--status every second, for bench/attack-rates.sh to wait on.
"""
import argparse
import select
import signal
import socket
import ssl
import time


def open_one(args, ctx, index, slow):
    raw = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if not slow:
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    raw.bind(("127.0.0.%d" % (2 + index % args.addresses), 0))
    raw.settimeout(10)
    raw.connect(("127.0.0.1", args.port))
    tls = ctx.wrap_socket(raw, server_hostname="127.0.0.1")
    if slow:
        tls.sendall(("POST /vault/pinlark/%s HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                     "Content-Type: application/json\r\nContent-Length: 1000000\r\n\r\n"
                     '{"data":"' % args.vault).encode())
    else:
        tls.sendall(("GET /vault/pinlark/%s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % args.vault)
                    .encode() * 8)
    tls.setblocking(False)
    return tls


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--ca", required=True)
    parser.add_argument("--vault", required=True)
    parser.add_argument("--connections", type=int, default=1000)
    parser.add_argument("--addresses", type=int, default=20)
    parser.add_argument("--drip", type=float, default=5)
    parser.add_argument("--status", required=True)
    args = parser.parse_args()
    ctx = ssl.create_default_context(cafile=args.ca)
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    held = {}  # index -> socket
    last_drip = time.monotonic()
    last_status = 0.0
    while not stop:
        for index in range(args.connections):
            if index not in held and not stop:
                try:
                    held[index] = open_one(args, ctx, index, slow=index % 2 == 0)
                except (OSError, ssl.SSLError):
                    pass
        # A slow connection the server answered or closed is opened again; a non-reading one
        # is never read, so whether the server closed it is asked of the kernel below.
        readable, _, _ = select.select(
            [s for i, s in held.items() if i % 2 == 0], [], [], 0.2) if held else ([], [], [])
        for sock in readable:
            index = next(i for i, s in held.items() if s is sock)
            try:
                if sock.recv(4096):
                    continue
            except ssl.SSLWantReadError:
                continue
            except (OSError, ssl.SSLError):
                pass
            sock.close()
            del held[index]
        now = time.monotonic()
        if now - last_drip >= args.drip:
            last_drip = now
            for index in [i for i in held if i % 2 == 0]:
                try:
                    held[index].send(b"A")
                except (OSError, ssl.SSLError):
                    held.pop(index).close()
        if now - last_status >= 1:
            last_status = now
            for index in [i for i in held if i % 2 == 1]:
                # The first byte of struct tcp_info is the state; past ESTABLISHED (1), the
                # server has closed its end.
                if held[index].getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 8)[0] != 1:
                    held.pop(index).close()
            with open(args.status, "w") as status:
                status.write("%d\n" % len(held))
    for sock in held.values():
        sock.close()


if __name__ == "__main__":
    main()
