import asyncio
import threading

import ipcsdk


def wait_for(cond, what, timeout=20):
    done = threading.Event()
    for _ in range(int(timeout / 0.02)):
        if cond():
            return
        done.wait(0.02)
    raise AssertionError(f"no {what} within {timeout} s")


def test_fleet_reports_and_a_restarted_camera_comes_back(sim):
    s = sim("--alarm-every", "1", "--fps", "20", "--frame-bytes", "1000")
    states, reports, frames = [], [], []
    with ipcsdk.Fleet(initial_backoff=0.1, max_backoff=0.5, jitter=0) as fleet:
        fleet.on_state(states.append)
        fleet.on_report(reports.append)
        fleet.on_frame(frames.append)
        fleet.add("gate", s.ip, password="secret", video=True)
        wait_for(lambda: fleet.status("gate")["state"] == "online", "login")
        assert fleet.camera("gate").get("ntp-conf")["number"] >= 0
        wait_for(lambda: reports and frames, "alarm report and video frame")
        assert reports[0].id == "gate" and reports[0].type == 0x1003 and reports[0].body.startswith(b"alarm ")
        assert frames[0].id == "gate" and len(frames[0].frame.payload) == 1000 and len(frames[0].frame.header) == 156
        s.stop()
        wait_for(lambda: fleet.status("gate")["state"] != "online", "loss")
        s.start()
        # The state handler runs after the status changes: wait for its call, not the status.
        wait_for(lambda: states and states[-1].new == "online" and states[-1].reconnects == 1, "reconnect")
        assert fleet.status("gate")["reconnects"] == 1
        assert [(e.old, e.new) for e in states][:2] == [("connecting", "online"), ("online", "offline")]

        async def watch():
            events = fleet.events()
            ntp = await fleet.get("gate", "ntp-conf")
            await fleet.set("gate", "ntp-conf", ntp)
            async for ev in events:
                if isinstance(ev, ipcsdk.ReportEvent):
                    return ntp, ev
        ntp, ev = asyncio.run(asyncio.wait_for(watch(), 20))
        assert "word1" in ntp and ev.type == 0x1003
        fleet.remove("gate")
        assert fleet.statuses() == []
