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

With --health it gives instead the health verdicts at 35 % load: new, half-aged (1.5 times the
resistance, 80 % of the capacity) and aged (3 times, 50 %) batteries, behind chargers floating
at 13.5 and 13.8 V, with blocks resting full at 12.6 and 12.9 V (--float-voltage and
--rest-voltage of the simulator), each verdict from the state file the run leaves: after one
10-second self-test with the same unit's test when new on record, and with nothing on record;
after the scheduled test ("Battery Test Days" 1, the last test three days ago, nothing else on
record), which the program starts itself; and after one test until battery low with the test
when new on record. About 15 minutes with 4 rows at a time.
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

    def __init__(self, state_from=None, more_settings=None):
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
        settings.update(more_settings or {})
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


def start_sim(build, home, age, load, scale, procs, more=()):
    sim = subprocess.Popen([f"{build}/tools/upssim/gridwarden-upssim", "--com", str(COM),
                            "--age", age, "--load", str(load), "--time-scale", f"{scale:g}",
                            *more],
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


HEALTH_BATTERIES = (("new", "1,1"), ("half-aged", "0.8,1.5"), ("aged", "0.5,3"))
HEALTH_UNITS = ((13.5, 12.6), (13.5, 12.9), (13.8, 12.6), (13.8, 12.9))
HEALTH_LOAD = 35
HEALTH_COLUMNS = ("10 s, new on record", "10 s, none", "scheduled, none", "TL, new on record")


def state_file(root):
    folder = f"{root}/state/gridwarden"
    names = [n for n in os.listdir(folder) if n.startswith("battery-")] if os.path.isdir(
        folder) else []
    return f"{folder}/{names[0]}" if len(names) == 1 else None


def read_state(root):
    """The battery state file's lines as {key: the rest}; {} when there is none yet."""
    path = state_file(root)
    found = {}
    if path:
        with open(path) as f:
            for line in f:
                key, _, rest = line.rstrip("\n").partition(" ")
                found[key] = rest
    return found


def health_run(build, state_from, age, unit, scale, action, more_settings=None):
    """One self-test of a unit with this charger and battery: `action` is the simulator's own
    button ("test short", "test low"), or None for the test the program schedules itself.
    Returns the verdict, its evidence and a copy of the state folder it leaves."""
    home = Home(state_from, more_settings)
    procs = []
    try:
        tested_before = read_state(home.root).get("last_test")
        sim_lines = start_sim(build, home, age, HEALTH_LOAD, scale, procs,
                              ["--float-voltage", str(unit[0]), "--rest-voltage", str(unit[1])])
        start_program(build, home, scale, procs, None)
        time.sleep(2)  # a few readings of the float first
        if action:
            control(home, action)
        if not sim_lines.wait_for("test started", 30):
            raise RuntimeError("no test started")
        end = time.monotonic() + 1200 / scale + 30
        while not sim_lines.wait_for("test ended", 5):
            if time.monotonic() > end or any(p.poll() is not None for p in procs):
                raise RuntimeError("the test did not end")
        # The voltage back on mains, the verdict, the file written: on a loaded machine a poll
        # cycle can take seconds, and a program stopped before it saw mains learns nothing.
        end = time.monotonic() + 20
        while read_state(home.root).get("last_test") == tested_before and time.monotonic() < end:
            time.sleep(0.5)
        time.sleep(1)
        stop(procs)
        found = read_state(home.root)
        kept = tempfile.mkdtemp(prefix="gw-health-state-")
        shutil.copytree(f"{home.root}/state", kept, dirs_exist_ok=True)
        return found.get("verdict", "-"), found.get("evidence", ""), kept
    finally:
        stop(procs)
        home.remove()


def nothing_on_record_but_dates(state, days_ago):
    """The state folder with the battery file cut to who the UPS is and when it last had a test
    and a discharge, `days_ago` days ago: the scheduled test is then overdue."""
    folder = f"{state}/gridwarden"
    name = [n for n in os.listdir(folder) if n.startswith("battery-")][0]
    with open(f"{folder}/{name}") as f:
        lines = f.read().splitlines()
    then = time.time() - days_ago * 86400
    kept = [lines[0]] + [ln for ln in lines if ln.startswith("identity ")]
    kept += [f"last_test {then:.0f}", f"last_discharge {then:.0f}"]
    with open(f"{folder}/{name}", "w") as f:
        f.write("\n".join(kept) + "\n")


def health_row(build, age, unit):
    """The four verdicts of one battery behind one unit."""
    made = []
    try:
        _, _, when_new = health_run(build, None, "1,1", unit, 1, "test short")
        made.append(when_new)
        cells = []
        verdict, evidence, state = health_run(build, when_new, age, unit, 1, "test short")
        made.append(state)
        cells.append((verdict, evidence))
        verdict, evidence, alone = health_run(build, None, age, unit, 1, "test short")
        made.append(alone)
        cells.append((verdict, evidence))
        nothing_on_record_but_dates(alone, 3)
        # In real time: a worn battery may reach the low bit, ending the test, within a poll.
        verdict, evidence, state = health_run(build, alone, age, unit, 1, None,
                                              {"Battery Test Days": 1})
        made.append(state)
        cells.append((verdict, evidence))
        # Three times the pace: the reading back on mains still within a few battery seconds.
        verdict, evidence, state = health_run(build, when_new, age, unit, 3, "test low")
        made.append(state)
        cells.append((verdict, evidence))
        return cells
    finally:
        for folder in made:
            shutil.rmtree(folder, ignore_errors=True)


def health(args):
    rows = [(name, age, unit) for name, age in HEALTH_BATTERIES for unit in HEALTH_UNITS]
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        futures = {row: pool.submit(health_row, args.build, row[1], row[2]) for row in rows}
        results = {}
        for row, future in futures.items():
            try:
                results[row] = future.result()
            except (RuntimeError, OSError, IndexError) as e:
                results[row] = str(e)
    print(f"{'battery':<10}{'float':>6}{'rest':>6}  " + "".join(f"{c:<20}" for c in HEALTH_COLUMNS))
    misses = []
    for name, age, unit in rows:
        cells = results[(name, age, unit)]
        if isinstance(cells, str):
            print(f"{name:<10}{unit[0]:>6}{unit[1]:>6}  error: {cells}")
            misses.append(f"{name} {unit}: {cells}")
            continue
        print(f"{name:<10}{unit[0]:>6}{unit[1]:>6}  " + "".join(f"{v:<20}" for v, _ in cells))
        verdicts = [v for v, _ in cells]
        if name == "new" and any(v in ("Weak", "Replace") for v in verdicts):
            misses.append(f"new {unit} called worn")
        if name == "aged" and (verdicts[0] != "Replace" or "Replace" not in verdicts[1:3]):
            misses.append(f"aged {unit}: not Replace after its 10 s test with the test when new "
                          f"on record, or by the scheduled test without")
        if name == "half-aged" and verdicts[3] not in ("Weak", "Replace"):
            misses.append(f"half-aged {unit}: {verdicts[3]} after a test until battery low")
    for name, age in HEALTH_BATTERIES:
        cells = results[(name, age, HEALTH_UNITS[0])]
        if not isinstance(cells, str):
            print(f"evidence, {name} behind {HEALTH_UNITS[0][0]}/{HEALTH_UNITS[0][1]} V: "
                  + " | ".join(e for _, e in cells))
    print("goals met" if not misses else "goals missed: " + "; ".join(misses))
    return 0 if not misses else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--health", action="store_true", help="the health verdicts instead")
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
    if args.health:
        return health(args)
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
