"""The dispatcher: what the console does with one line of words, at the prompt or from the command line.

A console word (:mod:`corvane.words`) is found in the registry and run with
this console as its context; anything else is a command from a command
module, run on the session. Every line ends in one :class:`ExitStatus`.
"""

from __future__ import annotations

import sys
import traceback
from collections.abc import Callable
from typing import Any, TextIO

from corvane import bar_views, commands, profiles, view_options
from corvane.exit_status import ExitStatus
from corvane.gateway.connection import GatewaySettings
from corvane.kvstore import KeyValueStore
from corvane.session import GatewayRequired, Outcome, Session, UnknownCommand
from corvane.summary import cut, is_failure, summarize, why_failed
from corvane.view_options import OptionError, ViewOptions
from corvane.words import registry
from corvane.words.base import ConsoleWord, UsageError
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
        word = self.find_word(words[0]) if words else None
        if word is not None and word.own_options:
            if not word.console_options:
                return self._run_word(word, words[1:])
            if view is None:  # the view options the word leaves to the console, wherever they stand
                try:
                    rest, view = view_options.take(words[1:], word.console_options)
                except OptionError as exc:
                    self.complain(str(exc))
                    return ExitStatus.BAD_WORDS
                words = [words[0], *rest]
        return self.views.around(words, view, self._handle)

    def _handle(self, words: list[str]) -> ExitStatus:
        if not words:
            return ExitStatus.OK
        word = self.find_word(words[0])
        if word is not None:
            return self._run_word(word, words[1:])
        return self._command(words[0], words[1:])

    def _run_word(self, word: ConsoleWord, rest: list[str]) -> ExitStatus:
        try:
            return word.run(self, rest)
        except UsageError as exc:
            self.complain(str(exc))
            return ExitStatus.BAD_WORDS

    def _command(self, word: str, rest: list[str]) -> ExitStatus:
        if commands.find(word) is None:
            self.complain(commands.unknown_command_message(word))
            return ExitStatus.BAD_WORDS
        try:
            op = self.session.prepare(word, rest)
        except UnknownCommand:
            self.complain(commands.unknown_command_message(word))
            return ExitStatus.BAD_WORDS
        except ArgumentError as exc:
            self.complain(
                f"{word}: {exc}\nusage: {commands.usage(word, commands.find(word) or object)}  (help {word} for more)"
            )
            return ExitStatus.BAD_WORDS
        except Exception as exc:
            return self._crashed(word, exc)
        refused = profiles.refusal(word, op)
        if refused:
            self.complain(f"{word}: {refused}")
            return ExitStatus.BAD_WORDS
        if not self._connect_tried:
            self.connect()
        with self.views.waiting(word, rest) as sink:
            outcome = self.session.execute(op)
        self.views.took(word, op, outcome, sink)
        return self._report(word, outcome, op)

    def _report(self, word: str, outcome: Outcome, op: Any = None) -> ExitStatus:
        if outcome.kind == "cancelled":
            self.complain(f"{word}: cancelled")
            return ExitStatus.INTERRUPTED
        if isinstance(outcome.error, GatewayRequired):
            self.complain(f"{word} needs a gateway connection, and there is none at {self.address}")
            return ExitStatus.FAILED
        if outcome.kind == "error":
            return self._crashed(word, outcome.error)
        result = outcome.value
        if is_failure(result):
            down = (
                None
                if self.connected
                else (
                    self._session.link.down_reason
                    if self.use_gateway and self._session
                    else "switched off (--no-gateway)"
                )
            )
            print(
                summarize(result) + why_failed(outcome.gateway_errors, down, outcome.yahoo), file=self.err, flush=True
            )
            self._notes(word, op, result)
            return ExitStatus.FAILED
        line = profiles.profile(word).summary(result, self.store.groups())
        line = cut(line) if line is not None else summarize(result, self.views.cached_from)
        self.say(line + profiles.label(word, getattr(op, "state", None), result))
        self._notes(word, op, result)
        return ExitStatus.OK

    def _notes(self, word: str, op: Any, result: dict) -> None:
        for note in profiles.notes(word, op, result):
            self.complain(f"note: {note}")

    def _crashed(self, word: str, exc: BaseException | None) -> ExitStatus:
        text = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
        self.complain(f"{word} failed: {text}")
        if self.verbose and exc is not None:
            traceback.print_exception(exc, file=self.err)
        else:
            self.complain("(-v shows where)")
        return ExitStatus.FAILED
