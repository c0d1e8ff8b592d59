"""Socket framing of the broker API: length-prefixed messages of NUL-terminated text fields."""

from __future__ import annotations

import asyncio
import re
import struct
from dataclasses import dataclass

#: newest protocol level this gateway speaks; every message layout below follows it
SERVER_VERSION = 178
#: oldest level whose message layouts match ours (error text carries the reject JSON field)
MIN_SERVER_VERSION = 166

HANDSHAKE_PREFIX = b"API\0"

# A frame longer than this is not a request any client sends; refusing it keeps a
# garbled length prefix from making us buffer gigabytes.
MAX_FRAME = 1 << 20

_VERSION_RANGE = re.compile(r"v(\d+)(?:\.\.(\d+))?")


class ProtocolError(Exception):
    """The peer sent bytes that are not the broker API protocol."""


def _text(value: object) -> str:
    if value is None:
        return ""
    if value is True:
        return "1"
    if value is False:
        return "0"
    return str(value)


def frame(payload: bytes) -> bytes:
    return struct.pack(">I", len(payload)) + payload


def encode(*fields: object) -> bytes:
    """One message from its fields, ready to write to the socket."""
    return frame("".join(_text(f) + "\0" for f in fields).encode())


def encode_texts(head: list[str], body: list[str]) -> bytes:
    """Like ``encode`` for large messages whose fields are already text."""
    payload = "\0".join(head + body)
    return frame((payload + "\0").encode())


async def read_frame(reader: asyncio.StreamReader, limit: int = MAX_FRAME) -> bytes:
    size = struct.unpack(">I", await reader.readexactly(4))[0]
    if size > limit:
        raise ProtocolError(f"frame of {size} bytes exceeds the limit of {limit}")
    return await reader.readexactly(size)


def split_fields(payload: bytes) -> list[str]:
    fields = payload.decode(errors="replace").split("\0")
    if fields and fields[-1] == "":
        fields.pop()
    return fields


async def read_handshake(reader: asyncio.StreamReader) -> tuple[int, int]:
    """Read the client's greeting and return the protocol range it offers."""
    prefix = await reader.readexactly(len(HANDSHAKE_PREFIX))
    if prefix != HANDSHAKE_PREFIX:
        raise ProtocolError("missing API greeting")
    offer = (await read_frame(reader, limit=256)).decode(errors="replace")
    match = _VERSION_RANGE.match(offer)
    if not match:
        raise ProtocolError(f"unreadable version offer {offer!r}")
    low = int(match.group(1))
    high = int(match.group(2) or low)
    return low, high


def negotiate(low: int, high: int) -> int | None:
    """The level both sides speak, or None when the ranges do not meet."""
    version = min(high, SERVER_VERSION)
    if version < max(low, MIN_SERVER_VERSION):
        return None
    return version


@dataclass
class Fields:
    """Cursor over the text fields of one incoming message."""

    items: list[str]
    pos: int = 0

    def next_text(self) -> str:
        if self.pos >= len(self.items):
            raise ProtocolError("message ends early")
        value = self.items[self.pos]
        self.pos += 1
        return value

    def next_int(self) -> int:
        value = self.next_text()
        return int(value) if value else 0

    def next_float(self) -> float:
        value = self.next_text()
        return float(value) if value else 0.0

    def next_bool(self) -> bool:
        return self.next_int() != 0

    def skip(self, count: int = 1) -> None:
        for _ in range(count):
            self.next_text()
