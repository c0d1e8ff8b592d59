"""Printing of tables for the terminal."""

from __future__ import annotations

import pandas as pd

#: Tables up to this many rows are shown whole.
MAX_ROWS = 40
#: Rows shown from each end of a longer table.
EDGE_ROWS = 10
#: Wider cells are cut, so one long text does not push every column off screen.
MAX_COLWIDTH = 40


def _plain_index(index: pd.Index) -> bool:
    """True for the 0, 1, 2, ... index that carries nothing worth showing."""
    return (isinstance(index, pd.RangeIndex) and index.start == 0 and index.step == 1
            and index.name is None)


def render_frame(df: pd.DataFrame, title: str = "", *, max_rows: int = MAX_ROWS,
                 edge_rows: int = EDGE_ROWS) -> str:
    """The text that :func:`printFrame` prints."""
    lines = [title] if title else []
    total = len(df)
    if df.shape[1] == 0:
        lines.append(f"(no columns, {total} rows)")
        return "\n".join(lines)
    if total == 0:
        lines.append("  ".join(str(c) for c in df.columns))
        lines.append("(no rows)")
        return "\n".join(lines)

    edge_rows = max(1, min(edge_rows, max_rows // 2))
    cut = total > max_rows
    shown = pd.concat([df.head(edge_rows), df.tail(edge_rows)]) if cut else df
    text = shown.to_string(index=not _plain_index(df.index), na_rep="NA",
                           max_colwidth=MAX_COLWIDTH)
    body = text.splitlines()
    if cut:
        header = len(body) - len(shown)
        at = header + edge_rows
        body.insert(at, "...".rjust(min(len(body[at - 1]), 8)))
        lines.extend(body)
        lines.append(f"({total} rows, first {edge_rows} and last {edge_rows} shown)")
    else:
        lines.extend(body)
        lines.append(f"({total} row{'' if total == 1 else 's'})")
    return "\n".join(lines)


def printFrame(df: pd.DataFrame, title: str = "") -> None:
    """Print ``df`` as an aligned table under ``title``; long tables show head and tail."""
    print(render_frame(df, title), flush=True)
