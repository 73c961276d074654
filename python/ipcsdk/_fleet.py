"""ipcsdk.Fleet: a set of cameras kept online, with callbacks and an asyncio face."""
from __future__ import annotations

import asyncio
import atexit
import threading
import weakref
from dataclasses import dataclass
from typing import Any, AsyncIterator, Callable, Dict, List, Optional, Union

from . import _ipcsdk
from ._ipcsdk import Frame


@dataclass(frozen=True)
class StateEvent:
    """A camera changed state: "connecting", "online", "offline" or "auth-failed"."""
    id: str
    old: str
    new: str
    error: int  # the result code that took it offline (0: none)
    error_name: str
    reconnects: int


@dataclass(frozen=True)
class ReportEvent:
    """An alarm or data report (type 0x1003 alarm, 0x1001 position, ...)."""
    id: str
    type: int
    body: bytes


@dataclass(frozen=True)
class FrameEvent:
    """A video frame of a camera added with video=True."""
    id: str
    frame: Frame


Event = Union[StateEvent, ReportEvent, FrameEvent]


class _Listener:
    def __init__(self, loop: asyncio.AbstractEventLoop, queue: "asyncio.Queue[Event]", frames: bool) -> None:
        self.loop, self.queue, self.frames, self.dropped = loop, queue, frames, 0

    def offer(self, ev: Event) -> None:
        try:
            self.loop.call_soon_threadsafe(self._put, ev)
        except RuntimeError:  # the loop is closed
            pass

    def _put(self, ev: Event) -> None:
        try:
            self.queue.put_nowait(ev)
        except asyncio.QueueFull:
            self.dropped += 1


_live: "weakref.WeakSet[Fleet]" = weakref.WeakSet()


@atexit.register
def _close_all() -> None:
    # Fleets still open at exit are closed while their threads can still take the GIL.
    for f in list(_live):
        f.close()


def _forward(ref: "weakref.ref[Fleet]", method: str, args: Any) -> None:
    fleet = ref()
    if fleet is not None:
        getattr(fleet, method)(*args)


class FleetCamera:
    """The commands of one camera of a fleet, run while it is online (blocking)."""

    def __init__(self, core: "_ipcsdk.Fleet", id: str) -> None:
        self._core, self.id = core, id

    def info(self) -> Dict[str, Any]:
        info: Dict[str, Any] = self._core.get(self.id, "sys-version")
        return info

    def get(self, name: str, count: int = 1) -> Any:
        return self._core.get(self.id, name, count)

    def set(self, name: str, value: Any) -> None:
        self._core.set(self.id, name, value)

    def ptz(self, motion: str, step: int = 0) -> None:
        self._core.ptz(self.id, motion, step)

    def preset(self, operation: str, number: int) -> None:
        self._core.preset(self.id, operation, number)


class Fleet:
    """Keeps cameras online: logs them in, notices losses, logs them in again with growing pauses.

    Options (seconds): initial_backoff, max_backoff, stable_after, stale_after, probe_after,
    login_timeout; jitter (0..1), max_command_timeouts, max_queued_frames, max_queued_reports,
    max_queued_report_bytes.

    Callbacks (on_state, on_report, on_frame) run on the fleet's dispatching thread, one at a
    time and in order; frames and reports beyond the queue limits are dropped and counted in
    status(id)["frames_dropped"] / ["reports_dropped"].
    """

    def __init__(self, **options: Any) -> None:
        self._core = _ipcsdk.Fleet(**options)
        self._lock = threading.Lock()
        self._callbacks: Dict[str, Optional[Callable[..., Any]]] = {"state": None, "report": None, "frame": None}
        self._listeners: List[_Listener] = []
        self._frames_wired = False
        # The core holds its callbacks; through a weak reference, so that dropping the Fleet frees it.
        me = weakref.ref(self)
        self._core.on_state(lambda *a: _forward(me, "_state", a))
        self._core.on_report(lambda *a: _forward(me, "_report", a))
        self._me = me
        _live.add(self)

    # ---- cameras ------------------------------------------------------------------------
    def add(self, id: str, address: str, *, password: str = "", user: str = "admin", tcp_port: Optional[int] = None,
            video: bool = False, heartbeat: bool = True) -> None:
        """Adds a camera under an id of your choosing; its first login starts at once."""
        self._core.add(id, address, password=password, user=user, tcp_port=tcp_port, video=video,
                       heartbeat=heartbeat)

    def remove(self, id: str) -> None:
        self._core.remove(id)

    def retry_now(self, id: str) -> None:
        self._core.retry_now(id)

    def status(self, id: str) -> Optional[Dict[str, Any]]:
        """id, state, since (time.monotonic()), reconnects, error, error_name, handle,
        frames_dropped, reports_dropped; None for an unknown id."""
        return self._core.status(id)

    def statuses(self) -> List[Dict[str, Any]]:
        return self._core.statuses()

    def camera(self, id: str) -> FleetCamera:
        """Blocking commands on one camera (each fails with Error while it is not online)."""
        return FleetCamera(self._core, id)

    # ---- asyncio ------------------------------------------------------------------------
    async def get(self, id: str, name: str, count: int = 1) -> Any:
        return await asyncio.get_running_loop().run_in_executor(None, self._core.get, id, name, count)

    async def set(self, id: str, name: str, value: Any) -> None:
        await asyncio.get_running_loop().run_in_executor(None, self._core.set, id, name, value)

    async def ptz(self, id: str, motion: str, step: int = 0) -> None:
        await asyncio.get_running_loop().run_in_executor(None, self._core.ptz, id, motion, step)

    async def events(self, *, frames: bool = False, max_queued: int = 1024) -> AsyncIterator[Event]:
        """State changes and reports (and frames with frames=True) as they come, in order. Events
        beyond max_queued waiting ones are dropped."""
        listener = _Listener(asyncio.get_running_loop(), asyncio.Queue(max_queued), frames)
        with self._lock:
            self._listeners.append(listener)
        if frames:
            self._wire_frames()
        try:
            while True:
                yield await listener.queue.get()
        finally:
            with self._lock:
                self._listeners.remove(listener)

    # ---- callbacks ----------------------------------------------------------------------
    def on_state(self, fn: Optional[Callable[[StateEvent], Any]]) -> None:
        self._callbacks["state"] = fn

    def on_report(self, fn: Optional[Callable[[ReportEvent], Any]]) -> None:
        self._callbacks["report"] = fn

    def on_frame(self, fn: Optional[Callable[[FrameEvent], Any]]) -> None:
        self._callbacks["frame"] = fn
        if fn is not None:
            self._wire_frames()

    def _wire_frames(self) -> None:
        if not self._frames_wired:
            self._frames_wired = True
            me = self._me
            self._core.on_frame(lambda *a: _forward(me, "_frame", a))

    def _publish(self, kind: str, ev: Event) -> None:
        fn = self._callbacks[kind]
        if fn is not None:
            fn(ev)
        with self._lock:
            listeners = [x for x in self._listeners if kind != "frame" or x.frames]
        for x in listeners:
            x.offer(ev)

    def _state(self, id: str, old: str, new: str, error: int, reconnects: int) -> None:
        name = _ipcsdk.code_text(error)[0] if error else ""
        self._publish("state", StateEvent(id, old, new, error, name, reconnects))

    def _report(self, id: str, type: int, body: bytes) -> None:
        self._publish("report", ReportEvent(id, type, body))

    def _frame(self, id: str, frame: Frame) -> None:
        self._publish("frame", FrameEvent(id, frame))

    # ---- lifetime -----------------------------------------------------------------------
    def close(self) -> None:
        """Releases every camera and stops the fleet's threads (also at exit)."""
        self._core.close()

    def __enter__(self) -> "Fleet":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()
