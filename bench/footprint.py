#!/usr/bin/python3
"""What a headless run costs the machine while it watches the UPS: resident memory, processor
time per poll cycle and wake-ups (context switches of all its threads) per poll cycle, measured
on the real program polling the simulated UPS at a 1 s refresh, once with the UPS answering and
once with it silent. Start-up is left out: the figures cover the steady state only.

    bench/footprint.py [--build build] [--seconds 60]

It then sets the daemon (gridwardend, no Qt) beside NUT's own serial driver for this protocol
(nutdrv_qx from nut-server, installed when missing) in one run: each polls its own simulated UPS
once a second; the driver's cycles are the seconds measured (its pollinterval is 1 s), the
daemon's the replies it printed.

Processor time comes from /proc/<pid>/task/*/schedstat (nanoseconds, exact), wake-ups from the
voluntary and involuntary context switches in /proc/<pid>/task/*/status.

The history: the same figures with the history store and without it (--no-history), both
runs at once over the same stretch, with the writer thread's own share (it is named
"gw-history"), and the store's size after a simulated day and per year and the main thread's
hand-off per cycle from gw_history_size_bench (--history-only runs just these).
"""
import argparse
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time


def task_totals(pid, name=None):
    """Run time in ns and context switches, summed over the process's threads (those called
    `name` only, when given)."""
    run_ns = switches = 0
    for task in glob.glob(f"/proc/{pid}/task/*"):
        try:
            if name is not None:
                with open(f"{task}/comm") as f:
                    if f.read().strip() != name:
                        continue
            with open(f"{task}/schedstat") as f:
                run_ns += int(f.read().split()[0])
            with open(f"{task}/status") as f:
                for line in f:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        switches += int(line.split()[1])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that just ended
    return run_ns, switches


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def wait_for(path, text, limit):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        with open(path, errors="replace") as f:
            if text in f.read():
                return True
        time.sleep(0.1)
    return False


def count(path, text):
    with open(path, errors="replace") as f:
        return f.read().count(text)


def measure(build, seconds, silent):
    root = tempfile.mkdtemp(prefix="gw-footprint-")
    env = dict(os.environ, XDG_CONFIG_HOME=f"{root}/config", XDG_STATE_HOME=f"{root}/state",
               XDG_RUNTIME_DIR=root)
    sim_path = f"{build}/tools/upssim/gridwarden-upssim"
    sim = subprocess.Popen([sim_path, "--com", "1", "--pace"], env=env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    out_path = f"{root}/out.txt"
    try:
        link = f"{root}/config/gridwarden/ports/COM1"
        for _ in range(100):
            if os.path.islink(link):
                break
            time.sleep(0.05)
        with open(out_path, "w") as out:
            runner = subprocess.Popen(
                [f"{build}/src/app/gridwarden", "--headless", "--power=simulated", "--com", "1",
                 "--refresh", "1", "--print-replies"],
                env=env, stdout=out, stderr=subprocess.STDOUT)
        if not wait_for(out_path, "Start Monitoring", 30):
            raise RuntimeError("the runner did not start monitoring")
        if silent:
            subprocess.run([sim_path, "--com", "1", "--send", "silent on"], env=env, check=True,
                           stdout=subprocess.DEVNULL)
        time.sleep(5)  # past start-up and the first silent cycles
        marker = "I/O Thread failed" if silent else "charge"
        cycles0 = count(out_path, marker)
        run0, switches0 = task_totals(runner.pid)
        time.sleep(seconds)
        cycles = count(out_path, marker) - cycles0
        run1, switches1 = task_totals(runner.pid)
        rss = rss_mb(runner.pid)
        runner.send_signal(signal.SIGTERM)
        runner.wait(timeout=30)
    finally:
        sim.terminate()
        sim.wait(timeout=30)
        shutil.rmtree(root, ignore_errors=True)
    cycles = max(cycles, 1)
    return {
        "cycles": cycles,
        "rss_MB": rss,
        "cpu_ms_per_cycle": (run1 - run0) / 1e6 / cycles,
        "wakeups_per_cycle": (switches1 - switches0) / cycles,
    }


def thread_totals(pid, name):
    """Run time in ns and context switches of the process's threads called `name`."""
    return task_totals(pid, name)


def run_with_history(build, seconds):
    """CPU ms and wake-ups per answered poll cycle of two headless runs at once, one with the
    store and one without (--no-history), each against its own simulator over the same
    stretch, so that the load of the rest of the machine weighs on both alike; and the writer
    thread's own share of the run with the store."""
    runs = {}
    started = []
    try:
        for name, keep in (("without", False), ("with", True)):
            root = tempfile.mkdtemp(prefix="gw-footprint-history-")
            env = dict(os.environ, XDG_CONFIG_HOME=f"{root}/config",
                       XDG_STATE_HOME=f"{root}/state", XDG_RUNTIME_DIR=root)
            sim_path = f"{build}/tools/upssim/gridwarden-upssim"
            sim = subprocess.Popen([sim_path, "--com", "1", "--pace"], env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            started.append((sim, root))
            for _ in range(100):
                if os.path.islink(f"{root}/config/gridwarden/ports/COM1"):
                    break
                time.sleep(0.05)
            out_path = f"{root}/out.txt"
            args = [f"{build}/src/app/gridwarden", "--headless", "--power=simulated", "--com",
                    "1", "--refresh", "1", "--print-replies"] + ([] if keep else ["--no-history"])
            with open(out_path, "w") as out:
                runner = subprocess.Popen(args, env=env, stdout=out, stderr=subprocess.STDOUT)
            started.append((runner, None))
            runs[name] = (runner, out_path)
        for runner, out_path in runs.values():
            if not wait_for(out_path, "Start Monitoring", 30):
                raise RuntimeError("the runner did not start monitoring")
        time.sleep(5)
        before = {name: (count(out_path, "charge"), task_totals(runner.pid),
                         thread_totals(runner.pid, "gw-history"))
                  for name, (runner, out_path) in runs.items()}
        time.sleep(seconds)
        figures = {}
        for name, (runner, out_path) in runs.items():
            cycles0, (run0, switches0), (writer_run0, writer_switches0) = before[name]
            cycles = max(count(out_path, "charge") - cycles0, 1)
            run1, switches1 = task_totals(runner.pid)
            writer_run1, writer_switches1 = thread_totals(runner.pid, "gw-history")
            figures[name] = (cycles, (run1 - run0) / 1e6 / cycles, (switches1 - switches0) / cycles,
                             (writer_run1 - writer_run0) / 1e6 / cycles,
                             (writer_switches1 - writer_switches0) / cycles)
        return figures
    finally:
        for process, root in reversed(started):
            if root is None:
                process.send_signal(signal.SIGTERM)
            else:
                process.terminate()
            process.wait(timeout=30)
            if root is not None:
                shutil.rmtree(root, ignore_errors=True)


def report_history(build, seconds):
    figures = run_with_history(build, seconds)
    print(f"\n{'history':<10}{'cycles':>8}{'CPU ms/cycle':>14}{'wake-ups/cycle':>16}")
    for name in ("without", "with"):
        cycles, cpu, wakeups = figures[name][:3]
        print(f"{name:<10}{cycles:>8}{cpu:>14.3f}{wakeups:>16.2f}")
    print(f"{'difference':<18}{figures['with'][1] - figures['without'][1]:>14.3f}"
          f"{figures['with'][2] - figures['without'][2]:>16.2f}"
          "   (goals: <= 0.05 ms, no extra wake-up)")
    print(f"{'writer thread':<18}{figures['with'][3]:>14.4f}{figures['with'][4]:>16.2f}"
          "   (its own share, exact)")
    size_bench = f"{build}/bench/gw_history_size_bench"
    if os.path.exists(size_bench):
        print("\nThe history file after a simulated day, and per year (goal: <= 50 MB), and the"
              " main thread's hand-off per cycle:")
        sys.stdout.flush()
        subprocess.run([size_bench], check=False)


def start_simulator(sim_path, env, com):
    sim = subprocess.Popen([sim_path, "--com", str(com), "--pace"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    link = f"{env['XDG_CONFIG_HOME']}/gridwarden/ports/COM{com}"
    for _ in range(100):
        if os.path.islink(link):
            return sim, os.readlink(link)
        time.sleep(0.05)
    sim.terminate()
    raise RuntimeError(f"the simulator did not link COM{com}")


def ensure_nut_driver():
    driver = "/lib/nut/nutdrv_qx"
    if not os.path.exists(driver):
        subprocess.run(["apt-get", "install", "-y", "-qq", "nut-server"], check=True,
                       env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    return driver


def private_mb(pid):
    """What the process holds alone: its private pages, clean and dirty, out of the RSS that it
    shares with every other process on the same libraries."""
    total = 0
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith(("Private_Clean:", "Private_Dirty:")):
                total += int(line.split()[1])
    return total / 1024


def compare_with_nut(build, seconds):
    """The daemon and nutdrv_qx side by side, each on its own simulator, at a 1 s poll."""
    driver = ensure_nut_driver()
    root = tempfile.mkdtemp(prefix="gw-footprint-nut-")
    env = dict(os.environ, XDG_CONFIG_HOME=f"{root}/config", XDG_STATE_HOME=f"{root}/state",
               XDG_RUNTIME_DIR=root)
    sim_path = f"{build}/tools/upssim/gridwarden-upssim"
    started = []
    try:
        sim1, _ = start_simulator(sim_path, env, 1)
        started.append(sim1)
        sim2, pty = start_simulator(sim_path, env, 2)
        started.append(sim2)
        out_path = f"{root}/daemon.txt"
        with open(out_path, "w") as out:
            daemon = subprocess.Popen(
                [f"{build}/src/app/gridwardend", "--power=simulated", "--com", "1", "--refresh",
                 "1", "--print-replies"], env=env, stdout=out, stderr=subprocess.STDOUT)
        started.append(daemon)
        os.makedirs(f"{root}/nut")
        with open(f"{root}/nut/ups.conf", "w") as conf:
            conf.write(f"[sim]\n  driver = nutdrv_qx\n  port = {pty}\n  protocol = megatec\n"
                       "  pollinterval = 1\n")
        nut_env = dict(env, NUT_CONFPATH=f"{root}/nut", NUT_STATEPATH=f"{root}/nut",
                       NUT_ALTPIDPATH=f"{root}/nut")
        nut = subprocess.Popen([driver, "-a", "sim", "-F", "-u", "root"], env=nut_env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        started.append(nut)
        if not wait_for(out_path, "Start Monitoring", 30):
            raise RuntimeError("the daemon did not start monitoring")
        time.sleep(5)
        counters = {"gridwardend": (daemon.pid, lambda: count(out_path, "charge")),
                    "nutdrv_qx": (nut.pid, lambda: int(time.monotonic()))}
        before = {name: (cycles(), task_totals(pid)) for name, (pid, cycles) in counters.items()}
        time.sleep(seconds)
        rows = []
        for name, (pid, cycles) in counters.items():
            n = max(cycles() - before[name][0], 1)
            run1, switches1 = task_totals(pid)
            run0, switches0 = before[name][1]
            rows.append((name, n, rss_mb(pid), private_mb(pid), (run1 - run0) / 1e6 / n,
                         (switches1 - switches0) / n))
        return rows
    finally:
        for process in reversed(started):
            process.terminate()
            process.wait(timeout=30)
        shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--history-only", action="store_true")
    args = parser.parse_args()
    if args.history_only:
        report_history(args.build, args.seconds)
        return 0
    print(f"{'UPS':<10}{'cycles':>8}{'RSS MB':>9}{'CPU ms/cycle':>14}{'wake-ups/cycle':>16}")
    for name, silent in (("answering", False), ("silent", True)):
        r = measure(args.build, args.seconds, silent)
        print(f"{name:<10}{r['cycles']:>8}{r['rss_MB']:>9.1f}{r['cpu_ms_per_cycle']:>14.3f}"
              f"{r['wakeups_per_cycle']:>16.1f}")
    report_history(args.build, args.seconds)
    print()
    print(f"{'program':<12}{'cycles':>8}{'RSS MB':>9}{'private MB':>12}{'CPU ms/cycle':>14}"
          f"{'wake-ups/cycle':>16}")
    for name, cycles, rss, private, cpu, wakeups in compare_with_nut(args.build, args.seconds):
        print(f"{name:<12}{cycles:>8}{rss:>9.1f}{private:>12.1f}{cpu:>14.3f}{wakeups:>16.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
