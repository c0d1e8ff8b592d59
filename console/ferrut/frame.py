"""Printing of tables for the terminal.

Tables go to standard output: coloured on a terminal, plain text (no escape
codes, no trailing blanks) into pipes and files. Long tables show their head
and tail unless the running command's sink (:mod:`ferrut.output`) says otherwise.
"""

from __future__ import annotations

import functools
import io
import math
import os
from typing import TYPE_CHECKING, NamedTuple

from ferrut import output, status_line
from ferrut.output import ALL, EDGE_ROWS, MAX_ROWS, Rows

if TYPE_CHECKING:  # pandas, rich and the cell formats load with the first table
    import pandas as pd

#: Rendering width for pipes and files: wide enough that no table is folded.
PLAIN_WIDTH = 4000
#: Tables showing more rows than this are handed to a stream that makes text later
#: (``write_later(make, size)``, an attached client's): every thousand rows take the
#: caller's thread tens of milliseconds. ``size`` is about the bytes the waiting table holds.
LATER_ROWS = 100


def _edges(total: int, rows: Rows) -> tuple[int, int] | None:
    """Rows shown from the head and from the tail, or None when every row is shown."""
    if rows == ALL:
        return None
    if rows is None:
        return (EDGE_ROWS, EDGE_ROWS) if total > MAX_ROWS else None
    assert isinstance(rows, int)
    return (math.ceil(rows / 2), rows // 2) if total > rows else None


def _plain_index(index: pd.Index) -> bool:
    """True for the 0, 1, 2, ... index that carries nothing worth showing."""
    import pandas as pd

    return isinstance(index, pd.RangeIndex) and index.start == 0 and index.step == 1 and index.name is None


def _is_bars(df: pd.DataFrame) -> bool:
    names = {str(c).lower() for c in df.columns}
    return {"open", "close"} <= names


def _caption(df: pd.DataFrame, edges: tuple[int, int] | None, span: tuple[str, str] | None) -> str:
    total = len(df)
    noun = "bar" if _is_bars(df) else "row"
    parts = [f"{total:,} {noun}{'' if total == 1 else 's'}"]
    if span:
        parts.append(span[0] if span[0] == span[1] else f"{span[0]} → {span[1]}")
    if edges:
        parts.append(f"first {edges[0]} and last {edges[1]} shown")
    return " · ".join(parts)


class _Layout(NamedTuple):
    """A frame as the strings a table shows: header, rows (None for the gap), alignment."""

    header: list[str]
    rows: list[list[str] | None]
    right: list[bool]
    with_index: bool
    rising: list[bool | None]  # per row: close at or above open (None: not bars, or unknown)
    caption: str


def _layout(df: pd.DataFrame, rows: Rows, *, color: bool) -> _Layout:
    import pandas as pd

    from ferrut.frame_cells import column_writer, is_missing

    edges = _edges(len(df), rows)
    shown = pd.concat([df.head(edges[0]), df.tail(edges[1])]) if edges else df
    # By position, so two columns of one name stay two columns.
    names = [str(c) for c in df.columns]
    cells = [shown.iloc[:, j].tolist() for j in range(df.shape[1])]
    writers = [column_writer(names[j], cells[j]) for j in range(df.shape[1])]
    with_index = not _plain_index(df.index)
    index = [str(i) for i in shown.index]
    up_down = color and {"open", "close"} <= set(names)
    body: list[list[str] | None] = []
    rising: list[bool | None] = []
    for n in range(len(shown)):
        if edges and n == edges[0]:
            body.append(None)
            rising.append(None)
        body.append([*([index[n]] if with_index else []), *(w[0](c[n]) for w, c in zip(writers, cells, strict=True))])
        rising.append(_compare(cells[names.index("close")][n], cells[names.index("open")][n]) if up_down else None)
    date_at = names.index("date") if "date" in names else None
    dates = [d for d in cells[date_at] if not is_missing(d)] if date_at is not None else []
    span = (writers[date_at][0](dates[0]), writers[date_at][0](dates[-1])) if date_at is not None and dates else None
    header = [*([str(df.index.name or "")] if with_index else []), *names]
    right = [*([False] if with_index else []), *(bool(w[1]) for w in writers)]
    return _Layout(header, body, right, with_index, rising, _caption(df, edges, span))


def build_table(df: pd.DataFrame, title: str = "", *, color: bool = False, rows: Rows = None):
    """What :func:`printFrame` prints: the title, the rich table and its caption."""
    return _rich(_layout(df, rows, color=color), title, color)


def _rich(lay: _Layout, title: str, color: bool):
    from rich import box
    from rich.console import Group
    from rich.table import Table
    from rich.text import Text

    table = Table(
        box=box.SIMPLE_HEAD if color else _plain_head(),
        show_edge=False,
        pad_edge=False,
        header_style="bold cyan" if color else "",
        highlight=False,
    )
    for n, name in enumerate(lay.header):
        dim = color and lay.with_index and n == 0
        right = lay.right[n]
        table.add_column(name, style="dim" if dim else "", justify="right" if right else "left", no_wrap=right)
    data = lay.header[1:] if lay.with_index else lay.header  # an index named "close" is no close
    close_at = len(lay.header) - len(data) + data.index("close") if "close" in data else None
    for row, rising in zip(lay.rows, lay.rising, strict=True):
        if row is None:
            table.add_row(*(["…" if color else "..."] * len(lay.header)), style="dim" if color else "")
            continue
        cells: list = list(row)
        if rising is not None and close_at is not None:
            cells[close_at] = Text(row[close_at], style="green" if rising else "red")
        table.add_row(*cells)
    parts: list[Table | Text] = [table, Text(lay.caption, style="dim" if color else "")]
    if title:
        parts.insert(0, Text(title, style="bold" if color else ""))
    return Group(*parts)


def _plain_lines(lay: _Layout, title: str) -> list[str] | None:
    """The plain table as rich lays it out, written directly; None where rich's own
    layout is needed (cells other than printable ASCII, or wider than the page).

    Importing rich and laying a table out costs a one-shot more than its query.
    """
    rows = [["..."] * len(lay.header) if r is None else r for r in lay.rows]
    if not all(c.isascii() and c.isprintable() for r in [lay.header, *rows] for c in r):
        return None
    if not all(t.isprintable() and len(t) < PLAIN_WIDTH for t in (title, lay.caption)):
        return None
    widths = [max(len(r[j]) for r in [lay.header, *rows]) for j in range(len(lay.header))]
    if sum(widths) + 3 * (len(widths) - 1) > PLAIN_WIDTH or not all(widths):
        return None

    def line(cells: list[str]) -> str:
        return "   ".join(c.rjust(w) if right else c.ljust(w) for c, w, right in zip(cells, widths, lay.right)).rstrip()

    rule = "-" * (sum(widths) + 3 * (len(widths) - 1))
    return [*([title] if title else []), line(lay.header), rule, *map(line, rows), lay.caption]


def _compare(close, open_) -> bool | None:
    try:
        return bool(close >= open_)
    except (TypeError, ValueError):  # missing values
        return None


@functools.cache
def _plain_head():
    """The header rule only, in ASCII: what a pipe or a file gets."""
    from rich.box import Box

    return Box("    \n    \n -- \n    \n    \n    \n    \n    \n", ascii=True)


def render_frame(df: pd.DataFrame, title: str = "", rows: Rows = None) -> str:
    """The plain text that :func:`printFrame` writes into pipes and files."""
    if df.shape[1] == 0:
        return "\n".join([*([title] if title else []), f"(no columns, {len(df)} rows)"])
    lay = _layout(df, rows, color=False)
    plain = _plain_lines(lay, title)
    if plain is not None:
        return "\n".join(plain)
    from rich.console import Console

    buffer = io.StringIO()
    console = Console(
        file=buffer,
        width=PLAIN_WIDTH,
        color_system=None,
        force_terminal=False,
        highlight=False,
        emoji=False,
        markup=False,
    )
    console.print(_rich(lay, title, False))
    return "\n".join(line.rstrip() for line in buffer.getvalue().splitlines())


def reader_gone(out) -> None:
    """Quiet ``out`` for good: whoever read it (``head``, a closed pager) has gone away.

    That is no failure of the command, which goes on and stores what it
    fetched; the rest of its output has nowhere to go, so the stream's file
    is pointed at the null device and later writes, the one at exit
    included, pass without a word.
    """
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(null, out.fileno())
        finally:
            os.close(null)
    except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
        pass


def _write(out, df: pd.DataFrame, title: str, color: bool, width: int | None, rows: Rows) -> None:
    if color and df.shape[1]:
        from rich.console import Console

        Console(file=out, width=width, highlight=False, emoji=False, markup=False, force_terminal=True).print(
            build_table(df, title, color=True, rows=rows)
        )
    else:
        print(render_frame(df, title, rows), file=out)


def _text(df: pd.DataFrame, title: str, color: bool, width: int | None, rows: Rows) -> str:
    """What :func:`_write` writes, made apart from any stream."""
    buffer = io.StringIO()
    _write(buffer, df, title, color, width, rows)
    return buffer.getvalue()


def _later(out, df: pd.DataFrame, title: str, color: bool, width: int | None, rows: Rows) -> bool:
    """Hand a long table to a stream that makes its text on a thread of its own; False: write it here."""
    write_later = getattr(out, "write_later", None)
    edges = _edges(len(df), rows)
    if write_later is None or (sum(edges) if edges else len(df)) <= LATER_ROWS or not df.shape[1]:
        return False
    frame = df.copy()  # the command may go on to change its frame while the text is made
    size = int(frame.memory_usage(index=True).sum())
    write_later(lambda: _text(frame, title, color, width, rows), size)
    return True


def printFrame(df: pd.DataFrame, title: str = "") -> None:
    """Print ``df`` as an aligned table under ``title`` through the running command's sink;
    long tables show head and tail."""
    sink = output.current()
    status_line.finish()  # the table takes the place of the waiting line
    out = sink.stdout
    color = status_line.is_terminal(out) if sink.color is None else sink.color
    try:
        if not _later(out, df, title, bool(color), sink.width, sink.rows):
            _write(out, df, title, bool(color), sink.width, sink.rows)
        out.flush()
    except BrokenPipeError:
        reader_gone(out)
    sink.printed.append(output.Printed(title, df))
