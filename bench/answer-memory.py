#!/usr/bin/env python3
"""Clients that never read their answers, measured by the server's resident memory.

Stores a large vault and a small one, then opens many TLS connections from several loopback
addresses; each has a small receive buffer, sends pipelined GETs of the large vault and never
reads. Prints the server's VmRSS before, while they hold on, and after they have gone, and
what another client gets meanwhile. The figures are printed, never compared against anything.
"""
import argparse
import socket
import ssl
import time

LARGE = "/vault/pinlark/" + "b" * 64
SMALL = "/vault/pinlark/" + "c" * 64


def rss_mib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def connect(args, ctx, address="127.0.0.1", small_buffer=False):
    raw = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    if small_buffer:
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    raw.bind((address, 0))
    raw.settimeout(60)
    raw.connect(("127.0.0.1", args.port))
    return ctx.wrap_socket(raw, server_hostname="127.0.0.1")


def request(args, ctx, method, path, body=b""):
    """One request on a connection of its own: (status, length of the body)."""
    with connect(args, ctx) as conn:
        head = "%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" % (method, path)
        if body:
            head += "Content-Type: application/json\r\nContent-Length: %d\r\n" % len(body)
        conn.sendall(head.encode() + b"\r\n" + body)
        answer = b""
        while True:
            chunk = conn.recv(1 << 20)
            if not chunk:
                break
            answer += chunk
    status = int(answer.split(b" ", 2)[1]) if answer else 0
    return status, len(answer.partition(b"\r\n\r\n")[2])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--ca", required=True)
    parser.add_argument("--pid", type=int, required=True)
    parser.add_argument("--connections", type=int, default=1024)
    parser.add_argument("--addresses", type=int, default=16)
    parser.add_argument("--payload", type=int, default=16 * 1024 * 1024)
    parser.add_argument("--pipelined", type=int, default=8)
    parser.add_argument("--hold", type=float, default=10)
    args = parser.parse_args()
    ctx = ssl.create_default_context(cafile=args.ca)

    data = ("QUJD/REVG+0xMjM0" * (args.payload // 16 + 1))[: args.payload]
    print("stored %d-byte vault: %s" % (
        len(data), request(args, ctx, "POST", LARGE, ('{"data":"%s"}' % data).encode())[0]))
    print("stored small vault: %s" % request(args, ctx, "POST", SMALL, b'{"data":"small"}')[0])
    print("GET large once (read): status %d, %d bytes" % request(args, ctx, "GET", LARGE))
    time.sleep(1)
    print("VmRSS before: %.0f MiB" % rss_mib(args.pid))

    get = ("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % LARGE).encode() * args.pipelined
    hogs = []
    failed = 0
    began = time.monotonic()
    for index in range(args.connections):
        try:
            conn = connect(args, ctx, "127.0.0.%d" % (2 + index % args.addresses), True)
            conn.sendall(get)
            hogs.append(conn)
        except (OSError, ssl.SSLError):
            failed += 1
    print("%d non-reading connections open in %.1f s (%d failed)" % (
        len(hogs), time.monotonic() - began, failed))
    peak = 0.0
    deadline = time.monotonic() + args.hold
    probes = []
    while time.monotonic() < deadline:
        peak = max(peak, rss_mib(args.pid))
        time.sleep(0.5)
    probes.append(("small", request(args, ctx, "GET", SMALL)))
    probes.append(("large", request(args, ctx, "GET", LARGE)))
    print("VmRSS during: %.0f MiB (peak seen %.0f MiB)" % (rss_mib(args.pid), peak))
    for name, (status, length) in probes:
        print("meanwhile another client's GET of the %s vault: %d, %d bytes" % (
            name, status, length))
    for conn in hogs:
        conn.close()
    time.sleep(3)
    print("VmRSS 3 s after they closed: %.0f MiB" % rss_mib(args.pid))
    print("GET large afterwards: status %d, %d bytes" % request(args, ctx, "GET", LARGE))


if __name__ == "__main__":
    main()
