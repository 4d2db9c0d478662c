#!/usr/bin/python3
"""The history pages with a year in the file, beside /metrics: the real program polling the
simulated UPS at a 1 s refresh, its history seeded with a year (gw_history_seed: a week of
seconds, 358 days of minutes). Prints

  - what a year's page costs: the time of "/history?range=year" composed anew (a target not
    asked before) and asked again at once;
  - wrk at 64 connections on /metrics alone, then with one client asking for the year's page
    over and over beside it (the same target, and a new target each time so that every answer
    is composed), with that client's answers, the slowest and the time-outs (10 s);
  - wrk at 64 connections on "/history?range=year" itself.

    bench/history_bench.py [--build build] [--seconds 10] [--connections 64]
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

from bench_common import free_port, start_runner, stop, wrk

TIMEOUT = 10


def fetch(url):
    """Seconds for one answer; "timeout" or "error" (a refusal or a broken connection)."""
    start = time.monotonic()
    try:
        with urllib.request.urlopen(url, timeout=TIMEOUT) as answer:
            answer.read()
    except (socket.timeout, TimeoutError):
        return "timeout"
    except OSError as e:
        return "timeout" if isinstance(getattr(e, "reason", None), socket.timeout) else "error"
    return time.monotonic() - start


class Asker:
    """One client asking for the year's page over and over until stopped."""

    def __init__(self, base, fresh):
        self.times, self.failed, self.errors = [], 0, 0
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._run, args=(base, fresh), daemon=True)
        self.thread.start()

    def _run(self, base, fresh):
        n = 0
        while not self.done.is_set():
            n += 1
            took = fetch(f"{base}/history?range=year" + (f"&n={n}" if fresh else ""))
            if took == "timeout":
                self.failed += 1
            elif took == "error":
                self.errors += 1
            else:
                self.times.append(took)

    def stop(self):
        self.done.set()
        self.thread.join()
        return self.times, self.failed, self.errors


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--connections", type=int, default=64)
    args = parser.parse_args()
    if not shutil.which("wrk"):
        sys.exit("wrk is missing (apt install wrk)")

    root = tempfile.mkdtemp(prefix="gw-history-bench-")
    env = dict(os.environ, XDG_CONFIG_HOME=f"{root}/config", XDG_STATE_HOME=f"{root}/state",
               XDG_RUNTIME_DIR=root)
    port = free_port()
    os.makedirs(f"{root}/config/Tallowmere")
    os.makedirs(f"{root}/state/gridwarden")
    with open(f"{root}/config/Tallowmere/Gridwarden.conf", "w") as f:
        f.write(f"[General]\nRefresh%20Interval=1\nHTTP%20Server=1\nHTTP%20Port={port}\n")
    subprocess.run([f"{args.build}/bench/gw_history_seed",
                    f"{root}/state/gridwarden/history.sqlite"], check=True)

    procs = []
    try:
        cycles = start_runner(args.build, root, env, procs)
        base = f"http://127.0.0.1:{port}"
        end = time.monotonic() + 30
        while not cycles.times and time.monotonic() < end:
            time.sleep(0.1)
        if not cycles.times:
            sys.exit("the program did not poll the simulator")
        time.sleep(1.5)

        composed = [fetch(f"{base}/history?range=year&cold={i}") for i in range(3)]
        again = fetch(f"{base}/history?range=year&cold=2")
        print("a year's page, idle: composed " +
              ", ".join(t if isinstance(t, str) else f"{t:.2f} s" for t in composed) +
              (f"; asked again at once: {again}" if isinstance(again, str) else
               f"; asked again at once: {again * 1000:.1f} ms"))

        metrics = f"{base}/metrics"
        print(f"\nwrk -t2 -c{args.connections} -d{args.seconds}s --timeout {TIMEOUT}s "
              "-H 'Connection: close'")
        print(f"{'load':<44} {'req/s':>8} {'p99':>9}  {'year pages':>10} {'slowest':>8} "
              f"{'time-outs':>9} {'errors':>6}  wrk: socket errors / non-2xx")
        for name, fresh in (("/metrics alone", None), ("/metrics + year page (same target)", False),
                            ("/metrics + year page (new target each)", True)):
            asker = Asker(base, fresh) if fresh is not None else None
            rps, p99, errors, non2xx = wrk(metrics, args.seconds, args.connections, timeout=TIMEOUT)
            pages, failed, broken = asker.stop() if asker else ([], "-", "-")
            slowest = f"{max(pages):.2f} s" if pages else "-"
            print(f"{name:<44} {rps:>8.0f} {p99:>9}  {len(pages) if asker else '-':>10} "
                  f"{slowest:>8} {failed:>9} {broken:>6}  {errors} / {non2xx}")
        rps, p99, errors, non2xx = wrk(f"{base}/history?range=year", args.seconds,
                                       args.connections)
        print(f"{'/history?range=year itself':<44} {rps:>8.0f} {p99:>9}  {'':>10} {'':>8} "
              f"{'':>9} {'':>6}  {errors} / {non2xx}")
    finally:
        stop(procs)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
