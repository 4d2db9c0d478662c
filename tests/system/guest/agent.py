#!/usr/bin/python3
# The system test's command agent in the guest: reads one JSON request per line from the
# virtio-serial port gw.agent, runs its "cmd" with bash, bounded by its "timeout" in seconds,
# and answers one JSON line {"id", "rc", "out"} (stdout and stderr together).
import json
import os
import subprocess
import time

PORT = "/dev/virtio-ports/gw.agent"


def run(request):
    try:
        done = subprocess.run(["bash", "-c", request["cmd"]], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=float(request.get("timeout", 60)), start_new_session=True)
        return done.returncode, done.stdout
    except subprocess.TimeoutExpired as e:
        return 124, (e.output or b"") + b"\n[agent: timed out]\n"


def main():
    while not os.path.exists(PORT):
        time.sleep(0.2)
    fd = os.open(PORT, os.O_RDWR)
    pending = b""
    while True:
        chunk = os.read(fd, 65536)
        if not chunk:
            # No host connected: the port reads as closed until one is.
            time.sleep(0.2)
            continue
        pending += chunk
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            try:
                request = json.loads(line)
            except ValueError:
                continue
            rc, out = run(request)
            reply = json.dumps({"id": request.get("id"), "rc": rc,
                                "out": out.decode("utf-8", "replace")}) + "\n"
            os.write(fd, reply.encode())


if __name__ == "__main__":
    main()
