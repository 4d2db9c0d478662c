"""What the benchmarks that run the real program share: a free loopback port, and the time
stamps of the poll cycles the headless runner prints."""
import os
import re
import socket
import subprocess
import threading
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Cycles:
    """Time stamps of the replies the runner prints, one line per poll cycle."""

    def __init__(self, stream):
        self.times = []
        self.lock = threading.Lock()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            if line.startswith(b"("):
                with self.lock:
                    self.times.append(time.monotonic())

    def between(self, start, end):
        with self.lock:
            inside = [t for t in self.times if start <= t <= end]
        gaps = [b - a for a, b in zip(inside, inside[1:])]
        return len(inside), max(gaps, default=0.0)


def stop(procs):
    """Ends the processes started, the last first; what does not end in 10 s is killed."""
    for proc in reversed(procs):
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    procs.clear()


def wrk(url, seconds, connections, threads=2, timeout=None):
    """Requests a second, the 99th percentile, wrk's socket errors and its non-2xx count."""
    command = ["wrk", "-t", str(threads), "-c", str(connections), "-d", f"{seconds}s"]
    if timeout:
        command += ["--timeout", f"{timeout}s"]
    out = subprocess.run(command + ["--latency", "-H", "Connection: close", url],
                         capture_output=True, text=True, check=True).stdout
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    p99 = re.search(r"\s99%\s+([\d.]+\w+)", out).group(1)
    errors = re.search(r"Socket errors: (.*)", out)
    non2xx = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    return rps, p99, (errors.group(1) if errors else "none"), (non2xx.group(1) if non2xx else "0")


def start_runner(build, root, env, procs):
    """The simulator on COM1 and the headless program beside it at a 1 s refresh, both added to
    procs; returns the runner's poll cycles."""
    sim = subprocess.Popen([f"{build}/tools/upssim/gridwarden-upssim", "--com", "1"],
                           env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    procs.append(sim)
    for _ in range(100):
        if os.path.islink(f"{root}/config/gridwarden/ports/COM1"):
            break
        time.sleep(0.05)
    runner = subprocess.Popen(
        [f"{build}/src/app/gridwarden", "--headless", "--power=simulated", "--com", "1",
         "--refresh", "1", "--print-replies"], env=env, stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL)
    procs.append(runner)
    return Cycles(runner.stdout)
