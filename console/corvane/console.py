"""The dispatcher: what the console does with one line of words, at the prompt or from the command line.

A console word (:mod:`corvane.words`) is found in the registry and run with
this console as its context; anything else is a command from a command
module, run on the session. Every line ends in one :class:`ExitStatus`: OK, or
the status of the ``Refused``/``Failed``/``Cancelled`` it raised, told here.
"""

from __future__ import annotations

import dataclasses
import sys
import traceback
from collections.abc import Callable
from typing import Any, TextIO

from corvane import bar_views, commands, profiles, view_options
from corvane.exit_status import Cancelled, ExitStatus, Failed, LineEnded, Refused
from corvane.gateway.connection import GatewaySettings
from corvane.kvstore import KeyValueStore
from corvane.session import GatewayRequired, Outcome, Session, UnknownCommand
from corvane.summary import cut, is_failure, summarize, why_failed
from corvane.view_options import OptionError, ViewOptions
from corvane.words import registry
from corvane.words.base import ConsoleWord
from ferrut import output, status_line
from ferrut.dispatch import ArgumentError


class Console:
    """Runs commands and the console's own words. It is the context a console word runs
    with (:class:`corvane.words.base.WordContext`). One per process, and one more per
    attached client, around the owner's session."""

    def __init__(
        self,
        settings: GatewaySettings,
        store: KeyValueStore,
        *,
        verbose: bool = False,
        interactive: bool = False,
        use_gateway: bool = True,
        ib_factory: Callable[[], Any] | None = None,
        out: TextIO | None = None,
        err: TextIO | None = None,
        session: Session | None = None,
    ) -> None:
        self.settings = settings
        self.store = store
        self.verbose = verbose
        self.interactive = interactive
        self.use_gateway = use_gateway
        self._ib_factory = ib_factory
        self.out = out or sys.stdout
        self.err = err or sys.stderr
        self._session: Session | None = session
        # A session handed in belongs to its owner, who connects and closes it.
        self._shared = session is not None
        self._connect_tried = self._shared
        self.views = bar_views.Views(self)

    # -- session ----------------------------------------------------------

    @property
    def session(self) -> Session:
        if self._session is None:
            kwargs = {"ib_factory": self._ib_factory} if self._ib_factory else {}
            self._session = Session(self.settings, self.store, **kwargs)
        return self._session

    @property
    def existing_session(self) -> Session | None:
        return self._session

    def connect(self) -> bool:
        """Try the gateway (once per call); False when there is none or it is switched off."""
        self._connect_tried = True
        if not self.use_gateway:
            return False
        # At the prompt a lost gateway is worth getting back; a one-shot command just ends.
        self.session.link.reconnector.enabled = self.interactive
        ok = self.session.connect(quiet=not self.verbose)
        self.settings = self.session.link.settings  # the port that answered
        return ok

    def connect_once(self) -> bool:
        if not self.connected and not self._connect_tried:
            self.connect()
        return self.connected

    def switch_gateway(self, settings: GatewaySettings) -> bool:
        if self._session is not None:
            link = self._session.link
            self._session.loop_thread.call(lambda: link.retarget(settings))
        self.settings = settings
        return self.connect()

    @property
    def connected(self) -> bool:
        return self._session is not None and self._session.connected

    @property
    def address(self) -> str:
        return self.settings.address

    def close(self) -> None:
        if self._session is not None and not self._shared:
            self._session.close()
            self._session = None

    # -- one line ---------------------------------------------------------

    def say(self, text: str) -> None:
        try:
            print(text, file=self.out, flush=True)
        except BrokenPipeError:  # `| head` has read all it wanted
            from ferrut.frame import reader_gone

            reader_gone(self.out)

    def complain(self, text: str) -> None:
        print(f"corvane: {text}", file=self.err, flush=True)

    def find_word(self, name: str) -> ConsoleWord | None:
        return registry.find(name, interactive=self.interactive)

    def handle(self, words: list[str], view: ViewOptions | None = None) -> ExitStatus:
        """Run one line of words; the exit status it would have as a command line."""
        try:
            self._line(words, view)
        except LineEnded as ended:
            self.tell(ended)
            return ended.status
        return ExitStatus.OK

    def tell(self, ended: LineEnded) -> None:
        if ended.message:
            self.complain(ended.message)
        if ended.where is None:
            return
        if self.verbose:
            traceback.print_exception(ended.where, file=self.err)
        else:
            self.complain("(-v shows where)")

    def _line(self, words: list[str], view: ViewOptions | None) -> None:
        """The line from its words to its end: the word found once, the view options taken
        off, the word or command run in the line's sink, then its result charted or exported."""
        # No word starts with "--": a line that does has its view options first, then its word.
        led_by_option = bool(words) and words[0].startswith("--")
        word = self.find_word(words[0]) if words and not led_by_option else None
        own = word.console_options if word is not None and word.own_options else None
        if word is not None and own == frozenset():  # it reads every option itself, the view's too
            word.run(self, words[1:])
            return
        if view is None:
            try:
                if own is None:
                    words, view = view_options.take(words)
                else:
                    rest, view = view_options.take(words[1:], own)
                    words = [words[0], *rest]
            except OptionError as exc:
                raise Refused(str(exc)) from None
            if led_by_option and words:
                word = self.find_word(words[0])
        try:
            self.views.check(view)
        except ValueError as exc:
            raise Refused(str(exc)) from None
        with output.using(self.views.line_sink(view)):
            if word is not None:
                word.run(self, words[1:])
            elif words:
                self._command(words[0], words[1:])
        if not view.acts:
            return
        if not self.views.ran:
            raise Refused("--chart and --export act on a command's result; this line ran no command")
        self.views.act(view)

    def _command(self, word: str, rest: list[str]) -> None:
        if commands.find(word) is None:
            raise Refused(commands.unknown_command_message(word))
        try:
            op = self.session.prepare(word, rest)
        except UnknownCommand:
            raise Refused(commands.unknown_command_message(word)) from None
        except ArgumentError as exc:
            usage = commands.usage(word, commands.find(word) or object)
            raise Refused(f"{word}: {exc}\nusage: {usage}  (help {word} for more)") from None
        except Exception as exc:
            raise _crashed(word, exc) from None
        refused = profiles.refusal(word, op)
        if refused:
            raise Refused(f"{word}: {refused}")
        if not self._connect_tried:
            self.connect()
        sink = dataclasses.replace(output.current(), printed=[])  # what this command printed, alone
        with output.using(sink), status_line.waiting(" ".join([word, *rest]), sink.stderr):
            outcome = self.session.execute(op)
        self.views.took(word, op, outcome, sink)
        self._report(word, outcome, op)

    def _report(self, word: str, outcome: Outcome, op: Any = None) -> None:
        if outcome.kind == "cancelled":
            raise Cancelled(f"{word}: cancelled")
        if isinstance(outcome.error, GatewayRequired):
            raise Failed(f"{word} needs a gateway connection, and there is none at {self.address}")
        if outcome.kind == "error":
            raise _crashed(word, outcome.error)
        result = outcome.value
        failed = is_failure(result)
        if failed:  # the failure's own line, without the console's name before it
            down = None if self.connected else "switched off (--no-gateway)"
            if down is not None and self.use_gateway and self._session:
                down = self._session.link.down_reason
            why = why_failed(outcome.gateway_errors, down, outcome.yahoo)
            print(summarize(result) + why, file=self.err, flush=True)
        else:
            line = profiles.profile(word).summary(result, self.store.groups())
            line = cut(line) if line is not None else summarize(result, self.views.cached_from)
            self.say(line + profiles.label(word, getattr(op, "state", None), result))
        for note in profiles.notes(word, op, result):
            self.complain(f"note: {note}")
        if failed:
            raise Failed()


def _crashed(word: str, exc: BaseException | None) -> Failed:
    text = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
    return Failed(f"{word} failed: {text}", where=exc)
