#!/usr/bin/env python3
"""Figures of the whole program against four simulated decoders, as rows for bench/run.sh.

  measure.py BUILD_DIR [--starts N] [--idle-seconds S]

Every run happens in a private folder: XDG_RUNTIME_DIR points there (virtual ports and the
single-instance lock), and the program file is copied there with a prepared MemCom.set beside
it choosing the four simulated decoders, so nothing in the build folder changes.
  - start: from just before the program is started to its "shown" line (--report-shown: the
    first paint of the window has finished), both on the monotonic clock; N starts.
  - idle CPU: the program opens the four ports itself (--open-ports), settles, then its CPU
    time (user + system, /proc/PID/stat) over S seconds as a share of one core.
  - resident memory: VmRSS of the same process at the end of the idle run.
QT_QPA_PLATFORM=offscreen is used, so the window paints into memory.
"""
import argparse
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from gather import quantile  # noqa: E402  (bench/gather.py, in the parent folder)

PORTS = ("dec1", "dec2", "dec3", "dec4")
START_TIMEOUT_S = 30.0
OPEN_TIMEOUT_S = 15.0
SETTLE_S = 3.0          # the firmware read that follows the opening is over by then
IDLE_TARGET_PERCENT = 0.5
KIB_PER_MIB = 1024.0


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # Fields after the command name start at field 3 (state); utime and stime are 14 and 15.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def open_ports(pid, folder):
    """Number of the simulated decoders' lines the process holds open."""
    targets = {os.path.realpath(os.path.join(folder, p)) for p in PORTS}
    count = 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}") in targets:
                count += 1
        except OSError:
            pass
    return count


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def row(figure, unit, median, p99, reference, target, met):
    print(json.dumps({"figure": figure, "unit": unit, "median": median, "p99": p99,
                      "reference": reference, "target": target, "met": met}))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--starts", type=int, default=10)
    ap.add_argument("--idle-seconds", type=float, default=30.0)
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="sincrovia-benchprog-")
    sim = None
    try:
        runtime = os.path.join(work, "run")
        os.mkdir(runtime, 0o700)
        program_dir = os.path.join(work, "program")
        os.mkdir(program_dir)
        program = os.path.join(program_dir, "sincrovia")
        shutil.copy2(os.path.join(args.build, "app", "sincrovia"), program)
        with open(os.path.join(program_dir, "MemCom.set"), "wb") as f:
            f.write("".join(f"CmbCOMPort_{i + 1}={p}\r\n" for i, p in enumerate(PORTS)).encode())
        env = dict(os.environ, XDG_RUNTIME_DIR=runtime, QT_QPA_PLATFORM="offscreen")
        ports_folder = os.path.join(runtime, "sincrovia-ports")

        sim = subprocess.Popen([os.path.join(args.build, "tools", "simulator", "sincrovia-decoder-sim"),
                                *PORTS], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        if sim.stdout.readline().strip() != "ready":
            raise RuntimeError("the simulator did not start")

        # Start: process start to the first paint of the window.
        starts_ms = []
        for _ in range(args.starts):
            t0 = time.monotonic()
            proc = subprocess.Popen([program, "--report-shown"], env=env, stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL, text=True)
            try:
                line = proc.stdout.readline().split()
                if len(line) != 2 or line[0] != "shown":
                    raise RuntimeError("the program did not report its window")
                starts_ms.append((float(line[1]) - t0) * 1000.0)
            finally:
                stop(proc)
        row(f"program start to window painted ({args.starts} starts)", "ms",
            statistics.median(starts_ms), quantile(starts_ms, 0.99),
            f"fastest {min(starts_ms):.1f} ms", "", None)

        # Idle: four ports open, the clock display running.
        proc = subprocess.Popen([program, "--open-ports"], env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + OPEN_TIMEOUT_S
            while open_ports(proc.pid, ports_folder) < len(PORTS):
                if proc.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("the program did not open the four ports")
                time.sleep(0.1)
            time.sleep(SETTLE_S)
            cpu0, sim0, t0 = cpu_seconds(proc.pid), cpu_seconds(sim.pid), time.monotonic()
            time.sleep(args.idle_seconds)
            cpu1, sim1, t1 = cpu_seconds(proc.pid), cpu_seconds(sim.pid), time.monotonic()
            still_open = open_ports(proc.pid, ports_folder)
            rss = rss_kib(proc.pid)
        finally:
            stop(proc)
        if still_open != len(PORTS):
            raise RuntimeError("a port closed during the idle run")
        percent = (cpu1 - cpu0) / (t1 - t0) * 100.0
        sim_percent = (sim1 - sim0) / (t1 - t0) * 100.0
        row(f"idle CPU, four ports open and the clock running ({t1 - t0:.0f} s)", "% core",
            percent, None, f"simulator of the four decoders {sim_percent:.2f}% core",
            f"< {IDLE_TARGET_PERCENT}% core", percent < IDLE_TARGET_PERCENT)
        row("resident memory (VmRSS), four ports open", "MiB", rss / KIB_PER_MIB, None, "", "", None)
    finally:
        if sim is not None:
            stop(sim)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    try:
        main()
    except RuntimeError as e:
        sys.exit(f"measure.py: {e}")
