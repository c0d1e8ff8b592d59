"""What the console does with a result's bars: the cached table, charts, export.

One instance per console. It gives each line its output sink (:mod:`ferrut.output`),
keeps the last result (:mod:`corvane.last_result`), prints the table of a cache
answer through the command's sink, and charts or exports the last result for
``--chart``/``--export`` and the prompt words of :mod:`corvane.words.views`.
The dispatcher runs the line; these are what it asks of the views on the way.
"""

from __future__ import annotations

import dataclasses
import functools
import os
from pathlib import Path
from typing import Any, Protocol, TextIO

from corvane import last_result, profiles
from corvane.exit_status import Failed, LineEnded, Refused
from corvane.view_options import ViewOptions
from ferrut import output, status_line


class Teller(Protocol):
    """Who the views answer to: the console."""

    verbose: bool
    out: TextIO
    err: TextIO

    def say(self, text: str) -> None: ...

    def complain(self, text: str) -> None: ...

    def tell(self, ended: LineEnded) -> None:
        """Say why a step ended short, as the end of a line would."""


class Views:
    def __init__(self, console: Teller) -> None:
        self.console = console
        self.last: last_result.LastResult | None = None
        self.last_reason = "no command has run yet"
        #: The console's own output settings; ``rows`` at the prompt changes them.
        self.sink = output.Sink()
        #: Where the last cache answer's bars were fetched from, when the cache knows.
        self.cached_from: str | None = None
        #: The directory relative file names are taken from; None: this process's own.
        self.cwd: str | None = None
        #: What the last command returned (for a script that asked for it).
        self.result: Any = None
        #: Whether the line going now has run a command (or a word that fetched bars).
        self.ran = False

    # -- along each line ----------------------------------------------------

    def line_sink(self, view: ViewOptions) -> output.Sink:
        """A new line's sink, on the console's streams; --rows holds for this line only."""
        self.ran, self.result = False, None  # a line that runs no command returns nothing
        rows = view.rows if view.rows is not None else self.sink.rows
        return dataclasses.replace(self.sink, out=self.console.out, err=self.console.err, rows=rows, printed=[])

    def took(self, word: str, op: Any, outcome: Any, sink: output.Sink) -> None:
        """Keep what a command returned; show the table of a cache answer, which prints none."""
        self.ran, self.cached_from = True, None
        self.result = outcome.value if outcome.kind == "ok" else None
        if outcome.kind != "ok":
            self.last, self.last_reason = None, "the last command did not finish"
            return
        result = outcome.value
        profile = profiles.profile(word)
        printed_title = sink.last_title()
        cached = printed_title is None or (isinstance(result, dict) and bool(result.get("cached")))
        title = printed_title
        if cached and isinstance(result, dict):
            origin = profile.cached_origin(result)
            self.cached_from = getattr(origin, "source", None)
            if printed_title is None:
                title = profile.cached_title(result, op, origin)
        elif isinstance(result, dict):
            profile.note_source(op, result)  # the command stored its bars without saying where from
        self.last = last_result.capture(result, title, cached)
        if self.last is None:
            self.last_reason = "the last result has no bars"
        elif printed_title is None:
            import pandas as pd

            from ferrut.frame import printFrame

            with output.using(sink):
                printFrame(pd.DataFrame(self.last.bars), self.last.title)

    def kept(self, result: Any, last: last_result.LastResult | None) -> None:
        """What a console word that fetched bars itself returned, for a script and for --chart."""
        self.ran, self.cached_from, self.result = True, None, result
        self.last = last
        if last is None:
            self.last_reason = "the last result has no bars"

    # -- acting on the last result -----------------------------------------

    def check(self, view: ViewOptions) -> None:
        """Refuse targets that cannot work before a request is made for them."""
        if view.export is not None:
            from ferrut.export import check_target

            check_target(self.place(view.export), force=view.force)
        if view.chart:
            from ferrut.chart import PICTURES
            from ferrut.export import check_target

            check_target(self.place(view.chart), force=True, formats=PICTURES)

    def place(self, path: str) -> str:
        """``path`` as this process must open it: relative names are taken from :attr:`cwd`."""
        if self.cwd is None or not path:
            return path
        return os.path.join(self.cwd, os.path.expanduser(path))

    def act(self, view: ViewOptions) -> None:
        """Export, then chart; a refused or failed export leaves the chart still to be drawn."""
        last = self.last
        if last is None:
            raise Failed(f"nothing to chart or export: {self.last_reason}")
        steps = []
        if view.export is not None:
            steps.append(functools.partial(self._export, last, view.export, view.force))
        if view.chart is not None:
            steps.append(functools.partial(self._chart, last, view.chart))
        worst: LineEnded | None = None
        for step in steps:
            try:
                step()
            except LineEnded as ended:
                self.console.tell(ended)  # said in its place; the line ends with the worst
                worst = ended if worst is None or ended.status > worst.status else worst
        if worst is not None:
            raise type(worst)()

    def _export(self, last: last_result.LastResult, path: str, force: bool) -> None:
        import pandas as pd

        from ferrut.export import ExportRefused, bar_table, export_bars

        try:
            # The bars as the command gave them: prices stay prices even where every one is whole.
            bars = pd.DataFrame(last.bars)
            export_bars([bar_table(bars, last.symbol, last.source)], self.place(path), force=force)
            written = Path(path).expanduser()  # as the user named it
        except ExportRefused as exc:
            raise Refused(str(exc)) from None
        except Exception as exc:  # a value the file format cannot hold: nothing is left behind
            raise Failed(f"export to {path} failed: {type(exc).__name__}: {exc}") from None
        count = len(last.bars)
        self.console.say(f"wrote {count:,} bar{'' if count == 1 else 's'} to {written}")

    def _chart(self, last: last_result.LastResult, path: str) -> None:
        from ferrut.chart import ChartRefused, terminal_chart, write_picture
        from ferrut.export import ExportRefused

        bars = last.frame()
        try:
            if path:
                write_picture(bars, last.title, self.place(path), quiet=not self.console.verbose)
                written = Path(path).expanduser()
                self.console.say(f"chart written to {written}")
            else:
                self.console.say(terminal_chart(bars, last.title, color=self._colour()))
        except ExportRefused as exc:
            raise Refused(f"no chart: {exc}") from None
        except ChartRefused as exc:
            raise Failed(f"no chart: {exc}") from None
        except Exception as exc:
            self._chart_failed(exc)
            raise Failed() from None

    def _colour(self) -> bool:
        # NO_COLOR asks every program for plain text; the candles then differ by their bodies.
        if self.sink.color is not None:
            return self.sink.color
        return status_line.is_terminal(self.console.out) and not os.environ.get("NO_COLOR")

    def _chart_failed(self, exc: Exception) -> None:
        """One line; the libraries' messages can run to pages (one quotes its own source)."""
        text = str(exc).strip()
        first = text.splitlines()[0] if text else ""
        what = f"{type(exc).__name__}: {first}" if first else type(exc).__name__
        if self.console.verbose:
            import traceback

            self.console.complain(f"chart failed: {what}")
            traceback.print_exception(exc, file=self.console.err)
        else:
            self.console.complain(f"chart failed: {what} (-v shows more)")
