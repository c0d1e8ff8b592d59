"""Candle charts of bars: drawn in the terminal, or written as a picture."""

from __future__ import annotations

import contextlib
import io
import logging
import math
import os
import shutil
import warnings
from collections.abc import Iterator
from pathlib import Path
from typing import TYPE_CHECKING

from ferrut.export import atomic_target

if TYPE_CHECKING:
    import pandas as pd

PICTURES = {".png": "png", ".svg": "svg"}
#: Moving averages drawn on pictures, in bars; each only where there are more bars than that.
AVERAGES = (20, 50)
#: Terminal columns one candle needs to stay a candle and not a smear.
COLUMNS_PER_CANDLE = 2
#: Candle bodies in the terminal: without colour a rising candle is light, a falling one solid.
BODY_RISING, BODY_FALLING, BODY_COLOURED = "░", "█", "█"
RISING_COLOUR, FALLING_COLOUR = "green", "red"
#: Up to this many bars a picture labels every candle with its date.
LABEL_EVERY_CANDLE = 12


class ChartRefused(ValueError):
    """Bars that cannot be drawn (none, or no prices)."""


def candles(bars: pd.DataFrame) -> pd.DataFrame:
    """The bars as a time-indexed Open/High/Low/Close/Volume frame, rows without prices dropped."""
    import pandas as pd

    names = {str(c).lower(): c for c in bars.columns}
    missing = [c for c in ("date", "open", "high", "low", "close") if c not in names]
    if missing:
        raise ChartRefused(f"these are not bars: no {', '.join(missing)} column")
    frame = pd.DataFrame(
        {
            "Open": pd.to_numeric(bars[names["open"]], errors="coerce").astype(float),
            "High": pd.to_numeric(bars[names["high"]], errors="coerce").astype(float),
            "Low": pd.to_numeric(bars[names["low"]], errors="coerce").astype(float),
            "Close": pd.to_numeric(bars[names["close"]], errors="coerce").astype(float),
            "Volume": (
                pd.to_numeric(bars[names["volume"]], errors="coerce").astype(float).fillna(0.0)
                if "volume" in names
                else 0.0
            ),
        }
    )
    frame.index = pd.DatetimeIndex(pd.to_datetime(bars[names["date"]], errors="coerce"), name="Date")
    frame = frame[frame.index.notna()].dropna(subset=["Open", "High", "Low", "Close"])
    if frame.empty:
        raise ChartRefused("no bars with prices to draw")
    return frame


def _merge(frame: pd.DataFrame, size: int) -> pd.DataFrame:
    """Every ``size`` consecutive bars as one candle, so a long series fits the terminal."""
    if size <= 1:
        return frame
    groups = [i // size for i in range(len(frame))]
    merged = frame.groupby(groups).agg({"Open": "first", "High": "max", "Low": "min", "Close": "last", "Volume": "sum"})
    merged.index = frame.index[::size]
    return merged


def _intraday(frame: pd.DataFrame) -> bool:
    index = frame.index
    return bool(((index.hour != 0) | (index.minute != 0) | (index.second != 0)).any())


def _date_format(frame: pd.DataFrame) -> str:
    if not _intraday(frame):
        return "%Y-%m-%d"
    return "%H:%M" if frame.index[0].date() == frame.index[-1].date() else "%m-%d %H:%M"


def _tick_labels(frame: pd.DataFrame, count: int) -> tuple[list[int], list[str]]:
    n = len(frame)
    step = max(1, math.ceil(n / max(1, count)))
    positions = list(range(1, n + 1, step))
    spec = _date_format(frame)
    return positions, [frame.index[p - 1].strftime(spec) for p in positions]


def _short(value: float) -> str:
    for size, unit in ((1e9, "B"), (1e6, "M"), (1e3, "k")):
        if abs(value) >= size:
            return f"{value / size:.1f}{unit}"
    return f"{value:.0f}"


def _y_ticks(low: float, high: float, count: int, write) -> tuple[list[float], list[str]]:
    if high <= low:
        high = low + 1.0
    values = [low + (high - low) * i / (count - 1) for i in range(count)]
    return values, [write(v) for v in values]


def terminal_chart(
    bars: pd.DataFrame, title: str, *, width: int | None = None, height: int | None = None, color: bool = True
) -> str:
    """Candles over a volume panel, as text for a terminal ``width`` x ``height`` cells."""
    import plotext as plt

    frame = candles(bars)
    size = shutil.get_terminal_size((100, 30))
    width = max(40, width or size.columns)
    height = max(12, height or min(size.lines - 2, 40))
    per = math.ceil(len(frame) / max(1, (width - 12) // COLUMNS_PER_CANDLE))
    frame = _merge(frame, per)
    if per > 1:
        title = f"{title} (each candle {per} bars)"

    n = len(frame)
    positions, labels = _tick_labels(frame, max(2, width // 16))
    prices = _y_ticks(float(frame["Low"].min()), float(frame["High"].max()), 5, lambda v: f"{v:.2f}")
    volumes = _y_ticks(0.0, float(frame["Volume"].max()), 3, _short)
    label_width = max(len(t) for t in prices[1] + volumes[1])

    fig = plt.figure
    fig.clear()
    plt.terminal.limit(False, False)
    fig.plot_size(width, height)
    fig.subplots(2, 1)
    top, bottom = fig.subplot(1, 1), fig.subplot(2, 1)
    volume_height = max(5, height // 4)
    top.plot_size(width, height - volume_height)
    bottom.plot_size(width, volume_height)

    _draw_candles(plt, top, bottom, frame, color)
    top.title(title)
    for panel, (values, texts) in ((top, prices), (bottom, volumes)):
        panel.ruler("x").lim(0.5, n + 0.5)
        panel.ruler("x").ticks(positions, labels=labels)
        panel.ruler("y").ticks(values, labels=[t.rjust(label_width) for t in texts])
    return fig.build().string(colorless=not color)


def _draw_candles(plt, top, bottom, frame: pd.DataFrame, color: bool) -> None:
    """Each candle as a wick and a body, its volume as a one-column bar in the same column.

    Drawn candle by candle rather than with plotext's candlestick and bar: those
    fill every body alike (rising and falling differ by colour only) and widen
    the volume bars until neighbours merge into one block.
    """
    rows = zip(frame["Open"], frame["High"], frame["Low"], frame["Close"], frame["Volume"])
    for x, (open_, high, low, close, volume) in enumerate(rows, start=1):
        rising = close >= open_
        pixel = plt.pixel(foreground=RISING_COLOUR if rising else FALLING_COLOUR)
        body = BODY_COLOURED if color else BODY_RISING if rising else BODY_FALLING
        top.draw(top.segment((x, x), (low, high), marker=plt.line(1, pixel)))
        top.draw(top.rectangle((x, x), (min(open_, close), max(open_, close)), marker=plt.marker(body, pixel=pixel)))
        if volume > 0:
            bar = plt.marker(BODY_FALLING, pixel=pixel)
            bottom.draw(bottom.segment((x, x), (0.0, volume), marker=bar))


@contextlib.contextmanager
def _quiet(enabled: bool) -> Iterator[None]:
    """Hold back what matplotlib and mplfinance print, warn and log on their own (font
    fallbacks, advice about data size): the console says in one line what came of it."""
    if not enabled:
        yield
        return
    chatty = logging.getLogger("matplotlib")
    level = chatty.level
    chatty.setLevel(logging.CRITICAL)
    sink = io.StringIO()
    try:
        with warnings.catch_warnings(), contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink):
            warnings.simplefilter("ignore")
            yield
    finally:
        chatty.setLevel(level)


def _label_every_candle(axes, frame: pd.DataFrame) -> None:
    """A date under each of a few candles; matplotlib's own ticks fall between them
    (one candle got five ticks all reading 00:00)."""
    spec = _date_format(frame)
    axes.set_xticks(range(len(frame)))
    axes.set_xticklabels([stamp.strftime(spec) for stamp in frame.index])


def write_picture(bars: pd.DataFrame, title: str, path: str | os.PathLike, *, quiet: bool = True) -> Path:
    """Candles, volume and moving averages as a PNG or SVG picture at ``path``.

    Any number of bars from one: each average only where there are more bars
    than it spans. ``quiet`` holds back what the libraries print on their own.
    """
    frame = candles(bars)
    target = Path(path).expanduser()
    with _quiet(quiet), atomic_target(target, force=True, formats=PICTURES) as temp:
        _plot_picture(frame, title, temp, PICTURES[target.suffix.lower()])
    return target


def _plot_picture(frame: pd.DataFrame, title: str, temp, kind: str) -> None:
    import matplotlib

    matplotlib.use("Agg")  # files only: no window, whatever the environment says
    import matplotlib.pyplot as pyplot
    import mplfinance as mpf

    averages = tuple(w for w in AVERAGES if len(frame) > w)
    # mplfinance refuses mav=None or an empty tuple: no averages means no mav at all.
    extra = {"mav": averages} if averages else {}
    figure, axes = mpf.plot(
        frame,
        type="candle",
        volume=True,
        style="yahoo",
        title=title,
        returnfig=True,
        figsize=(10, 6),
        ylabel="price",
        ylabel_lower="volume",
        warn_too_much_data=len(frame) + 1,
        **extra,
    )
    try:
        if averages:
            lines = axes[0].get_lines()[-len(averages) :]
            axes[0].legend(lines, [f"{w}-bar average" for w in averages], loc="upper left", fontsize="small")
        if len(frame) <= LABEL_EVERY_CANDLE:
            _label_every_candle(axes[0], frame)
        figure.savefig(temp, format=kind, dpi=100, bbox_inches="tight")
    finally:
        pyplot.close(figure)
