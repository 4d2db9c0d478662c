"""What the benchmarks that run the real program share: a free loopback port, and the time
stamps of the poll cycles the headless runner prints."""
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
