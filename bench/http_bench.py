#!/usr/bin/python3
"""The status server under load next to nginx: wrk on loopback, one request per connection
("Connection: close", which every answer of the status server carries), against the real
program polling the simulated UPS at a 1 s refresh, and against nginx serving the same page body
as a static file. Prints requests per second and p99 latency for both, and the poll cycles seen
during the load against the same time without it, with the longest gap between two cycles.

    bench/http_bench.py [--build build] [--seconds 10] [--connections 50] [--threads 2]

A poll cycle is "late" when the gap before it is longer than the longest gap without load by
more than 500 ms.
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import urllib.request

from bench_common import free_port, start_runner, stop, wrk

LATE = 0.5


def start_nginx(root, body):
    www = f"{root}/www"
    os.makedirs(www)
    with open(f"{www}/index.html", "wb") as f:
        f.write(body)
    os.chmod(root, 0o755)
    os.chmod(www, 0o755)
    port = free_port()
    conf = f"{root}/nginx.conf"
    with open(conf, "w") as f:
        f.write(f"""
daemon off;
worker_processes 2;
pid {root}/nginx.pid;
error_log {root}/nginx-error.log;
events {{ worker_connections 4096; }}
http {{
    access_log off;
    keepalive_timeout 0;
    client_body_temp_path {root}/body;
    proxy_temp_path {root}/proxy;
    fastcgi_temp_path {root}/fastcgi;
    uwsgi_temp_path {root}/uwsgi;
    scgi_temp_path {root}/scgi;
    default_type text/html;
    server {{
        listen 127.0.0.1:{port};
        root {www};
        add_header Cache-Control "no-store, no-cache, must-revalidate";
        add_header Cache-Control "post-check=0, pre-check=0";
        add_header Pragma no-cache;
    }}
}}
""")
    nginx = subprocess.Popen(["nginx", "-c", conf, "-p", root], stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
    for _ in range(100):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return nginx, port
        except OSError:
            time.sleep(0.05)
    nginx.kill()
    sys.exit("nginx did not start")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--connections", type=int, default=50)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    for tool in ("wrk", "nginx"):
        if not shutil.which(tool):
            sys.exit(f"{tool} is missing (apt install {tool})")

    root = tempfile.mkdtemp(prefix="gw-http-bench-")
    env = dict(os.environ, XDG_CONFIG_HOME=f"{root}/config", XDG_STATE_HOME=f"{root}/state",
               XDG_RUNTIME_DIR=root)
    port = free_port()
    os.makedirs(f"{root}/config/Tallowmere")
    with open(f"{root}/config/Tallowmere/Gridwarden.conf", "w") as f:
        f.write(f"[General]\nRefresh%20Interval=1\nHTTP%20Server=1\nHTTP%20Port={port}\n")

    procs = []
    try:
        cycles = start_runner(args.build, root, env, procs)
        url = f"http://127.0.0.1:{port}/"
        end = time.monotonic() + 30
        while not cycles.times and time.monotonic() < end:
            time.sleep(0.1)
        if not cycles.times:
            sys.exit("the program did not poll the simulator")
        time.sleep(1.5)  # the page now shows a reading
        body = urllib.request.urlopen(url, timeout=5).read()
        nginx, nginx_port = start_nginx(root, body)
        procs.append(nginx)

        results = []
        start = time.monotonic()
        time.sleep(args.seconds)
        idle = cycles.between(start, time.monotonic())
        for name, target in (("gridwarden", url), ("nginx", f"http://127.0.0.1:{nginx_port}/")):
            start = time.monotonic()
            rps, p99, errors, non2xx = wrk(target, args.seconds, args.connections, args.threads)
            polled = cycles.between(start, time.monotonic())
            results.append((name, rps, p99, errors, non2xx, polled))

        print(f"page body {len(body)} bytes; wrk -t{args.threads} -c{args.connections} "
              f"-d{args.seconds}s -H 'Connection: close'")
        print(f"{'server':<11} {'req/s':>10} {'p99':>9}  {'cycles':>6} {'longest gap':>11}  "
              f"socket errors / non-2xx")
        for name, rps, p99, errors, non2xx, (count, gap) in results:
            print(f"{name:<11} {rps:>10.0f} {p99:>9}  {count:>6} {gap:>10.2f}s  {errors} / {non2xx}")
        print(f"{'no load':<11} {'':>10} {'':>9}  {idle[0]:>6} {idle[1]:>10.2f}s")
        ratio = results[0][1] / results[1][1] if results[1][1] else 0
        late = [r[0] for r in results if r[5][1] > idle[1] + LATE]
        print(f"gridwarden / nginx throughput: {ratio:.2f}; "
              f"late poll cycles under load: {'yes (' + ', '.join(late) + ')' if late else 'none'}")
    finally:
        stop(procs)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
