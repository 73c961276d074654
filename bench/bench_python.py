#!/usr/bin/env python3
"""The Python package against simulated cameras on loopback (ipcsim as a process):

  1. the cost of a Python call over the C++ call it wraps: a UDP query (`cam.get("ptz-value")`,
     a dict built from the record) against the same ipc::CameraRef::get run in a C++ loop;
  2. frames per second through cam.frames() at 4 KiB (the camera sending as fast as it can);
  3. reports per second through a Fleet's on_report callback (bursts of 64-byte alarms).

    PYTHONPATH=build/python IPCSIM=build/sim/ipcsim /usr/bin/python3 bench/bench_python.py
"""
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import ipcsdk

IP = f"127.{200 + os.getpid() % 50}.{1 + (os.getpid() // 250) % 250}.{1 + os.getpid() % 250}"


def simulator(*args):
    log = tempfile.TemporaryFile()
    p = subprocess.Popen([os.environ.get("IPCSIM", "build/sim/ipcsim"), "--ip", IP, "--quiet", *args], stdout=log,
                         stderr=subprocess.STDOUT)
    while b"camera(s) from" not in (log.seek(0) or log.read()):  # ready
        time.sleep(0.01)
    return p


def call_cost(cam, n=2000, rounds=7):
    # Wall time includes the round trip and, on a busy machine, waits for a core; the calling
    # thread's CPU time is what the layer itself costs.
    py_wall, py_cpu, cpp_wall, cpp_cpu = [], [], [], []
    for _ in range(rounds):
        t0, c0 = time.perf_counter(), time.thread_time()
        for _ in range(n):
            cam.get("ptz-value")
        py_wall.append((time.perf_counter() - t0) / n)
        py_cpu.append((time.thread_time() - c0) / n)
        wall, cpu = cam._native_get_loop("ptz-value", n)
        cpp_wall.append(wall / n)
        cpp_cpu.append(cpu / n)
    m = lambda v: statistics.median(v) * 1e6
    print(f"query round trip (ptz-value, UDP), medians of {rounds} x {n} calls:\n"
          f"  wall: Python {m(py_wall):.1f} us, C++ {m(cpp_wall):.1f} us, difference {m(py_wall) - m(cpp_wall):.1f} us\n"
          f"  CPU of the calling thread: Python {m(py_cpu):.1f} us, C++ {m(cpp_cpu):.1f} us, "
          f"Python's own {m(py_cpu) - m(cpp_cpu):.1f} us per call")


def frame_rate(cam, seconds=3.0):
    n = 0
    with cam.frames(seconds=seconds, max_queued=4096) as frames:
        t0 = time.perf_counter()
        for f in frames:
            n += 1
        elapsed = time.perf_counter() - t0
        dropped = frames.dropped
    print(f"frames through cam.frames(), 4 KiB: {n / elapsed:,.0f} frames/s ({n} in {elapsed:.1f} s, "
          f"{dropped} dropped by the queue)")


def report_rate(burst=100000):
    # One burst, sent as fast as the simulator can; the rate is taken over the reports that
    # arrived back to back (the fleet's queue never empty while the callback runs).
    sim = simulator("--alarm-every", "2", "--alarm-burst", str(burst))
    times = []
    done = threading.Event()

    def on_report(ev):
        times.append(time.perf_counter())
        if len(times) == burst:
            done.set()

    with ipcsdk.Fleet(max_queued_reports=burst, max_queued_report_bytes=1 << 30, stale_after=0,
                      probe_after=0) as fleet:
        fleet.on_report(on_report)
        fleet.add("cam", IP, password="admin")
        done.wait(8)
        fleet.on_report(None)
        dropped = fleet.status("cam")["reports_dropped"]
    sim.terminate()
    sim.wait()
    n = next((i for i in range(1, len(times)) if times[i] - times[i - 1] > 0.5), len(times))
    print(f"reports through Fleet.on_report: {(n - 1) / (times[n - 1] - times[0]):,.0f} reports/s "
          f"({n} back to back of a burst of {burst}; {dropped} dropped by the fleet's queue)")


def main():
    # The library writes its trace file (IPCSDK_log) in the working directory.
    os.environ["IPCSIM"] = os.path.abspath(os.environ.get("IPCSIM", "build/sim/ipcsim"))
    os.chdir(tempfile.mkdtemp(prefix="bench_python."))
    sim = simulator("--fps", "0", "--frame-bytes", "4096")
    try:
        with ipcsdk.Camera(IP, password="admin") as cam:
            call_cost(cam)
            frame_rate(cam)
    finally:
        sim.terminate()
        sim.wait()
    report_rate()


if __name__ == "__main__":
    sys.exit(main())
