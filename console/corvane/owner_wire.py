"""The messages between the console that owns the gateway and the processes that attach to it.

One message is a 4-byte big-endian length and that many bytes of UTF-8 JSON
holding one object with a "type" and the protocol's version "v". Standard library only: an attached
one-shot imports this and nothing heavy. Values are JSON with tagged
datetimes and dates, never pickle, so reading a message cannot run code.
"""

from __future__ import annotations

import datetime as dt
import json
import os
import select
import socket
import stat
import struct
import time
from pathlib import Path

from corvane.home import socket_path

# typing costs an attached one-shot's start-up time; the names are for the checkers only.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

#: A message larger than this is refused and its connection closed.
MAX_MESSAGE = 1 << 20
#: How long the rest of a message may take once its first byte came.
REST_TIMEOUT = 5.0
_HEADER = struct.Struct(">I")

#: The protocol's version, named by every message ("v"). Messages without one are of version 1.
#: An owner and a client of different versions do not serve each other: the client runs alone.
VERSION = 2


class WireError(ValueError):
    """A message that cannot be read: truncated, too large, not JSON, not an object."""


# -- values -------------------------------------------------------------------


def _tagged(value: Any) -> Any:
    if isinstance(value, dt.datetime):  # pandas' Timestamp is one too
        return {"$datetime": value.isoformat()}
    if isinstance(value, dt.date):
        return {"$date": value.isoformat()}
    if isinstance(value, (set, frozenset, tuple)):
        return list(value)
    item = getattr(value, "item", None)  # numpy scalars
    if callable(item):
        return item()
    if hasattr(value, "isoformat"):
        return {"$datetime": value.isoformat()}
    raise TypeError(f"{type(value).__name__} cannot be sent")


def _untagged(obj: dict[str, Any]) -> Any:
    if len(obj) == 1:
        if "$datetime" in obj:
            return dt.datetime.fromisoformat(obj["$datetime"])
        if "$date" in obj:
            return dt.date.fromisoformat(obj["$date"])
    return obj


def encode(message: dict[str, Any]) -> bytes:
    if "v" not in message:
        message = {"v": VERSION, **message}
    body = json.dumps(message, default=_tagged, separators=(",", ":")).encode()
    if len(body) > MAX_MESSAGE:
        raise WireError(f"message of {len(body):,} bytes is over the limit of {MAX_MESSAGE:,}")
    return _HEADER.pack(len(body)) + body


def decode(body: bytes) -> dict[str, Any]:
    try:
        message = json.loads(body.decode(), object_hook=_untagged)
    except (UnicodeDecodeError, ValueError) as exc:
        raise WireError(f"not a message: {exc}") from None
    if not isinstance(message, dict) or not isinstance(message.get("type"), str):
        raise WireError("not a message: no type")
    return message


# -- sockets ------------------------------------------------------------------


def send(sock: socket.socket, message: dict[str, Any]) -> None:
    sock.sendall(encode(message))


def _read(sock: socket.socket, count: int, deadline: float | None) -> bytes:
    chunks: list[bytes] = []
    while count:
        if deadline is not None:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([sock], [], [], left)[0]:
                raise WireError("message cut short (timed out)")
        chunk = sock.recv(min(count, 65536))
        if not chunk:
            raise EOFError
        chunks.append(chunk)
        count -= len(chunk)
    return b"".join(chunks)


def receive(sock: socket.socket, *, first_timeout: float | None = None) -> dict[str, Any] | None:
    """The next message; None when the peer closed between messages.

    ``first_timeout`` bounds the wait for a message to begin; once begun, the
    rest must come within :data:`REST_TIMEOUT`.
    """
    start = None if first_timeout is None else time.monotonic() + first_timeout
    try:
        first = _read(sock, 1, start)
    except EOFError:
        return None
    try:
        rest = _read(sock, _HEADER.size - 1, time.monotonic() + REST_TIMEOUT)
        (length,) = _HEADER.unpack(first + rest)
        if length > MAX_MESSAGE:
            raise WireError(f"message of {length:,} bytes is over the limit of {MAX_MESSAGE:,}")
        return decode(_read(sock, length, time.monotonic() + REST_TIMEOUT))
    except EOFError:
        raise WireError("message cut short (connection closed)") from None


class Untrusted(OSError):
    """The home, or what listens at its socket, is not this user's alone: never asked anything."""


def peer_uid(sock: socket.socket) -> int:
    """The uid of the process at the other end of a Unix socket, as the kernel knows it."""
    creds = sock.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
    return int(struct.unpack("3i", creds)[1])


#: What a file of the home must be, by the words that name it: anything else there was put by someone else.
_KINDS = {"a regular file": stat.S_ISREG, "a socket": stat.S_ISSOCK}


def not_private(path: Path, st: os.stat_result, kind: str | None = None) -> str | None:
    """Why ``path`` might be another user's doing: owned by them, open to their writes,
    or (given ``kind``, "a regular file" or "a socket") not what it should be."""
    if st.st_uid != os.getuid():
        return f"{path} belongs to uid {st.st_uid}, not to you (uid {os.getuid()})"
    if st.st_mode & 0o022:
        return f"{path} is writable by other users (mode {stat.S_IMODE(st.st_mode):o})"
    if kind is not None and not _KINDS[kind](st.st_mode):
        return f"{path} is not {kind}"
    return None


def connect(home: Path, timeout: float = 2.0) -> socket.socket | None:
    """A connection to the owner of ``home``; None when no owner listens there.

    Raises :class:`Untrusted` before a byte is sent when the home or the socket is
    not the user's own, or the process listening runs as someone else: a home under
    a shared directory (``/tmp``) lets another user plant a socket of their own.
    """
    path = socket_path(home)
    try:
        found, home_found = os.lstat(path), os.stat(home)
    except OSError:  # nothing there, or nothing this user may reach
        return None
    why = not_private(home, home_found) or not_private(path, found, "a socket")
    if why is not None:
        raise Untrusted(why)
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    try:
        sock.connect(str(path))
        uid = peer_uid(sock)
    except OSError:
        sock.close()
        return None
    if uid != os.getuid():
        sock.close()
        raise Untrusted(f"the owner at {path} runs as uid {uid}, not as you (uid {os.getuid()})")
    sock.settimeout(None)
    return sock


#: A script's download through the owner: the frame comes back as a Parquet file in the home.
DOWNLOAD_REQUEST = "download"
