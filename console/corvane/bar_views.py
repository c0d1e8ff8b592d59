"""What the console does with a result's bars: the cached table, charts, export, rows.

One instance per console. It sees every command line go by (:meth:`around`),
keeps the last result (:mod:`corvane.last_result`), prints the table of a
cache answer, and answers the prompt words ``rows``, ``chart`` and ``export``.
"""

from __future__ import annotations

import contextlib
import os
from typing import TYPE_CHECKING, Any, Callable

from corvane import last_result, view_options
from corvane.view_options import OptionError, ViewOptions
from ferrut import frame, status_line

if TYPE_CHECKING:
    from corvane.console import Console

OK, FAILED, BAD_WORDS = 0, 1, 2
#: Prompt words, with their usage and what they do, for help and completion.
WORDS = {
    "rows": ("rows [N|all]", "how many rows tables show (alone: the current setting)"),
    "chart": ("chart [FILE.png|.svg]", "candles of the last result, in the terminal or a picture"),
    "export": ("export FILE [--force]", "write the last result's bars to .csv or .parquet"),
}


class Views:
    def __init__(self, console: "Console") -> None:
        self.console = console
        self.last: last_result.LastResult | None = None
        self.last_reason = "no command has run yet"
        self._ran = False
        self._printed_before = 0

    # -- around each line ---------------------------------------------------

    def around(self, words: list[str], view: ViewOptions | None,
               run: Callable[[list[str]], int]) -> int:
        """Run one line with its view options; export and chart come after a good result."""
        if self.console.interactive and words and words[0] in WORDS:
            return run(words)  # these words take their own options
        if view is None:
            try:
                words, view = view_options.take(words)
            except OptionError as exc:
                self.console.complain(str(exc))
                return BAD_WORDS
        try:
            self._check(view)
        except ValueError as exc:
            self.console.complain(str(exc))
            return BAD_WORDS
        before = frame.rows_setting()
        if view.rows is not None:
            frame.set_rows(view.rows)
        self._ran = False
        try:
            status = run(words)
        finally:
            if view.rows is not None:
                frame.set_rows(before)  # the option holds for its line only
        if not view.acts or status != OK:
            return status
        if not self._ran:
            self.console.complain("--chart and --export act on a command's result; "
                                  "this line ran no command")
            return BAD_WORDS
        return self._act(view)

    @contextlib.contextmanager
    def waiting(self, word: str, rest: list[str]):
        """The status line while a command runs (on a terminal only)."""
        self._printed_before = frame.printed()[0]
        with status_line.waiting(" ".join([word, *rest]), self.console.err):
            yield

    def took(self, op: Any, outcome: Any) -> None:
        """Keep what a command returned; show the table of a cache answer, which prints none."""
        self._ran = True
        count, title = frame.printed()
        if outcome.kind != "ok":
            self.last, self.last_reason = None, "the last command did not finish"
            return
        printed_title = title if count > self._printed_before else None
        # Tells the cache where fetched bars came from, or hears where cached ones did.
        origin = last_result.settle_origin(op, outcome.value, printed_title)
        self.last = last_result.capture(outcome.value, op, printed_title, origin)
        if self.last is None:
            self.last_reason = "the last result has no bars"
        elif printed_title is None:
            import pandas as pd
            frame.printFrame(pd.DataFrame(self.last.bars), self.last.title)

    # -- acting on the last result -----------------------------------------

    def _check(self, view: ViewOptions) -> None:
        """Refuse targets that cannot work before a request is made for them."""
        if view.export is not None:
            from ferrut.export import check_target
            check_target(view.export, force=view.force)
        if view.chart:
            from ferrut.chart import PICTURES
            from ferrut.export import check_target
            check_target(view.chart, force=True, formats=PICTURES)

    def _act(self, view: ViewOptions) -> int:
        if self.last is None:
            self.console.complain(f"nothing to chart or export: {self.last_reason}")
            return FAILED
        status = OK
        if view.export is not None:
            status = max(status, self._export(view.export, view.force))
        if view.chart is not None:
            status = max(status, self._chart(view.chart))
        return status

    def _export(self, path: str, force: bool) -> int:
        from ferrut.export import ExportRefused, write_frame
        try:
            written = write_frame(self.last.frame(), path, force=force)
        except ExportRefused as exc:
            self.console.complain(str(exc))
            return BAD_WORDS
        except Exception as exc:  # a value the file format cannot hold: nothing is left behind
            self.console.complain(f"export to {path} failed: {type(exc).__name__}: {exc}")
            return FAILED
        count = len(self.last.bars)
        self.console.say(f"wrote {count:,} bar{'' if count == 1 else 's'} to {written}")
        return OK

    def _chart(self, path: str) -> int:
        from ferrut.chart import ChartRefused, terminal_chart, write_picture
        from ferrut.export import ExportRefused
        bars = self.last.frame()
        try:
            if path:
                written = write_picture(bars, self.last.title, path, quiet=not self.console.verbose)
                self.console.say(f"chart written to {written}")
            else:
                self.console.say(terminal_chart(bars, self.last.title, color=self._colour()))
        except (ChartRefused, ExportRefused) as exc:
            self.console.complain(f"no chart: {exc}")
            return BAD_WORDS if isinstance(exc, ExportRefused) else FAILED
        except Exception as exc:
            self._chart_failed(exc)
            return FAILED
        return OK

    def _colour(self) -> bool:
        # NO_COLOR asks every program for plain text; the candles then differ by their bodies.
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

    # -- prompt words -------------------------------------------------------

    def word(self, word: str, rest: list[str]) -> int:
        try:
            if word == "rows":
                return self._rows(rest)
            words, view = view_options.take(rest)
            if word == "chart" and len(words) <= 1 and not view.export and not view.force:
                view.chart = words[0] if words else ""
            elif word == "export" and len(words) == 1 and view.chart is None:
                view.export = words[0]
            else:
                raise OptionError(f"usage: {WORDS[word][0]}")
            self._check(view)
        except ValueError as exc:
            self.console.complain(str(exc))
            return BAD_WORDS
        return self._act(view)

    def _rows(self, rest: list[str]) -> int:
        if len(rest) > 1:
            raise OptionError(f"usage: {WORDS['rows'][0]}")
        if rest:
            frame.set_rows(view_options.parse_rows(rest[0]))
        self.console.say(f"rows: {frame.rows_description()}")
        return OK
