"""The interactive prompt: line editing, history, Ctrl-C and Ctrl-D."""

from __future__ import annotations

import shlex
import sys
import traceback
from pathlib import Path

from corvane import prompt_output
from corvane.completion import DELIMITERS, Completer
from corvane.console import Console
from corvane.exit_status import ExitStatus

HISTORY_LENGTH = 2000

try:
    import readline
except ImportError:  # a Python built without it still gets a plain prompt
    readline = None  # type: ignore[assignment]


def _history_lines() -> list[str]:
    n = readline.get_current_history_length()
    return [readline.get_history_item(i) or "" for i in range(1, n + 1)]


def _line_to_cursor() -> str:
    """The line up to the end of the word being completed, wherever the cursor is."""
    return readline.get_line_buffer()[: readline.get_endidx()]


def _start_line_editing(history: Path, console: Console) -> int:
    """Load the history; the number of lines it had, so only new ones are appended later."""
    if readline is None:
        return 0
    readline.set_history_length(HISTORY_LENGTH)
    try:
        readline.read_history_file(history)
    except OSError:
        pass
    completer = Completer(console.store.groups, _history_lines, _line_to_cursor)
    readline.set_completer(completer.complete)
    # readline's own delimiters include "@", "-" and "/", which would complete
    # "@tech", "2025-01-02" and "/ES" from the middle of the word.
    readline.set_completer_delims(DELIMITERS)
    if "libedit" in (readline.__doc__ or ""):
        readline.parse_and_bind("bind ^I rl_complete")
    else:
        readline.parse_and_bind("tab: complete")
    return readline.get_current_history_length()


def _save_history(history: Path, loaded: int) -> None:
    """Append this session's lines, so two consoles open at once both keep theirs."""
    if readline is None:
        return
    new = readline.get_current_history_length() - loaded
    try:
        history.parent.mkdir(mode=0o700, parents=True, exist_ok=True)
        if not history.exists():
            readline.write_history_file(history)
            return
        if new > 0:
            # Also cuts the file down to the newest HISTORY_LENGTH lines.
            readline.append_history_file(min(new, HISTORY_LENGTH), history)
    except OSError as exc:
        print(f"corvane: history not saved to {history}: {exc}", file=sys.stderr)


def interact(console: Console, history: Path) -> int:
    """Read and run lines until Ctrl-D or exit."""
    tty = sys.stdin.isatty()
    loaded = _start_line_editing(history, console)
    if tty:
        console.say("corvane console: help lists the commands, Ctrl-C stops a command, Ctrl-D leaves.")
    try:
        console.connect()
    except KeyboardInterrupt:
        console.complain("connecting interrupted; running without a gateway")
    try:
        while True:
            prompt = ("corvane> " if console.connected else "corvane (no gateway)> ") if tty else ""
            try:
                prompt_output.STDERR.prompt_open(prompt)
                line = input(prompt)
            except EOFError:
                if tty:
                    console.say("")
                break
            except KeyboardInterrupt:
                # Ctrl-C at the prompt drops the half-typed line, as in a shell.
                console.say("")
                continue
            finally:
                prompt_output.STDERR.prompt_open(None)
            try:
                words = shlex.split(line)
            except ValueError as exc:
                console.complain(f"cannot read that line: {exc}")
                continue
            word = console.find_word(words[0]) if words else None
            if word is not None and word.leaves:
                break
            try:
                console.handle(words)
            except KeyboardInterrupt:
                console.complain("interrupted")
            except Exception as exc:  # the prompt outlives any fault of ours
                console.complain(f"internal error: {type(exc).__name__}: {exc}")
                if console.verbose:
                    traceback.print_exception(exc, file=console.err)
    finally:
        _save_history(history, loaded)
    return ExitStatus.OK
