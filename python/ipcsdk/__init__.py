"""ipcsdk: networked PTZ IP cameras from Python.

    import ipcsdk
    with ipcsdk.Camera("192.168.1.64", password="secret") as cam:
        ntp = cam.get("ntp-conf")     # a dict, as `ipcctl get ntp-conf --json` prints it
        cam.set("ntp-conf", ntp)

Settings are dicts (a list of dicts for the counted ones) with the names and shapes of
``ipcctl get --json``; ``ipcsdk.settings()`` lists them. Failures raise ``ipcsdk.Error`` and
its subclasses. ``ipcsdk.Fleet`` keeps a set of cameras online, with callbacks and an asyncio
face (``async for event in fleet.events()``, ``await fleet.get(id, name)``).
"""
from __future__ import annotations

from ._errors import AuthError, BadArgumentError, Error, NoAnswerError, RefusedError
from ._ipcsdk import Camera, Frame, FrameStream
from ._ipcsdk import version as _version
from ._ipcsdk import settings as _settings
from ._fleet import Fleet, FleetCamera, FrameEvent, ReportEvent, StateEvent

from typing import Any, Dict, List

__all__ = [
    "AuthError", "BadArgumentError", "Camera", "Error", "Fleet", "FleetCamera", "Frame", "FrameEvent",
    "FrameStream", "NoAnswerError", "RefusedError", "ReportEvent", "StateEvent", "settings", "version",
]


def version() -> str:
    """The C library's version text."""
    return _version()


def settings() -> List[Dict[str, Any]]:
    """What Camera.get and Camera.set know, in table order: name, record, writable, counted,
    max_count and the C functions behind them."""
    return _settings()
