"""``corvane WORDS…`` run by the console that owns the gateway, when one runs for this home.

This is the ``corvane`` entry point. It imports the standard library and
the message framing only, so an attached one-shot costs a connection and a
few messages, not the start-up of the data libraries: it sends its command
line, terminal facts and working directory, prints what the owner sends
back on the same streams, and ends with the owner's exit status. Ctrl-C
asks the owner to cancel the command. Without an owner (or with
``--standalone``, ``--help``, or no command) the console runs here as ever.
"""

from __future__ import annotations

import os
import re
import select
import signal
import socket
import sys
import threading
import time
from pathlib import Path

from corvane import owner_wire
from corvane.exit_status import ExitStatus
from corvane.home import home_dir, socket_path
from corvane.owner_wire import WireError

# typing costs an attached one-shot's start-up time; the names are for the checkers only.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

#: Words that make a command line run here without asking the owner.
_HERE = frozenset({"--standalone", "--help", "-h"})
#: How long a one-shot keeps knocking while the owner's queue of connections is full.
CONNECT_PATIENCE = 60.0
#: How long ``serve --stop`` waits for the owner to be gone.
STOP_PATIENCE = 30.0
#: What was said once in this process (a script may ask the owner many times).
_said: set[str] = set()


class OwnerFailed(RuntimeError):
    """The owner answered with an error, or the connection broke mid-answer."""


def _facts(argv: list[str], *, result: bool = False) -> dict[str, Any]:
    tty = sys.stdout.isatty()
    env = {k: os.environ[k] for k in ("CORVANE_NOW",) if k in os.environ}
    return {
        "type": "run",
        "argv": argv,
        "cwd": os.getcwd(),
        "tty": tty,
        "color": _colour(sys.stdout),
        "width": _width() if tty else None,
        "env": env,
        "result": result,
    }


def _width() -> int:
    """The terminal's columns (os, not shutil: shutil's import costs more than the call)."""
    columns = os.environ.get("COLUMNS", "")
    if columns.isdigit() and int(columns) > 0:
        return int(columns)
    try:
        return os.get_terminal_size(sys.stdout.fileno()).columns or 80  # 0: a terminal of no size yet
    except (OSError, ValueError):
        return 80


#: What a terminal acts on rather than shows: escape sequences (CSI; OSC and the other
#: strings, such as title sets, links and clipboard writes; two-character escapes; a lone
#: ESC), in their 7-bit and 8-bit forms, and control characters but newline, tab and
#: carriage return.
_CONTROLS = re.compile(
    r"(?:\x1b\[|\x9b)[0-?]*[ -/]*[@-~]"
    r"|(?:\x1b[\]PX^_]|[\x90\x98\x9d-\x9f])[^\x07\x1b\x9c]*(?:\x07|\x1b\\|\x9c)?"
    r"|\x1b[ -/]*[0-~]?"
    r"|[\x00-\x08\x0b\x0c\x0e-\x1f\x7f-\x9f]"
)
#: The ones tables and the waiting line use: SGR colour and style, and the line wipe.
_KEPT = re.compile(r"\x1b\[[0-9;:]*m|\x1b\[[02]?K")


def shown(text: str, colour: bool) -> str:
    """The owner's text as it may reach this terminal: colour only where it was asked for,
    nothing that moves the cursor, sets a title, rings or talks to the terminal."""
    return _CONTROLS.sub(lambda m: m.group() if colour and _KEPT.fullmatch(m.group()) else "", text)


def _colour(stream: Any) -> bool:
    try:
        return bool(stream.isatty()) and not os.environ.get("NO_COLOR")
    except (AttributeError, ValueError):
        return False


def _write(stream: Any, text: str) -> None:
    try:
        stream.write(text)
        stream.flush()
    except BrokenPipeError:  # `| head` has read all it wanted; the command goes on in the owner
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), stream.fileno())
        except (OSError, ValueError):
            pass


class _Waiting:
    """The waiting line the owner asks for, drawn here as a one-shot run alone draws it:
    after a short delay, on standard error when that is a terminal, wiped before any
    other output and gone for good once the answer prints."""

    def __init__(self, err: Any) -> None:
        self.err = err
        self.text: str | None = None
        self.since = 0.0
        self.drawn = False

    def show(self, text: Any) -> None:
        from ferrut import status_line  # only once the owner waits: a quick answer never needs it

        self.wipe()
        self.text = str(text) if text is not None and status_line.can_redraw(self.err) else None
        self.since = time.monotonic()

    def tick(self) -> float | None:
        """Draw if due; the seconds until the next draw (None: nothing to draw)."""
        if self.text is None:
            return None
        from ferrut import status_line

        elapsed = time.monotonic() - self.since
        if elapsed < status_line.DELAY:
            return status_line.DELAY - elapsed
        try:
            columns = os.get_terminal_size(self.err.fileno()).columns or 80
            _write(self.err, status_line.render(self.text, elapsed, columns))
            self.drawn = True
        except (OSError, ValueError):  # the terminal went away
            self.text = None
        return status_line.INTERVAL

    def wipe(self) -> None:
        if self.drawn:  # drawn with status_line, so it is loaded
            from ferrut.status_line import CLEAR

            self.drawn = False
            _write(self.err, CLEAR)


class Attached:
    """One request to the owner and its answer, message by message."""

    def __init__(self, sock: socket.socket) -> None:
        self.sock = sock
        self.cancelled = False
        self.declined: dict[str, Any] | None = None

    def cancel(self, *_: Any) -> None:
        """Ctrl-C: the owner cancels the command and says how it ended; a second one gives up waiting."""
        if self.cancelled:
            raise KeyboardInterrupt
        self.cancelled = True
        try:
            owner_wire.send(self.sock, {"type": "cancel"})
        except OSError:
            pass

    def answer(self, out: Any, err: Any) -> tuple[int | None, Any]:
        """(exit status, result) once the owner ends; (None, None) when it declined."""
        waiting = _Waiting(err)
        try:
            return self._answer(out, err, waiting)
        finally:
            waiting.wipe()  # a second Ctrl-C, too, leaves no waiting line behind

    def _answer(self, out: Any, err: Any, waiting: _Waiting) -> tuple[int | None, Any]:
        value = None
        colours = (_colour(out), _colour(err))
        while True:
            pause = waiting.tick()
            if pause is not None and not select.select([self.sock], [], [], pause)[0]:
                continue
            waiting.wipe()
            try:
                message = owner_wire.receive(self.sock)
            except (WireError, OSError) as exc:
                raise OwnerFailed(f"the owner's answer broke off: {exc}") from None
            if message is None:
                raise OwnerFailed("the owner closed the connection without an exit status")
            kind = message["type"]
            if kind == "status" or kind == "out":  # the answer ends the waiting line for good
                text = message.get("text") if kind == "status" else None
                waiting.show(None if text is None else shown(str(text), False))
            if kind in ("out", "err"):
                _write(out if kind == "out" else err, shown(str(message.get("text", "")), colours[kind == "err"]))
            elif kind == "result":
                value = message.get("value")
            elif kind == "exit":
                status = message.get("status")
                return (status if isinstance(status, int) else ExitStatus.FAILED), value
            elif kind == "decline":
                self.declined = message
                return None, None
            elif kind == "error":
                raise OwnerFailed(shown(str(message.get("text", "the owner refused")), False))


def _connect(home: Path) -> socket.socket | None:
    """A connection to the owner; None to run here: none listens, or one is there but not
    trusted (said in one line). A full queue of connections (a burst) is waited out rather
    than taken for no owner: running alone beside a live owner would mean a second
    connection with a pacing count of its own."""
    deadline = time.monotonic() + CONNECT_PATIENCE
    pause = 0.005
    while True:
        try:
            sock = owner_wire.connect(home)
        except owner_wire.Untrusted as exc:
            _write(sys.stderr, f"corvane: not asking the owner, running here: {exc}\n")
            return None
        if sock is not None or not _queue_full(socket_path(home)):
            return sock
        if time.monotonic() > deadline:
            raise OwnerFailed(f"the owner is busy: no room to connect for {CONNECT_PATIENCE:.0f} s")
        time.sleep(pause)
        pause = min(pause * 2, 0.2)


def _queue_full(path: Path) -> bool:
    """True when an owner listens there but its queue of connections is full (EAGAIN)."""
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    probe.setblocking(False)
    try:
        probe.connect(str(path))
    except BlockingIOError:
        return True
    except OSError:  # no owner (ECONNREFUSED, no socket file)
        return False
    finally:
        probe.close()
    return False  # room after all: the refusal was something else, and stands


def _declined(message: dict[str, Any] | None) -> None:
    """An owner of another protocol version: the command runs here, and says why once."""
    if message is not None and message.get("reason") == "version":
        _say_once(f"{message.get('text')}: running on its own")


def _say_once(text: str) -> None:
    if text not in _said:
        _said.add(text)
        print(f"corvane: {text}", file=sys.stderr)


def request(argv: list[str], *, out: Any, err: Any, result: bool = False, home: Path | None = None):
    """Run ``argv`` in the owner: (exit status, result), or None when no owner runs or it declined.

    Ctrl-C while waiting cancels the command in the owner and waits for its end.
    """
    sock = _connect(home or home_dir())
    if sock is None:
        return None
    with sock:
        attached = Attached(sock)
        try:
            owner_wire.send(sock, _facts(argv, result=result))
        except OSError:
            return None  # an owner on its way out: run here
        # The handler runs between the reads of whole messages' bytes (reads resume after it).
        main_thread = threading.current_thread() is threading.main_thread()
        previous = signal.signal(signal.SIGINT, attached.cancel) if main_thread else None
        try:
            status, value = attached.answer(out, err)
        finally:
            if main_thread:
                signal.signal(signal.SIGINT, previous)
    _declined(attached.declined)
    return None if status is None else (status, value)


def ask(message: dict[str, Any], home: Path | None = None) -> dict[str, Any] | None:
    """One request answered by one message (a script's download); None when no owner runs."""
    sock = _connect(home or home_dir())
    if sock is None:
        return None
    with sock:
        try:
            owner_wire.send(sock, message)
            sock.settimeout(None)  # a long download answers late
            answer = owner_wire.receive(sock)
        except (WireError, OSError) as exc:
            raise OwnerFailed(f"the owner's answer broke off: {exc}") from None
    if answer is None:
        raise OwnerFailed("the owner closed the connection without an answer")
    if answer["type"] == "decline":
        _declined(answer)
        return None
    return answer


def control(word: str, home: Path | None = None) -> int:
    """``serve --status``: what the owner says of itself; ``serve --stop``: stop a headless owner."""
    home = home or home_dir()
    try:
        answer = ask({"type": "about" if word == "--status" else "stop"}, home)
    except OwnerFailed as exc:
        print(f"corvane: {exc}", file=sys.stderr)
        return ExitStatus.FAILED
    if answer is None:
        print(f"corvane: no console owns the gateway for {home}", file=sys.stderr)
        return ExitStatus.FAILED
    if answer["type"] == "about":
        _write(sys.stdout, _about_text(answer))
        return ExitStatus.OK
    if answer["type"] != "stopping":
        print(f"corvane: {answer.get('text', 'the owner did not stop')}", file=sys.stderr)
        return ExitStatus.FAILED
    deadline = time.monotonic() + STOP_PATIENCE
    while socket_path(home).exists():  # removed by the owner as it closes
        if time.monotonic() > deadline:
            print(f"corvane: the owner (pid {answer.get('pid')}) did not stop within {STOP_PATIENCE:.0f} s",
                  file=sys.stderr)  # fmt: skip
            return ExitStatus.FAILED
        time.sleep(0.05)
    print(f"corvane: stopped the owner (pid {answer.get('pid')})", file=sys.stderr)
    return ExitStatus.OK


def _about_text(about: dict[str, Any]) -> str:
    seconds = int(about.get("uptime") or 0)
    gateway = str(about.get("gateway", "?")) + ("" if about.get("connected") else " (not connected)")
    rows = [
        ("pid", about.get("pid")),
        ("home", about.get("home")),
        ("gateway", gateway),
        ("clients", f"{about.get('running', 0)} running, {about.get('waiting', 0)} waiting"),
        ("uptime", f"{seconds // 3600}:{seconds % 3600 // 60:02d}:{seconds % 60:02d}"),
        ("version", about.get("version")),
        ("kind", "headless (serve --stop stops it)" if about.get("stoppable") else "the prompt"),
    ]
    return "".join(f"{name:<9}{value}\n" for name, value in rows)


def attach(argv: list[str]) -> int | None:
    """The exit status of ``argv`` run by the owner; None to run it here."""
    if argv[-2:] in (["serve", "--status"], ["serve", "--stop"]):  # options before serve change nothing here
        return control(argv[-1])
    if not argv or _HERE.intersection(argv):
        return None
    try:
        answer = request(argv, out=sys.stdout, err=sys.stderr)
    except OwnerFailed as exc:
        print(f"corvane: {exc}", file=sys.stderr)
        return ExitStatus.FAILED
    except KeyboardInterrupt:  # before the owner took the request, or a second Ctrl-C
        print("corvane: interrupted", file=sys.stderr)
        return ExitStatus.INTERRUPTED
    return None if answer is None else answer[0]


def main(argv: list[str] | None = None) -> int:
    program = argv is None
    argv = sys.argv[1:] if argv is None else list(argv)
    status = attach(argv)
    if status is not None:
        return status
    import gc

    # What loads from here on lives as long as the process; the collector walking
    # it again and again meanwhile costs a one-shot a twentieth of its start-up.
    # The command line turns it back on once the commands are loaded.
    gc.disable()
    # loguru would add a sink of its own on import, for the log setup to drop at once.
    os.environ.setdefault("LOGURU_AUTOINIT", "0")
    from corvane.cli import main as run_here

    status = run_here(argv)
    if program:
        _leave(status)
    return status


def _leave(status: int) -> None:
    """End the program without Python's teardown of every module, one by one.

    Freeing pandas and the client library that way costs a one-shot about a
    tenth of a second for nothing. What an exit must do is done here first:
    the exit handlers (pending cache writes among them), then the streams.
    While a thread that is not a daemon still runs, the usual exit waits for it.
    """
    import atexit

    if any(not t.daemon for t in threading.enumerate() if t is not threading.main_thread()):
        return
    atexit._run_exitfuncs()
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):  # a reader gone, or the stream closed
            pass
    os._exit(status)
