#!/usr/bin/python3
"""Baseline (d): what a scripting user would write. One aiohttp session whose
connector holds the same connection limit, one task per request, and each
answer decoded as JSON.

Run by qelsms-bench, which reads the JSON line this prints; in memory mode it
also answers the driver's handshake on standard input and output.
"""

import argparse
import asyncio
import json
import math
import os
import ssl
import sys
import time

import aiohttp


def percentiles(values):
    if not values:
        return 0.0, 0.0
    values = sorted(values)

    def rank(q):
        k = math.ceil(q * len(values))
        return values[min(len(values) - 1, max(k, 1) - 1)]

    return rank(0.50), rank(0.99)


async def read_line():
    """One line from the driver, without the executor thread run_in_executor
    would add to the thread count."""
    loop = asyncio.get_running_loop()
    done = loop.create_future()
    fd = sys.stdin.fileno()

    def ready():
        loop.remove_reader(fd)
        done.set_result(os.read(fd, 4096))

    loop.add_reader(fd, ready)
    if not await done:
        raise RuntimeError("the driver went away")


async def run(args):
    body = None
    if args.body_file:
        with open(args.body_file, "rb") as f:
            body = f.read()
    ssl_context = ssl.create_default_context(cafile=args.ca) if args.endpoint.startswith("https") else None
    connector = aiohttp.TCPConnector(limit=args.connections, limit_per_host=args.connections, ssl=ssl_context)
    timeout = aiohttp.ClientTimeout(total=None, sock_connect=60, sock_read=60)
    n = args.requests
    submitted = [0.0] * n
    finished = [0.0] * n
    caller = [0.0] * n
    outcome = {"errors": 0, "outcomes": 0, "firstError": None}
    window = asyncio.Semaphore(args.connections)
    windowed = args.mode == "window"

    async with aiohttp.ClientSession(connector=connector, timeout=timeout) as session:

        async def exchange():
            if body is None:
                request = session.get(args.endpoint)
            else:
                request = session.post(args.endpoint, data=body, headers={"Content-Type": "application/json"})
            async with request as response:
                answer = await response.json()
                if response.status != 200:
                    raise RuntimeError(json.dumps(answer))

        async def one(i):
            try:
                await exchange()
            except Exception as error:  # every failure is one outcome, as in the other clients
                outcome["errors"] += 1
                if outcome["firstError"] is None:
                    outcome["firstError"] = repr(error)[:200]
            finished[i] = time.perf_counter()
            outcome["outcomes"] += 1
            if windowed:
                window.release()

        await exchange()
        if args.mode == "memory":
            print("ready", flush=True)
            await read_line()

        tasks = []
        start = time.perf_counter()
        for i in range(n):
            if windowed:
                await window.acquire()
            at = time.perf_counter()
            tasks.append(asyncio.create_task(one(i)))
            submitted[i] = at
            caller[i] = time.perf_counter() - at
        if args.mode == "memory":
            # Lets every task run up to its wait for a connection.
            await asyncio.sleep(0)
            await asyncio.sleep(0)
            print(f"queued {n}", flush=True)
            await read_line()
        await asyncio.gather(*tasks)

    latency = [(finished[i] - submitted[i]) * 1e6 for i in range(n) if finished[i]]
    lat50, lat99 = percentiles(latency)
    cost50, cost99 = percentiles([c * 1e6 for c in caller])
    result = {
        "client": "aiohttp",
        "requests": n,
        "outcomes": outcome["outcomes"],
        "errors": outcome["errors"],
        "seconds": max(finished) - start,
        "latencyP50Us": lat50,
        "latencyP99Us": lat99,
        "callerP50Us": cost50,
        "callerP99Us": cost99,
    }
    if outcome["firstError"]:
        result["firstError"] = outcome["firstError"]
    print(json.dumps(result), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--endpoint", required=True, help="full URL, credentials included")
    parser.add_argument("--body-file", help="JSON body to POST; without it the request is a GET")
    parser.add_argument("--mode", choices=["burst", "window", "memory"], default="burst")
    parser.add_argument("--requests", type=int, required=True)
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument("--ca", help="CA bundle for https")
    asyncio.run(run(parser.parse_args()))


if __name__ == "__main__":
    main()
