#!/usr/bin/python3
"""The NUT network server under load next to NUT's own upsd: gw_nut_load's clients on loopback,
each on one connection with one `GET VAR` in flight (send the line, read the one reply line,
send the next), against the real program polling the simulated UPS at a 1 s refresh, and against
upsd fed by its dummy-ups driver from a .dev file with the values the simulator answers (Q1, I
and F, read from the simulator's port before the program opens it). Prints requests per second,
p50/p99 latency and errors for both, the poll cycles Gridwarden saw during its load and in as
long a time without it, and the resident memory (VmRSS) each server needs.

Both servers run side by side and take turns: --rounds rounds of --seconds / --rounds each,
upsd first, then Gridwarden. The figures are the medians of the rounds and the throughput ratio
the median of the rounds' ratios, so a machine that is busy for a while hits both alike.

    bench/nut_bench.py [--build build] [--seconds 10] [--rounds 5] [--clients 8]
                       [--variable ups.status] [--login]

Memory, sampled every 0.2 s from /proc/<pid>/status, the peak of the samples taken:
  upsd: upsd plus the dummy-ups driver while under load; the pair is what NUT needs to serve
        the UPS, so all of it counts.
  Gridwarden: what the server adds = the program's RSS under load with "NUT Server" on, minus
        its RSS in a separate run with "NUT Server" off, both after the same settling time.
        The run with the server on is also sampled before the load (after the one request
        that shows the server answers), which splits the figure into the idle server and the
        load.

upsd and dummy-ups run from a private folder (NUT_CONFPATH, NUT_STATEPATH); as root they stay
root (`-u root`) so that folder needs no other owner. upsd's UPS is called `dummy`, ours
`gridwarden`. With --login every client sends USERNAME and PASSWORD first (both servers get the
same user); GET VAR itself needs no login. nut-server is installed if missing.
"""
import argparse
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

from bench_common import Cycles, free_port, stop

HERE = os.path.dirname(os.path.abspath(__file__))
NUT_DIRS = ("/lib/nut", "/usr/lib/nut")
USER = "bench"
SETTLE = 5.0  # seconds after the first poll cycle before any memory is sampled


def nut_tool(name):
    # Debian's /sbin/upsd is a wrapper that refuses to start unless /etc/nut/nut.conf enables
    # the machine's own server, so the programs are called where the package keeps them.
    for folder in NUT_DIRS:
        if os.access(f"{folder}/{name}", os.X_OK):
            return f"{folder}/{name}"
    return None


def ensure_nut():
    if nut_tool("upsd") and nut_tool("dummy-ups"):
        return
    subprocess.run(["bash", "-c", '. "$1" && gw_ensure_packages nut-server', "_",
                    os.path.join(HERE, "..", "scripts", "ensure-packages")], check=True)
    if not (nut_tool("upsd") and nut_tool("dummy-ups")):
        sys.exit("nut-server is missing upsd or dummy-ups (apt install nut-server)")


def rss_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except (FileNotFoundError, ProcessLookupError):
        pass
    return 0


class RssPeak:
    """The largest VmRSS of each process seen while it runs, sampled every 0.2 s."""

    def __init__(self, pids):
        self.pids = pids
        self.peak = {pid: rss_kb(pid) for pid in pids}
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._sample, daemon=True)
        self.thread.start()

    def _sample(self):
        while not self.done.wait(0.2):
            for pid in self.pids:
                self.peak[pid] = max(self.peak[pid], rss_kb(pid))

    def stop(self):
        self.done.set()
        self.thread.join()
        return [self.peak[pid] / 1024 for pid in self.pids]


def sample_rss(pid, seconds):
    sampler = RssPeak([pid])
    time.sleep(seconds)
    return sampler.stop()[0]


def ask_ups(port, command):
    """One command to the simulator's port, its reply up to the CR (without it)."""
    fd = os.open(port, os.O_RDWR | os.O_NOCTTY)
    try:
        tty.setraw(fd)
        termios.tcflush(fd, termios.TCIOFLUSH)
        os.write(fd, command.encode() + b"\r")
        reply = b""
        end = time.monotonic() + 3
        while not reply.endswith(b"\r") and time.monotonic() < end:
            if select.select([fd], [], [], 0.1)[0]:
                reply += os.read(fd, 256)
        if not reply.endswith(b"\r"):
            sys.exit(f"the simulator did not answer {command!r} (got {reply!r})")
        return reply[:-1].decode("ascii", "replace")
    finally:
        os.close(fd)


def ups_values(port):
    """The UPS's readings as NUT variables, from the simulator's own Q1, I and F replies."""
    q1 = ask_ups(port, "Q1")
    fields = q1.lstrip("(").split()
    if len(fields) != 8:
        sys.exit(f"unexpected Q1 reply {q1!r}")
    bits = fields[7]
    status = ["OB" if bits[0] == "1" else "OL"] + (["LB"] if bits[1] == "1" else [])
    values = {
        "ups.status": " ".join(status),
        "input.voltage": fields[0],
        "input.voltage.fault": fields[1],
        "output.voltage": fields[2],
        "ups.load": str(int(fields[3])),
        "input.frequency": fields[4],
        "battery.voltage": fields[5],
        "ups.temperature": fields[6],
    }
    info = ask_ups(port, "I")  # "#" then fields of 15, 10 and 10 characters
    values["device.mfr"] = info[1:16].strip()
    values["device.model"] = info[17:27].strip()
    values["ups.firmware"] = info[28:38].strip()
    values["ups.mfr"] = values["device.mfr"]
    values["ups.model"] = values["device.model"]
    rating = ask_ups(port, "F").lstrip("#").split()
    values["input.voltage.nominal"] = rating[0]
    values["battery.voltage.nominal"] = rating[2]
    values["input.frequency.nominal"] = rating[3]
    return values


def wait_for_reply(port, ups, variable, limit, what, expect=None, hint=""):
    """Waits until the server answers GET VAR with a value (with `expect`, that one: a driver
    answers WAIT until it has read its data); exits with why it did not."""
    end = time.monotonic() + limit
    last = "no connection"
    while time.monotonic() < end:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1) as s:
                s.sendall(f"GET VAR {ups} {variable}\n".encode())
                reply = s.makefile("rb").readline().decode("ascii", "replace").strip()
                if reply.startswith("VAR ") and (expect is None or reply.endswith(f'"{expect}"')):
                    return reply
                last = f"answered {reply!r}"
        except OSError as e:
            last = str(e)
        time.sleep(0.2)
    sys.exit(f"{what} did not answer GET VAR {ups} {variable} on 127.0.0.1:{port} "
             f"within {limit:.0f} s ({last}){hint}")


def run_load(args, port, ups, password):
    command = [f"{args.build}/bench/gw_nut_load", "127.0.0.1", str(port), ups, args.variable,
               str(args.clients), str(args.seconds)]
    if args.login:
        command += [USER, password]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"gw_nut_load failed against {ups}: {done.stderr.strip()}")
    figures = dict(re.findall(r"(\w+)=([\d.]+)", done.stdout))
    figures["why"] = done.stderr.strip()
    return figures



def write_private(path, text):
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, 0o600)


def start_upsd(args, root, values, password, procs):
    """upsd fed by dummy-ups, left running (in `procs`); returns its port and the two pids."""
    conf = f"{root}/nut"
    state = f"{root}/nut/state"
    os.makedirs(state, mode=0o700)
    os.chmod(conf, 0o700)
    port = free_port()
    write_private(f"{conf}/dummy.dev", "".join(f"{k}: {v}\n" for k, v in values.items()))
    # dummy-loop applies the file on every poll; dummy-once would leave the driver's own
    # device.mfr and device.model in place of ours.
    write_private(f"{conf}/ups.conf", f"[dummy]\n\tdriver = dummy-ups\n\tport = {conf}/dummy.dev\n"
                                      f"\tmode = dummy-loop\n\tdesc = \"Gridwarden bench\"\n")
    write_private(f"{conf}/upsd.conf", f"LISTEN 127.0.0.1 {port}\n")
    write_private(f"{conf}/upsd.users", f"[{USER}]\n\tpassword = {password}\n")
    env = dict(os.environ, NUT_CONFPATH=conf, NUT_STATEPATH=state)
    as_root = ["-u", "root"] if os.geteuid() == 0 else []
    with open(f"{root}/dummy-ups.log", "w") as log:
        driver = subprocess.Popen([nut_tool("dummy-ups"), "-a", "dummy", "-F", *as_root],
                                  env=env, stdout=log, stderr=subprocess.STDOUT)
    procs.append(driver)
    end = time.monotonic() + 30
    while not os.path.exists(f"{state}/dummy-ups-dummy") and time.monotonic() < end:
        if driver.poll() is not None:
            break
        time.sleep(0.05)
    if not os.path.exists(f"{state}/dummy-ups-dummy"):
        with open(f"{root}/dummy-ups.log") as log:
            sys.exit(f"dummy-ups did not start:\n{log.read()}")
    with open(f"{root}/upsd.log", "w") as log:
        upsd = subprocess.Popen([nut_tool("upsd"), "-F", *as_root], env=env, stdout=log,
                                stderr=subprocess.STDOUT)
    procs.append(upsd)
    wait_for_reply(port, "dummy", args.variable, 30, "upsd", values[args.variable])
    return port, [upsd.pid, driver.pid]


def median(values):
    ordered = sorted(values)
    return ordered[len(ordered) // 2]


def start_gridwarden(args, root, env, settings):
    with open(f"{root}/config/Tallowmere/Gridwarden.conf", "w") as f:
        f.write("[General]\nRefresh%20Interval=1\n" + "".join(f"{k}={v}\n" for k, v in settings))
    runner = subprocess.Popen(
        [f"{args.build}/src/app/gridwarden", "--headless", "--power=simulated", "--com", "1",
         "--refresh", "1", "--print-replies"], env=env, stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL)
    cycles = Cycles(runner.stdout)
    end = time.monotonic() + 30
    while not cycles.times and time.monotonic() < end:
        if runner.poll() is not None:
            break
        time.sleep(0.1)
    if not cycles.times:
        runner.kill()
        runner.wait()
        sys.exit("the program did not poll the simulator")
    return runner, cycles


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=int, default=10, help="load per server, all rounds")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--variable", default="ups.status")
    parser.add_argument("--login", action="store_true", help="USERNAME/PASSWORD before the load")
    args = parser.parse_args()
    if not os.access(f"{args.build}/bench/gw_nut_load", os.X_OK):
        sys.exit(f"{args.build}/bench/gw_nut_load is missing (cmake --build {args.build} "
                 f"--target gw_nut_load)")
    ensure_nut()

    root = tempfile.mkdtemp(prefix="gw-nut-bench-")
    env = dict(os.environ, XDG_CONFIG_HOME=f"{root}/config", XDG_STATE_HOME=f"{root}/state",
               XDG_RUNTIME_DIR=root)
    os.makedirs(f"{root}/config/Tallowmere")
    password = os.urandom(8).hex()
    procs = []
    try:
        sim = subprocess.Popen([f"{args.build}/tools/upssim/gridwarden-upssim", "--com", "1"],
                               env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(sim)
        com1 = f"{root}/config/gridwarden/ports/COM1"
        for _ in range(100):
            if os.path.islink(com1):
                break
            time.sleep(0.05)
        values = ups_values(com1)
        if args.variable not in values:
            sys.exit(f"--variable must be one the simulator gives: {', '.join(values)}")

        per_round = max(1, round(args.seconds / args.rounds))
        print(f"{args.clients} clients, one GET VAR {args.variable} in flight each, "
              f"{args.rounds} rounds of {per_round} s per server, the two servers taking turns"
              f"{', logged in' if args.login else ''}; Gridwarden polls the simulator every 1 s")
        upsd_port, upsd_pids = start_upsd(args, root, values, password, procs)

        runner, _ = start_gridwarden(args, root, env, [("NUT%20Server", 0)])
        procs.append(runner)
        time.sleep(SETTLE)
        off_mb = sample_rss(runner.pid, 2)
        stop([runner])
        procs.remove(runner)

        port = free_port()
        runner, cycles = start_gridwarden(args, root, env, [
            ("NUT%20Server", 1), ("NUT%20Address", "127.0.0.1"), ("NUT%20Port", port),
            ("NUT%20User", USER), ("NUT%20Password", password)])
        procs.append(runner)
        # 30 s from the first poll cycle; the server starts before monitoring does.
        wait_for_reply(port, "gridwarden", args.variable, 30, "Gridwarden's NUT server",
                       hint="; does this build have the NUT server, switched on by "
                            "NUT%20Server=1 in [General]?")
        time.sleep(SETTLE)
        idle_mb = sample_rss(runner.pid, 2)
        quiet_start = time.monotonic()
        time.sleep(2 * per_round * args.rounds)
        quiet, quiet_gap = cycles.between(quiet_start, time.monotonic())

        one_second = argparse.Namespace(**{**vars(args), "seconds": 1})
        round_args = argparse.Namespace(**{**vars(args), "seconds": per_round})
        servers = {"upsd + dummy-ups": (upsd_port, "dummy", upsd_pids),
                   "gridwarden": (port, "gridwarden", [runner.pid])}
        rounds = {name: [] for name in servers}
        peaks = {name: [0.0] * len(pids) for name, (_, _, pids) in servers.items()}
        for name, (server_port, ups, _) in servers.items():
            run_load(one_second, server_port, ups, password)  # warm-up
        rounds_start = time.monotonic()
        for _ in range(args.rounds):
            for name, (server_port, ups, pids) in servers.items():
                sampler = RssPeak(pids)
                rounds[name].append(run_load(round_args, server_port, ups, password))
                peaks[name] = [max(a, b) for a, b in zip(peaks[name], sampler.stop())]
        # Over both servers' turns: the machine is as busy during upsd's.
        polled, gap = cycles.between(rounds_start, time.monotonic())

        print(f"{'server':<18} {'req/s':>9} {'p50 us':>7} {'p99 us':>7} {'errors':>7}  RSS"
              f"   (medians of the rounds)")
        for name, figures in rounds.items():
            row = {key: median([float(f[key]) for f in figures])
                   for key in ("rps", "p50_us", "p99_us")}
            row["errors"] = int(sum(float(f["errors"]) for f in figures))
            row["why"] = next((f["why"] for f in figures if f["why"]), "")
            if name == "gridwarden":
                rss = f"{peaks[name][0]:.1f} MB under load, {peaks[name][0] - off_mb:+.2f} MB " \
                      f"against the server off"
            else:
                rss = f"{sum(peaks[name]):.1f} MB under load (upsd {peaks[name][0]:.1f} + " \
                      f"dummy-ups {peaks[name][1]:.1f})"
            print(f"{name:<18} {row['rps']:>9.0f} {row['p50_us']:>7.0f} {row['p99_us']:>7.0f} "
                  f"{row['errors']:>7}  {rss}", flush=True)
            if row["why"]:
                print(f"{'':<18} {row['why']}", flush=True)
        load_mb = peaks["gridwarden"][0]
        print(f"gridwarden RSS: server off {off_mb:.2f} MB, on before the load "
              f"{idle_mb:.2f} MB, under load {load_mb:.2f} MB; the server adds "
              f"{load_mb - off_mb:.2f} MB ({idle_mb - off_mb:+.2f} idle, "
              f"{load_mb - idle_mb:+.2f} from the load)")
        print(f"poll cycles during the rounds: {polled}, longest gap {gap:.2f} s; "
              f"as long without load: {quiet}, longest gap {quiet_gap:.2f} s")
        ratios = [float(g["rps"]) / float(u["rps"])
                  for g, u in zip(rounds["gridwarden"], rounds["upsd + dummy-ups"])]
        print(f"gridwarden / upsd throughput: {median(ratios):.2f} (rounds: "
              f"{', '.join(f'{r:.2f}' for r in ratios)})")
    finally:
        stop(procs)
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
