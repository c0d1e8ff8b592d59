"""Bar record lists to bytes and back, for the candle store on disk.

Records are written column by column: a column whose values all share one
plain type (float, int, calendar date, time stamp) is one packed array, so a
year of one-minute bars costs milliseconds rather than a per-value encoder.
Anything else is a list of tagged values. Nothing here can run code when
read back (unlike pickle): a store another program scribbled into yields a
decoding error, never an action.
"""

from __future__ import annotations

import datetime as dt
import json
import math
import struct
from array import array
from operator import attrgetter, itemgetter
from typing import Any

#: Format version; a store written by another version is read as a miss.
VERSION = 1
_HEADER = struct.Struct("<BI")  # version, length of the JSON column table


class Unstorable(ValueError):
    """The records hold a value the store cannot write back faithfully."""


def _is_na(value: Any) -> bool:
    return type(value).__name__ == "NAType" and type(value).__module__.startswith("pandas")


def _tag(value: Any) -> Any:
    kind = type(value)
    if value is None or kind in (bool, str):
        return value
    if kind is int:
        return value
    if kind is float:
        return value if math.isfinite(value) else {"f": repr(value)}
    if kind is dt.date:
        return {"d": value.toordinal()}
    if kind is dt.datetime and value.tzinfo is None:
        return {"dt": value.isoformat()}
    if _is_na(value):
        return {"na": 1}
    if kind.__name__ == "Timestamp" and value.tzinfo is None:
        return {"ts": [value.value, value.unit]}
    raise Unstorable(f"cannot store a value of type {kind.__name__}")


def _untag(value: Any) -> Any:
    if not isinstance(value, dict):
        return value
    if "f" in value:
        return float(value["f"])
    if "d" in value:
        return dt.date.fromordinal(value["d"])
    if "dt" in value:
        return dt.datetime.fromisoformat(value["dt"])
    if "na" in value:
        import pandas as pd

        return pd.NA
    if "ts" in value:
        import pandas as pd

        number, unit = value["ts"]
        return pd.Timestamp(number, unit=unit).as_unit(unit)
    raise ValueError("unknown value tag")


def _column(values: list) -> tuple[dict, bytes]:
    kinds = set(map(type, values))
    if kinds == {float}:
        return {"k": "float"}, array("d", values).tobytes()
    if kinds == {int}:
        try:
            return {"k": "int"}, array("q", values).tobytes()
        except OverflowError:
            pass
    if kinds == {dt.date}:
        return {"k": "date"}, array("q", [v.toordinal() for v in values]).tobytes()
    if len(kinds) == 1:
        kind = next(iter(kinds))
        if kind.__name__ == "Timestamp" and kind.__module__.startswith("pandas"):
            units = set(map(attrgetter("unit"), values))
            zones = set(map(attrgetter("tzinfo"), values))
            if len(units) == 1 and zones == {None}:
                return ({"k": "ts", "unit": units.pop()}, array("q", map(attrgetter("value"), values)).tobytes())
    return {"k": "tagged"}, json.dumps([_tag(v) for v in values]).encode()


def encode(records: list) -> bytes:
    """Bytes for a list of records that all have the same keys; Unstorable otherwise."""
    if not isinstance(records, list) or not all(type(r) is dict for r in records):
        raise Unstorable("records must be a list of dicts")
    names = list(records[0]) if records else []
    # Same length and every name present: the same keys (the first record's order is kept).
    if any(len(r) != len(names) for r in records):
        raise Unstorable("records with differing keys")
    table, blobs = [], []
    for name in names:
        if type(name) is not str:
            raise Unstorable("column names must be text")
        try:
            values = list(map(itemgetter(name), records))
        except KeyError:
            raise Unstorable("records with differing keys") from None
        head, blob = _column(values)
        head.update(name=name, size=len(blob))
        table.append(head)
        blobs.append(blob)
    meta = json.dumps({"rows": len(records), "columns": table}).encode()
    return _HEADER.pack(VERSION, len(meta)) + meta + b"".join(blobs)


def _timestamps(numbers: array, unit: str) -> list:
    import numpy as np
    import pandas as pd

    stamps = np.frombuffer(numbers, dtype="int64").astype(f"datetime64[{unit}]")
    return list(pd.DatetimeIndex(stamps))


def decode(data: bytes) -> list:
    """The records ``encode`` was given; ValueError for anything it did not write."""
    version, size = _HEADER.unpack_from(data, 0)
    if version != VERSION:
        raise ValueError(f"candle data of version {version}")
    start = _HEADER.size
    meta = json.loads(data[start : start + size])
    offset = start + size
    rows = meta["rows"]
    columns: dict[str, list] = {}
    for head in meta["columns"]:
        blob = data[offset : offset + head["size"]]
        offset += head["size"]
        kind = head["k"]
        if kind == "tagged":
            values = [_untag(v) for v in json.loads(blob)]
        else:
            numbers = array("d" if kind == "float" else "q")
            numbers.frombytes(blob)
            if kind == "date":
                values = [dt.date.fromordinal(n) for n in numbers]
            elif kind == "ts":
                values = _timestamps(numbers, head["unit"])
            else:
                values = numbers.tolist()
        if len(values) != rows:
            raise ValueError("candle data cut short")
        columns[head["name"]] = values
    if offset != len(data):
        raise ValueError("candle data of the wrong length")
    if not columns:
        return [{} for _ in range(rows)]
    names = list(columns)
    return [dict(zip(names, row)) for row in zip(*columns.values())]
