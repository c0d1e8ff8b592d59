"""What the console does with one line of words, at the prompt or from the command line."""

from __future__ import annotations

import sys
import traceback
from typing import Any, Callable, TextIO

from corvane import bar_views, builtins, commands, quote_words, word_checks
from corvane.cache_words import cache_word
from corvane.gateway import sorvel_cache
from corvane.gateway.connection import GatewaySettings, SettingsError, settings_for_words
from corvane.kvstore import KeyValueStore
from corvane.session import GatewayRequired, Outcome, Session, UnknownCommand
from corvane.summary import is_failure, summarize, why_failed
from ferrut.dispatch import ArgumentError

OK, FAILED, BAD_WORDS, INTERRUPTED = 0, 1, 2, 130


class Console:
    """Runs commands and the console's own words; one instance per process."""

    def __init__(self, settings: GatewaySettings, store: KeyValueStore, *, verbose: bool = False,
                 interactive: bool = False, use_gateway: bool = True,
                 ib_factory: Callable[[], Any] | None = None,
                 out: TextIO | None = None, err: TextIO | None = None) -> None:
        self.settings = settings
        self.store = store
        self.verbose = verbose
        self.interactive = interactive
        self.use_gateway = use_gateway
        self._ib_factory = ib_factory
        self.out = out or sys.stdout
        self.err = err or sys.stderr
        self._session: Session | None = None
        self._connect_tried = False
        self.views = bar_views.Views(self)

    # -- session ----------------------------------------------------------

    @property
    def session(self) -> Session:
        if self._session is None:
            kwargs = {"ib_factory": self._ib_factory} if self._ib_factory else {}
            self._session = Session(self.settings, self.store, **kwargs)
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

    @property
    def connected(self) -> bool:
        return self._session is not None and self._session.connected

    def close(self) -> None:
        if self._session is not None:
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

    def handle(self, words: list[str], view=None) -> int:
        """Run one line of words; the exit status it would have as a command line."""
        return self.views.around(words, view, self._handle)

    def _handle(self, words: list[str]) -> int:
        if not words:
            return OK
        word, rest = words[0], words[1:]
        if word == "help":
            return self._help(rest)
        if word in ("group", "ungroup"):
            return self._group(word, rest)
        if word in quote_words.WORDS:
            return quote_words.handle(self, word, rest)
        if word == "cache":
            return self._cache(rest)
        if self.interactive and word == "connect":
            return self._connect(rest)
        if self.interactive and word in bar_views.WORDS:
            return self.views.word(word, rest)
        return self._command(word, rest)

    def _help(self, rest: list[str]) -> int:
        if not rest:
            self.say(builtins.help_listing(self.interactive))
            return OK
        if len(rest) > 1:
            self.complain("usage: help [WORD]")
            return BAD_WORDS
        text = (builtins.console_word_help(rest[0], self.interactive)
                or builtins.command_help(rest[0]))
        if text is None:
            self.complain(builtins.unknown_command_message(rest[0]))
            return BAD_WORDS
        self.say(text)
        return OK

    def _group(self, word: str, rest: list[str]) -> int:
        try:
            change = builtins.set_group if word == "group" else builtins.remove_group
            self.say(change(self.store, rest))
        except builtins.UsageError as exc:
            self.complain(str(exc))
            return BAD_WORDS
        # The store has said why; a change that is not on disk is gone when a one-shot run ends.
        return FAILED if self.store.unsaved else OK

    def _cache(self, rest: list[str]) -> int:
        usable, text = cache_word(sorvel_cache.default_store_path(), rest)
        (self.say if usable else self.complain)(text)
        return OK if usable else BAD_WORDS

    def _connect(self, rest: list[str]) -> int:
        """connect [HOST] [PORT]: the gateway the words name, or the one configured."""
        try:
            wanted = settings_for_words(self.settings, rest)
        except SettingsError as exc:
            self.complain(f"connect: {exc}")
            return BAD_WORDS
        if self.connected and wanted.address == self.settings.address:
            self.say(f"already connected to {self.settings.address}")
            return OK
        if self._session is not None:
            link = self._session.link
            self._session.loop_thread.call(lambda: link.retarget(wanted))
        self.settings = wanted
        return OK if self.connect() else FAILED

    def _command(self, word: str, rest: list[str]) -> int:
        if commands.find(word) is None:
            self.complain(builtins.unknown_command_message(word))
            return BAD_WORDS
        try:
            op = self.session.prepare(word, rest)
        except UnknownCommand:
            self.complain(builtins.unknown_command_message(word))
            return BAD_WORDS
        except ArgumentError as exc:
            cls = commands.find(word)
            self.complain(f"{word}: {exc}\nusage: {commands.usage(word, cls)}"
                          f"  (help {word} for more)")
            return BAD_WORDS
        except Exception as exc:
            return self._crashed(word, exc)
        refused = word_checks.refusal(word, op)
        if refused:
            self.complain(f"{word}: {refused}")
            return BAD_WORDS
        if not self._connect_tried:
            self.connect()
        with self.views.waiting(word, rest):
            outcome = self.session.execute(op)
        self.views.took(op, outcome)
        return self._report(word, outcome, op)

    def _report(self, word: str, outcome: Outcome, op: Any = None) -> int:
        if outcome.kind == "cancelled":
            self.complain(f"{word}: cancelled")
            return INTERRUPTED
        if isinstance(outcome.error, GatewayRequired):
            self.complain(f"{word} needs a gateway connection, and there is none at "
                          f"{self.settings.address}")
            return FAILED
        if outcome.kind == "error":
            return self._crashed(word, outcome.error)
        result = outcome.value
        if is_failure(result):
            down = None if self.connected else (
                self._session.link.down_reason if self.use_gateway and self._session
                else "switched off (--no-gateway)")
            print(summarize(result) + why_failed(outcome.gateway_errors, down, outcome.yahoo),
                  file=self.err, flush=True)
            return FAILED
        self.say(summarize(result, saved_groups=self.store.groups())
                 + word_checks.contract_month(getattr(op, "state", None), result))
        for note in word_checks.notes(word, op, result):
            self.complain(f"note: {note}")
        return OK

    def _crashed(self, word: str, exc: BaseException | None) -> int:
        text = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
        self.complain(f"{word} failed: {text}")
        if self.verbose and exc is not None:
            traceback.print_exception(exc, file=self.err)
        else:
            self.complain("(-v shows where)")
        return FAILED
