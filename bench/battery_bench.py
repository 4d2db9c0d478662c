#!/usr/bin/python3
"""How well the program knows the battery: for a new, a half-aged and an aged battery at three
loads, the runtime it predicts at 20, 50 and 80 % of a discharge against the simulator's truth,
and the protection margin (simulated seconds between the power-fail response firing and the
UPS cutting out) with a 600 s delay; before any learning, and after one test until battery low
at another load.

    bench/battery_bench.py [--build build] [--loads 15,25,30] [--calibration-load 20]
                           [--ages new,half,aged] [--jobs 4] [--seconds 60] [--max-scale 20]
                           [--calibration-seconds 40]

Each run has its own scratch home: the simulator and the headless program polling every second
with "Delay" 600 and "Action" 4 (nothing), so that it goes on reporting after its response fired
and the whole discharge can be sampled; the moment the response fires ("countdown: acting")
stands for the power-off order. Each run keeps one time scale from start to end, given alike to
the simulator (--time-scale) and the program (--battery-time-scale): about --seconds real seconds
for the discharge, but at most --max-scale simulated seconds per poll. The prediction is
"runtime_s" of each --status-json line, paired with the simulator's `truth` asked the moment the
line arrives; "-" where the program gives none. The calibration is the simulator's own "test low"
(b2 until battery low) under the program, once per battery, at the same kind of pace
(--calibration-seconds); the state folder it leaves is copied into each run after it. Errors are
(predicted - true) / true. A margin is good to about one poll (the run's scale in simulated
seconds); a negative one means the order came after the cut-out. Loads where the battery lasts
less than "Shutdown Time" and the response's allowance cannot leave that margin: the physics,
not the program. About 5 minutes with 4 runs at a time.
"""
import argparse
import concurrent.futures
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from bench_common import stop

AGES = ("new", "half", "aged")
COM = 1
SAMPLE_AT = (0.2, 0.5, 0.8)
SHUTDOWN_TIME = 120  # what the margin should at least leave


class Lines:
    """The lines a process writes, collected by a thread; `watch` is called on each as it comes."""

    def __init__(self, stream, watch=None):
        self.lines = []
        self.cond = threading.Condition()
        self.watch = watch
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for raw in stream:
            line = raw.decode(errors="replace").rstrip("\n")
            if self.watch:
                self.watch(line)
            with self.cond:
                self.lines.append(line)
                self.cond.notify_all()

    def wait_for(self, text, limit):
        end = time.monotonic() + limit
        seen = 0
        with self.cond:
            while True:
                for line in self.lines[seen:]:
                    if text in line:
                        return line
                seen = len(self.lines)
                left = end - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)


class Home:
    """A scratch XDG home for one simulator and one program."""

    def __init__(self, state_from=None):
        self.root = tempfile.mkdtemp(prefix="gw-battery-")
        for sub in ("config", "runtime"):
            os.makedirs(f"{self.root}/{sub}")
        if state_from:
            shutil.copytree(state_from, f"{self.root}/state")
        else:
            os.makedirs(f"{self.root}/state")
        self.env = dict(os.environ, XDG_CONFIG_HOME=f"{self.root}/config",
                        XDG_STATE_HOME=f"{self.root}/state", XDG_RUNTIME_DIR=f"{self.root}/runtime")
        settings = {"Refresh Interval": 1, "Delay": 600, "Action": 4, "COM Port": COM}
        os.makedirs(f"{self.root}/config/Tallowmere")
        with open(f"{self.root}/config/Tallowmere/Gridwarden.conf", "w") as f:
            f.write("[General]\n")
            for key, value in settings.items():
                f.write(f"{key.replace(' ', '%20')}={value}\n")

    def socket_path(self):
        return f"{self.root}/runtime/gridwarden-upssim-COM{COM}.sock"

    def remove(self):
        shutil.rmtree(self.root, ignore_errors=True)


def control(home, command):
    """One control command; the detail lines of its answer."""
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(5)
        s.connect(home.socket_path())
        s.sendall(command.encode() + b"\n")
        data = b""
        while not data.endswith(b"ok\n") and b"error:" not in data:
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
    return data.decode().splitlines()[:-1]


def truth(home):
    """{'runtime': s, 'soc': .., 'voltage': .., 'cutoff': 'no', 'time': s} from the simulator."""
    words = control(home, "truth")[0].split()
    return {k: (v if k == "cutoff" else float(v)) for k, v in zip(words[::2], words[1::2])}


def start_sim(build, home, age, load, scale, procs):
    sim = subprocess.Popen([f"{build}/tools/upssim/gridwarden-upssim", "--com", str(COM),
                            "--age", age, "--load", str(load), "--time-scale", f"{scale:g}"],
                           env=home.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    procs.append(sim)
    lines = Lines(sim.stdout)
    if not lines.wait_for(f"COM{COM} -> ", 10):
        raise RuntimeError("the simulator did not start")
    return lines


def start_program(build, home, scale, procs, watch):
    program = subprocess.Popen([f"{build}/src/app/gridwarden", "--headless", "--power=simulated",
                                "--com", str(COM), "--refresh", "1", "--status-json",
                                "--battery-time-scale", f"{scale:g}"],
                               env=home.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    procs.append(program)
    lines = Lines(program.stdout, watch)
    if not lines.wait_for("UPS detected", 30):
        raise RuntimeError("the program did not find the simulated UPS")
    return program, lines


def true_runtime(build, age, load):
    """Seconds a full battery of this age lasts at this load, from a simulator asked at once."""
    home = Home()
    procs = []
    try:
        start_sim(build, home, age, load, 1, procs)
        return truth(home)["runtime"]
    finally:
        stop(procs)
        home.remove()


def pace_of(total, seconds, max_scale):
    """The one time scale of a run that lasts `total` simulated seconds."""
    return min(max_scale, max(1.0, total / seconds))


def calibrate(build, age, load, seconds, max_scale):
    """Runs one test until battery low at `load` under the program, taking about `seconds`;
    returns the state folder it leaves (to be removed by the caller)."""
    scale = pace_of(true_runtime(build, age, load), seconds, max_scale)
    home = Home()
    procs = []
    try:
        sim_lines = start_sim(build, home, age, load, scale, procs)
        program, _ = start_program(build, home, scale, procs, None)
        control(home, "test low")
        limit = true_runtime(build, age, load) / scale * 3 + 30
        if not sim_lines.wait_for("test ended: battery low", limit):
            raise RuntimeError("the calibration test did not end")
        time.sleep(3)  # a few poll cycles to see the test end
        stop(procs)
        kept = tempfile.mkdtemp(prefix="gw-battery-state-")
        shutil.copytree(f"{home.root}/state", kept, dirs_exist_ok=True)
        return kept
    finally:
        stop(procs)
        home.remove()


def discharge(build, age, load, pace, state_from):
    """One mains failure from a full battery to the cut-out, sampled, at one time scale."""
    total = true_runtime(build, age, load)
    scale = pace_of(total, pace.seconds, pace.max_scale)
    home = Home(state_from)
    procs = []
    samples = []  # (sim time, predicted, true)
    order = {}
    try:
        sim_lines = start_sim(build, home, age, load, scale, procs)

        def watch(line):
            try:
                if line.startswith("{"):
                    predicted = json.loads(line).get("runtime_s")
                    now = truth(home)
                    if now["cutoff"] == "no":
                        samples.append((now["time"], predicted, now["runtime"]))
                elif "countdown: acting" in line and "time" not in order:
                    order.update(truth(home))
            except (OSError, ValueError, IndexError):
                pass  # the simulator gone at the end, or a line cut short

        start_program(build, home, scale, procs, watch)
        time.sleep(1.5)  # a cycle or two on mains first
        start = truth(home)["time"]
        control(home, "fail")
        limit = total / scale * 3 + 30
        cut = sim_lines.wait_for("output off: battery empty at sim time", limit)
        time.sleep(0.5)
    finally:
        stop(procs)
        home.remove()
    if not cut:
        raise RuntimeError("the battery did not run out")
    cut_time = float(cut.split("at sim time ")[1].split()[0])
    lasted = cut_time - start
    picked = []
    for share in SAMPLE_AT:
        inside = [s for s in samples if start < s[0] < cut_time]
        best = min(inside, key=lambda s: abs((s[0] - start) / lasted - share), default=None)
        picked.append(best)
    margin = cut_time - order["time"] if "time" in order else None
    return {"lasted": lasted, "samples": picked, "margin": margin, "scale": scale}


def error_text(sample):
    if sample is None:
        return "?"
    _, predicted, true = sample
    if predicted is None or true <= 0:
        return "-"
    return f"{(predicted - true) / true * 100:+.0f}%"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=float, default=60,
                        help="real seconds a discharge should take")
    parser.add_argument("--max-scale", type=float, default=20,
                        help="the fastest time scale (simulated seconds per poll)")
    parser.add_argument("--calibration-seconds", type=float, default=40,
                        help="real seconds the test until battery low should take")
    parser.add_argument("--loads", default="15,25,30")
    parser.add_argument("--calibration-load", type=int, default=20)
    parser.add_argument("--ages", default=",".join(AGES))
    parser.add_argument("--jobs", type=int, default=4, help="runs at a time")
    args = parser.parse_args()
    loads = [int(x) for x in args.loads.split(",")]
    ages = args.ages.split(",")
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))

    def run(age, load, state):
        try:
            return discharge(args.build, age, load, args, state)
        except (RuntimeError, OSError, KeyError, IndexError) as e:
            return {"error": str(e)}

    results = {}
    states = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        calibrations = {age: pool.submit(calibrate, args.build, age, args.calibration_load,
                                         args.calibration_seconds, args.max_scale) for age in ages}
        before = {(age, load): pool.submit(run, age, load, None) for age in ages for load in loads}
        after = {}
        for age in ages:
            try:
                states[age] = calibrations[age].result()
            except (RuntimeError, OSError, KeyError, IndexError) as e:
                print(f"{age}: calibration at {args.calibration_load} %: {e}")
                continue
            for load in loads:
                after[(age, load)] = pool.submit(run, age, load, states[age])
        for key, future in before.items():
            results[key + ("before",)] = future.result()
        for key, future in after.items():
            results[key + ("after",)] = future.result()
    for state in states.values():
        shutil.rmtree(state, ignore_errors=True)

    print(f"{'battery':<8}{'load':>5}  {'learning':<12}{'lasted s':>9}"
          f"{'err@20%':>9}{'err@50%':>9}{'err@80%':>9}{'margin s':>10}{'scale':>7}")
    errors = {"before": [], "after": []}
    margins = []
    no_order = 0
    for age in ages:
        for phase in ("before", "after"):
            label = "none" if phase == "before" else f"TL at {args.calibration_load} %"
            for load in loads:
                r = results.get((age, load, phase))
                if r is None:
                    continue
                if "error" in r:
                    print(f"{age:<8}{load:>4}%  {label:<12}error: {r['error']}")
                    continue
                for sample in r["samples"]:
                    if sample and sample[1] is not None and sample[2] > 0:
                        errors[phase].append((sample[1] - sample[2]) / sample[2])
                if r["margin"] is not None:
                    margins.append(r["margin"])
                else:
                    no_order += 1
                margin = f"{r['margin']:.0f}" if r["margin"] is not None else "no order"
                print(f"{age:<8}{load:>4}%  {label:<12}{r['lasted']:>9.0f}"
                      + "".join(f"{error_text(s):>9}" for s in r["samples"]) + f"{margin:>10}"
                      + f"{r['scale']:>7.1f}")

    def mean_abs(values):
        return f"{sum(abs(v) for v in values) / len(values) * 100:.1f} %" if values else "-"

    print(f"mean |error| before learning: {mean_abs(errors['before'])}, "
          f"after one calibration: {mean_abs(errors['after'])}")
    over = max(errors["before"], default=None)
    print("largest overestimate before learning: "
          + (f"{over * 100:+.1f} %" if over is not None else "-"))
    print("smallest margin: " + (f"{min(margins):.0f} s" if margins else "-")
          + f" (Shutdown Time {SHUTDOWN_TIME} s; one poll is a run's scale in s);"
          + f" cut out with no order: {no_order}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
