"""The exceptions of ipcsdk: every failure of a call is an Error carrying the result code."""
from __future__ import annotations

from typing import Optional


class Error(Exception):
    """A call failed. ``code`` is the library's 32-bit result code, ``name`` its symbolic name
    ("IPCSDK_ERR_AUTH"), ``message`` its meaning and ``operation`` the function that failed."""

    def __init__(self, code: int, name: str, message: str, operation: str = "") -> None:
        self.code = code
        self.name = name
        self.message = message
        self.operation = operation
        self.field: Optional[str] = None
        if operation:
            text = f"{operation}: 0x{code:08X} {name} ({message})"
        elif message.startswith(name):
            text = message
        else:
            text = message if code == 0x80002001 else f"0x{code:08X} {name} ({message})"
        super().__init__(text)


class AuthError(Error):
    """The camera refused the user name or the password."""


class NoAnswerError(Error, TimeoutError):
    """No answer (or not in time): the camera is silent, unreachable or gone."""


class RefusedError(Error):
    """The camera answered with a refusal or a failure."""


class BadArgumentError(Error, ValueError):
    """An argument or a setting's value does not fit; nothing was sent. ``field`` names the
    field at fault when there is one ("word1", "[2].value16")."""
