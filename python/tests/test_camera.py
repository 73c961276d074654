import os
import signal
import threading
import time

import pytest

import ipcsdk
from conftest import address


def login(s, **kw):
    return ipcsdk.Camera(s.ip, password="secret", **kw)


def test_every_setting_round_trips_through_dicts(sim):
    s = sim()
    with login(s) as cam:
        assert cam.info()["deviceModel"]
        for e in ipcsdk.settings():
            count = 2 if e["counted"] else 1
            value = cam.get(e["name"], count)
            assert isinstance(value, list if e["counted"] else dict), e["name"]
            if e["writable"]:
                cam.set(e["name"], value)
                assert cam.get(e["name"], count) == value, e["name"]
        ntp = cam.get("ntp-conf")
        ntp["number"] = (ntp["number"] + 1) % 65536
        cam.set("ntp-conf", ntp)
        assert cam.get("ntp-conf") == ntp
        cam.set("ntp-conf", {**ntp, "block": bytes.fromhex(ntp["block"])})  # bytes for a byte field
        assert cam.get("ntp-conf") == ntp
        cam.ptz("left", 20)
        cam.preset("store", 3)
        cam.preset("goto", 3)


def test_bad_input_is_refused_before_sending(sim):
    s = sim()
    with login(s) as cam:
        ntp, info = cam.get("ntp-conf"), cam.info()
        served = len(s.lines())
        with pytest.raises(ipcsdk.BadArgumentError, match='did you mean "ntp-conf"'):
            cam.get("ntp-conff")
        with pytest.raises(ipcsdk.BadArgumentError, match='did you mean "word1"') as e:
            cam.set("ntp-conf", {**ntp, "wrod1": 1})
        assert e.value.field == "wrod1" and e.value.code == 0x80002001
        cases = [
            ({k: v for k, v in ntp.items() if k != "word2"}, "word2"),  # missing key
            ({**ntp, "number": 1 << 40}, "number"),                      # out of range
            ({**ntp, "number": -1}, "number"),
            ({**ntp, "number": 1 << 70}, "number"),
            ({**ntp, "number": "7"}, "number"),                          # wrong type
            ({**ntp, "block": "zz"}, "block"),
            ({**ntp, "block": b"\0"}, "block"),                         # bytes of the wrong size
            ([ntp, ntp], None),                                          # two records for a single one
        ]
        for value, field in cases:
            with pytest.raises(ipcsdk.BadArgumentError) as e:
                cam.set("ntp-conf", value)
            assert e.value.field == field, value
        for call in (lambda: cam.set("ntp-conf", {**ntp, "number": b"\7"}), lambda: cam.set("ntp-conf", 3.5),
                     lambda: cam.get("ntp-conf", "1"), lambda: cam.ptz(b"up")):
            with pytest.raises(TypeError):
                call()
        with pytest.raises(ipcsdk.BadArgumentError, match="read-only"):
            cam.set("sys-version", info)
        with pytest.raises(ipcsdk.BadArgumentError, match='did you mean "zoom-in"'):
            cam.ptz("zoom_in", 1)
        for call in (lambda: cam.get("ntp-conf", 2), lambda: cam.get("ptz-param", 81), lambda: cam.preset("goto", 256),
                     lambda: ipcsdk.Camera("127.0.0.1.5"), lambda: ipcsdk.Camera(s.ip, tcp_port=70000)):
            with pytest.raises(ipcsdk.BadArgumentError):
                call()
        cam.get("ntp-conf")  # the camera logs one line per request: only this one since
        deadline = time.monotonic() + 10
        while len(s.lines()) == served and time.monotonic() < deadline:
            time.sleep(0.01)
        assert len(s.lines()) == served + 1


def test_errors_carry_their_codes(sim):
    s = sim("--tcp-port", "5002")
    with pytest.raises(ipcsdk.AuthError) as e:
        ipcsdk.Camera(s.ip, password="wrong")
    assert (e.value.code, e.value.name) == (0x80001005, "IPCSDK_ERR_AUTH")
    assert isinstance(e.value, ipcsdk.Error) and "IPCSdkLogin" in str(e.value)
    with pytest.raises(ipcsdk.NoAnswerError) as e:
        ipcsdk.Camera(address(1), timeout=1)
    assert (e.value.code, e.value.name) == (0x80001007, "IPCSDK_ERR_NET")
    with login(s, tcp_port=5002) as cam:
        with pytest.raises(ipcsdk.RefusedError) as e:
            cam.preset("goto", 200)  # never stored
        assert (e.value.code, e.value.name) == (0x80002002, "IPCSDK_ERR_REFUSED")
    with pytest.raises(ipcsdk.Error) as e:
        cam.info()
    assert e.value.name == "IPCSDK_ERR_BAD_HANDLE"


def test_frames_snapshot_and_overflow(sim):
    s = sim("--fps", "0", "--frame-bytes", "4096")
    with login(s) as cam:
        first, second = cam.snapshot()
        assert first and second and isinstance(first, bytes)
        frames = list(cam.frames(count=50))
        assert len(frames) == 50
        for f in frames:
            assert len(f.payload) == 4096 and len(f.header) == 156
            assert int.from_bytes(f.header[8:12], "little") == 4096
        assert [f.time for f in frames] == sorted(f.time for f in frames)
        with cam.frames(max_queued=4) as slow:
            next(slow)
            time.sleep(0.3)  # the camera sends as fast as it can meanwhile
            assert len([f for f, _ in zip(slow, range(4))]) == 4
            assert slow.dropped > 0
        assert len(list(cam.frames(seconds=0.2))) > 0


def test_interrupt_and_other_threads_during_a_silent_call():
    ticks = []
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.001)

    spinner = threading.Thread(target=spin)
    spinner.start()
    main = threading.main_thread().ident
    timer = threading.Timer(0.2, signal.pthread_kill, (main, signal.SIGINT))
    before = len(ticks)
    with pytest.raises(KeyboardInterrupt):
        timer.start()
        ipcsdk.Camera(address(1), timeout=2)  # nothing answers there
    during = len(ticks) - before
    stop.set()
    spinner.join()
    timer.join()
    assert during > 20  # the spinner kept running while the login waited


def test_open_close_cycles_leave_descriptors_and_threads_flat(sim):
    s = sim("--quiet")

    def counts():
        return len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))

    for _ in range(20):
        login(s).close()
    base = counts()
    for i in range(1000):
        if i % 2:
            login(s)  # released when dropped
        else:
            with login(s):
                pass
    deadline = time.monotonic() + 10  # threads of the last logouts may still be ending
    while counts() > base and time.monotonic() < deadline:
        time.sleep(0.05)
    assert counts() <= base
