"""Simulated cameras (ipcsim, from $IPCSIM) on loopback addresses of this process's own."""
import os
import subprocess
import time

import pytest


def address(n=0):
    """127.a.b.c from the pid, as the C++ tests derive theirs: unique among live processes."""
    pid = os.getpid()
    a = 1 + pid // 62500 if n == 0 else 69 + n
    return f"127.{a}.{1 + (pid // 250) % 250}.{1 + pid % 250}"


class Sim:
    def __init__(self, tmp_path, n, args):
        self.ip, self.args, self.log = address(n), args, tmp_path / f"ipcsim-{n}.log"
        self.proc = None
        self.start()

    def start(self):
        out = open(self.log, "ab")
        self.proc = subprocess.Popen([os.environ["IPCSIM"], "--ip", self.ip, *self.args], stdout=out,
                                     stderr=subprocess.STDOUT)
        out.close()
        for _ in range(1000):  # the line printed once every camera listens
            if b"camera(s) from" in self.log.read_bytes() or self.proc.poll() is not None:
                break
            time.sleep(0.01)
        assert self.proc.poll() is None, self.log.read_text()

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)

    def lines(self):
        return self.log.read_text().splitlines()


@pytest.fixture
def sim(tmp_path):
    started = []

    def start(*args, n=0):
        started.append(Sim(tmp_path, n, [*args, "--password", "secret"]))
        return started[-1]

    yield start
    for s in started:
        if s.proc.poll() is None:
            s.stop()
