"""What the console does with a result's bars: the cached table, charts, export.

One instance per console. It sees every command line go by (:meth:`around`),
runs each command with an output sink of its own (:mod:`ferrut.output`),
keeps the last result (:mod:`corvane.last_result`), prints the table of a
cache answer through the same sink, and charts or exports the last result
for ``--chart``/``--export`` and the prompt words of :mod:`corvane.words.views`.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any, Protocol, TextIO

from corvane import last_result, profiles, view_options
from corvane.exit_status import ExitStatus
from corvane.view_options import OptionError, ViewOptions
from ferrut import output, status_line


class Teller(Protocol):
    """Who the views answer to: the console."""

    verbose: bool
    out: TextIO
    err: TextIO

    def say(self, text: str) -> None: ...

    def complain(self, text: str) -> None: ...


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
        self._ran = False

    # -- around each line ---------------------------------------------------

    def around(self, words: list[str], view: ViewOptions | None, run: Callable[[list[str]], ExitStatus]) -> ExitStatus:
        """Run one line with its view options; export and chart come after a good result."""
        if view is None:
            try:
                words, view = view_options.take(words)
            except OptionError as exc:
                self.console.complain(str(exc))
                return ExitStatus.BAD_WORDS
        try:
            self.check(view)
        except ValueError as exc:
            self.console.complain(str(exc))
            return ExitStatus.BAD_WORDS
        self._ran, self.result = False, None  # a line that runs no command returns nothing
        # The line's own sink: --rows holds for this line only.
        line = output.Sink(
            out=self.console.out,
            err=self.console.err,
            rows=view.rows if view.rows is not None else self.sink.rows,
            color=self.sink.color,
            width=self.sink.width,
            logs=self.sink.logs,
        )
        with output.using(line):
            status = run(words)
        if not view.acts or status != ExitStatus.OK:
            return status
        if not self._ran:
            self.console.complain("--chart and --export act on a command's result; this line ran no command")
            return ExitStatus.BAD_WORDS
        return self.act(view)

    @contextlib.contextmanager
    def waiting(self, word: str, rest: list[str]) -> Iterator[output.Sink]:
        """The command's own sink, and the status line while it runs (on a terminal only)."""
        line = output.current()
        sink = output.Sink(
            out=line.out, err=line.err, rows=line.rows, color=line.color, width=line.width, logs=line.logs
        )
        with output.using(sink), status_line.waiting(" ".join([word, *rest]), sink.stderr):
            yield sink

    def took(self, word: str, op: Any, outcome: Any, sink: output.Sink) -> None:
        """Keep what a command returned; show the table of a cache answer, which prints none."""
        self._ran, self.cached_from = True, None
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
        self._ran, self.cached_from, self.result = True, None, result
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

    def act(self, view: ViewOptions) -> ExitStatus:
        if self.last is None:
            self.console.complain(f"nothing to chart or export: {self.last_reason}")
            return ExitStatus.FAILED
        status = ExitStatus.OK
        if view.export is not None:
            status = max(status, self._export(self.last, view.export, view.force))
        if view.chart is not None:
            status = max(status, self._chart(self.last, view.chart))
        return status

    def _export(self, last: last_result.LastResult, path: str, force: bool) -> ExitStatus:
        import pandas as pd

        from ferrut.export import ExportRefused, bar_table, export_bars

        try:
            # The bars as the command gave them: prices stay prices even where every one is whole.
            bars = pd.DataFrame(last.bars)
            export_bars([bar_table(bars, last.symbol, last.source)], self.place(path), force=force)
            written = Path(path).expanduser()  # as the user named it
        except ExportRefused as exc:
            self.console.complain(str(exc))
            return ExitStatus.BAD_WORDS
        except Exception as exc:  # a value the file format cannot hold: nothing is left behind
            self.console.complain(f"export to {path} failed: {type(exc).__name__}: {exc}")
            return ExitStatus.FAILED
        count = len(last.bars)
        self.console.say(f"wrote {count:,} bar{'' if count == 1 else 's'} to {written}")
        return ExitStatus.OK

    def _chart(self, last: last_result.LastResult, path: str) -> ExitStatus:
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
        except (ChartRefused, ExportRefused) as exc:
            self.console.complain(f"no chart: {exc}")
            return ExitStatus.BAD_WORDS if isinstance(exc, ExportRefused) else ExitStatus.FAILED
        except Exception as exc:
            self._chart_failed(exc)
            return ExitStatus.FAILED
        return ExitStatus.OK

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
