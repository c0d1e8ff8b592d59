"""The console that owns the gateway serves one-shot commands and scripts that attach to it.

It listens on ``$CORVANE_HOME/owner.sock`` (the directory 0700, the socket
0600, each peer's uid checked): one thread per client, each with a console
of its own around the owner's session, so every client's command runs on
the owner's event loop, connection, caches and pacing, and writes its
tables, notes and log lines to that client only. A lock file held for the
owner's life keeps a second owner out; a socket left by a dead owner is
replaced. No client can hurt the owner: a bad or oversized message, one cut
short, a client that stops reading or goes away all end that client only.
See ``docs/DESIGN.md`` for the messages.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import io
import os
import socket
import stat
import struct
import threading
import time
from collections import deque
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any, TextIO, cast

from loguru import logger

from corvane import clock, command_line, owner_wire
from corvane.exit_status import ExitStatus
from corvane.home import DIR_MODE, FILE_MODE, LOCK_NAME, lock_path, socket_path
from corvane.owner_wire import DOWNLOAD_REQUEST, WireError
from corvane.session import STOP_WHEN, StopSignal

#: Commands run for clients at once; more wait in line for a slot.
MAX_CLIENTS = 32
#: How long a client waits in line for a slot before it is told the owner is busy.
QUEUE_TIMEOUT = 60.0
#: Connections held at once, running, waiting in line or yet to speak; one more is told the owner is busy.
MAX_CONNECTIONS = 1024
#: Connections the kernel keeps for the accept loop: a burst of hundreds is taken, not refused.
BACKLOG = 1024
#: How long a client may take to say what it wants; a connection that says nothing is closed.
REQUEST_TIMEOUT = 5.0
#: How long a client may leave its output unread before it is dropped.
SEND_TIMEOUT = 10.0
#: Output a client may leave unsent while it reads nothing (STALLED seconds) before it is dropped.
MAX_UNSENT = 8 << 20
STALLED = 1.0
#: Output a client may leave unsent even while it reads (a long table is written at once):
#: bounds the owner's memory per client.
MAX_UNSENT_READING = 64 << 20
#: Output is sent in pieces well under the message limit.
_PIECE = 64 * 1024
#: Long tables are made off the event loop, one at a time: the loop then shares the
#: interpreter with one table being written, not with one for every client.
_MAKING = threading.Lock()

#: Text made when its turn to be sent comes, on the client's sender thread.
Later = Callable[[], str]


def _no_download(_message: dict[str, Any]) -> dict[str, Any]:
    return {"type": "error", "text": "download through the owner is not available in this version"}


class OwnerBusy(RuntimeError):
    """Another console owns the gateway for this home."""


class UnsafeHome(OSError):
    """The home, its lock or its socket could be another user's doing: never served from."""


#: (out=, err=, verbose=, cwd=, color=, width=) -> a console for one client, around the owner's session.
ConsoleFactory = Callable[..., Any]
#: The peer's check: None to serve it, else why it is refused.
PeerCheck = Callable[[socket.socket], str | None]


def same_user(conn: socket.socket) -> str | None:
    """Serve only processes of the user who runs the owner (the kernel's word for the peer's uid)."""
    uid = owner_wire.peer_uid(conn)
    if uid != os.getuid():
        return f"refused: this console belongs to another user (uid {os.getuid()}), not uid {uid}"
    return None


class _Client:
    """One attached client's connection. What is said to it waits in its own bounded queue,
    sent by a thread of its own: the owner's event loop, which writes a command's tables and
    log lines, never waits on a client's socket. A client that falls too far behind is dropped
    and its command cancelled."""

    def __init__(self, conn: socket.socket, version: int = owner_wire.VERSION) -> None:
        self.conn = conn
        self.version = version
        self.gone = threading.Event()  # the client left or stopped reading: nothing more is sent
        self.stop = StopSignal()  # its command is to be cancelled (asked, or the client is gone)
        self._queue: deque[tuple[bytes | tuple[str, Later], int]] = deque()  # (what, bytes it holds)
        self._queued = 0
        self._moved = time.monotonic()  # when the client last took some of its output (or had none due)
        self._ready = threading.Condition()
        self._closing = False
        self._why: str | None = None  # why it was dropped, for the owner's log
        self._sender: threading.Thread | None = None
        self._making = False  # the sender is making a long table: it is busy, not stalled

    def send(self, message: dict[str, Any]) -> bool:
        """Queue ``message``; False when the client is gone (or now dropped). Never blocks."""
        if self.gone.is_set():
            return False
        try:
            data = owner_wire.encode({"v": self.version, **message})
        except (WireError, TypeError, ValueError) as exc:
            self.drop(f"a message could not be sent: {exc}")
            return False
        return self._enqueue(data, len(data))

    def send_later(self, kind: str, make: Later, size: int) -> bool:
        """Queue ``kind`` (out or err) messages of the text ``make`` returns, made on the sender
        thread when their turn comes; ``size``: about what it holds till then, counted as unsent.
        Never blocks, and costs the caller nothing of the making."""
        if self.gone.is_set():
            return False
        return self._enqueue((kind, make), size)

    def _start_sender(self) -> None:
        self._ready.notify()
        if self._sender is None:
            self._sender = threading.Thread(target=self._drain, name="corvane-client-send", daemon=True)
            self._sender.start()

    def _enqueue(self, item: bytes | tuple[str, Later], size: int) -> bool:
        with self._ready:
            now = time.monotonic()
            if not self._queued:  # nothing was waiting: the client is not behind
                self._moved = now
            unsent = self._queued + size
            stalled = now - self._moved > STALLED
            if unsent > MAX_UNSENT_READING or (unsent > MAX_UNSENT and stalled):
                over = True
            else:
                over = False
                self._queue.append((item, size))
                self._queued += size
                self._start_sender()
        if over:
            self.drop(f"it left {unsent >> 20} MiB of output unread")
        return not over

    def drop(self, why: str) -> None:
        """Give up on the client: nothing more is sent, its command is cancelled."""
        with self._ready:
            if self.gone.is_set():
                return
            self._why = why
            self.gone.set()
            self._queue.clear()
            self._queued = 0
            self._ready.notify()
        with contextlib.suppress(OSError):
            self.conn.shutdown(socket.SHUT_RDWR)  # a send blocked on it ends now
        self.stop.set()
        if self._sender is None:
            self._log_drop()

    def _log_drop(self) -> None:
        # Logged from the client's own threads, never from a command's task: there the
        # line would go to the client being dropped, not to the owner's log.
        if self._why is not None:
            logger.warning("Dropped an attached client: {}", self._why)

    def _drain(self) -> None:
        while True:
            with self._ready:
                while not self._queue and not self._closing and not self.gone.is_set():
                    self._ready.wait()
                if self.gone.is_set() or not self._queue:
                    break
                item, counted = self._queue.popleft()
                self._making = not isinstance(item, bytes)
            pieces = [item] if isinstance(item, bytes) else self._made(*item)
            try:
                for data in pieces:
                    self.conn.sendall(data)
                    with self._ready:
                        self._moved = time.monotonic()
            except OSError as exc:
                self.drop(f"its output went unread ({exc.strerror or type(exc).__name__})")
                break
            finally:
                with self._ready:
                    self._making = False
            with self._ready:
                self._queued -= counted
        self._log_drop()

    def _made(self, kind: str, make: Later) -> Iterator[bytes]:
        """The messages of a text made late, once the client is still there to take it;
        encoded one at a time, so a long table is held once, as text."""
        while not _MAKING.acquire(timeout=0.1):
            if self.gone.is_set():
                return
        try:
            if self.gone.is_set():
                return
            text = make()
        except Exception as exc:  # a table that cannot be written ends that table only
            kind, text = "err", f"corvane: a table could not be written: {type(exc).__name__}: {exc}\n"
        finally:
            _MAKING.release()
        with self._ready:
            self._moved = time.monotonic()
            self._making = False  # made: from here on, sending it is what is waited on
        for i in range(0, len(text), _PIECE):
            yield owner_wire.encode({"v": self.version, "type": kind, "text": text[i : i + _PIECE]})

    def finish(self, timeout: float) -> bool:
        """Wait (at most ``timeout``) for what was queued to go out; True when all of it went."""
        with self._ready:
            self._closing = True
            self._ready.notify()
            sender = self._sender
        if sender is not None:
            # Waited on while it makes progress: long tables are still being made, not refused.
            while sender.is_alive():
                sender.join(min(timeout, 0.1))
                with self._ready:
                    idle = not self._making and time.monotonic() - self._moved > timeout
                if idle and sender.is_alive():
                    self.drop("its output went unread")
                    break
        return not self.gone.is_set()


class ClientStream(io.TextIOBase):
    """A text stream whose lines go to the client as ``out`` or ``err`` messages."""

    def __init__(self, client: _Client, kind: str, tty: bool) -> None:
        self._client = client
        self._kind = kind
        self._tty = tty
        self._buffer: list[str] = []
        self._lock = threading.Lock()

    def writable(self) -> bool:
        return True

    def isatty(self) -> bool:
        return self._tty

    def write(self, text: str) -> int:
        with self._lock:
            self._buffer.append(text)
        if "\n" in text:
            self.flush()
        return len(text)

    def flush(self) -> None:
        with self._lock:
            text, self._buffer = "".join(self._buffer), []
        for i in range(0, len(text), _PIECE):
            self._client.send({"type": self._kind, "text": text[i : i + _PIECE]})

    def write_later(self, make: Later, size: int) -> None:
        """Write the text ``make`` returns, made on the client's own thread when its turn
        comes: a long table costs the owner's event loop nothing to write. ``size``: about
        the bytes it holds till then (a client that reads nothing is dropped for them too)."""
        self.flush()
        self._client.send_later(self._kind, make, size)

    def show_status(self, text: str | None) -> None:
        """The waiting line, drawn by the client on its own terminal (None: no longer waiting)."""
        self.flush()
        self._client.send({"type": "status", "text": text})


@dataclass
class Facts:
    """What a client said of itself with its command line."""

    argv: list[str]
    cwd: str
    tty: bool
    color: bool
    width: int | None
    now: str | None
    result: bool

    @classmethod
    def read(cls, message: dict[str, Any]) -> Facts:
        argv = message.get("argv")
        if not isinstance(argv, list) or not all(isinstance(w, str) for w in argv):
            raise WireError("run needs argv, a list of words")
        cwd = message.get("cwd")
        if not isinstance(cwd, str) or not os.path.isabs(cwd):
            raise WireError("run needs cwd, an absolute directory")
        width = message.get("width")
        env = message.get("env") if isinstance(message.get("env"), dict) else {}
        now = env.get(clock.NOW_ENV) if isinstance(env, dict) else None
        return cls(
            argv=argv,
            cwd=cwd,
            tty=bool(message.get("tty")),
            color=bool(message.get("color")),
            width=width if isinstance(width, int) and 20 <= width <= 1000 else None,
            now=now if isinstance(now, str) else None,
            result=bool(message.get("result")),
        )


class OwnerServer:
    """Listens for attached clients until closed; one per home at a time."""

    def __init__(
        self,
        home: Path,
        make_console: ConsoleFactory,
        *,
        peer_check: PeerCheck = same_user,
        max_clients: int = MAX_CLIENTS,
        extra: dict[str, Callable[[dict[str, Any]], dict[str, Any]]] | None = None,
        describe: Callable[[], dict[str, Any]] | None = None,
        on_stop: Callable[[], None] | None = None,
    ) -> None:
        self.home = home
        self.path = socket_path(home)
        self._make_console = make_console
        self._peer_check = peer_check
        self._max = max_clients
        #: Further requests by type: message -> reply. A reply's "made" (paths made for that
        #: client alone) is kept back from the client and removed when the reply does not reach it.
        self._extra = {DOWNLOAD_REQUEST: _no_download, **(extra or {})}
        #: What ``serve --status`` adds of the owner (its gateway); ``serve --stop`` calls on_stop.
        self._describe = describe
        self._on_stop = on_stop
        #: The protocol version this owner speaks; a client of another one runs on its own.
        self.version = owner_wire.VERSION
        self._lock_file: IO[str] | None = None
        self._listener: socket.socket | None = None
        self._count = 0  # connections held
        self._count_lock = threading.Lock()
        self._slots = threading.Condition()
        self._running = 0  # commands running for clients
        self._waiting = 0  # clients waiting in line for a slot
        self._started = time.monotonic()
        self._closed = threading.Event()

    # -- life -------------------------------------------------------------

    def start(self) -> OwnerServer:
        """Take the home and listen; OwnerBusy when another owner has it."""
        self.take()
        return self.listen()

    def take(self) -> None:
        """Hold the home's lock for the owner's life; OwnerBusy when another owner holds it,
        UnsafeHome when the home or its lock file is not this user's to trust."""
        self.home.mkdir(mode=DIR_MODE, parents=True, exist_ok=True)
        home = os.open(self.home, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            owner = os.fstat(home).st_uid
            if owner != os.getuid():  # its owner could swap the lock and socket under us
                raise UnsafeHome(f"{self.home} belongs to uid {owner}, not to you (uid {os.getuid()})")
            os.fchmod(home, DIR_MODE)  # the socket's directory is the first gate
            lock = self._open_lock(home)
        finally:
            os.close(home)
        try:
            fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            lock.close()
            raise OwnerBusy(f"another console owns the gateway for {self.home}") from None
        self._lock_file = lock

    def _open_lock(self, home: int) -> IO[str]:
        """The lock file, never through a symlink, and only a regular file of this user's
        (a FIFO there would block or fail every later read)."""
        path = lock_path(self.home)
        flags = os.O_RDWR | os.O_CREAT | os.O_APPEND | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
        try:
            fd = os.open(LOCK_NAME, flags, FILE_MODE, dir_fd=home)
        except OSError as exc:
            kind = {errno.ELOOP: "a symlink", errno.EISDIR: "a directory"}.get(exc.errno or 0, exc.strerror)
            raise UnsafeHome(f"{path} is {kind}, not a lock file") from None
        why = owner_wire.not_private(path, os.fstat(fd), "a regular file")
        if why is not None:
            os.close(fd)
            raise UnsafeHome(why)
        os.set_blocking(fd, True)
        return open(fd, "a+")  # held for the owner's life

    def listen(self) -> OwnerServer:
        # Holding the lock, a socket file there was left by an owner that died. Anything
        # else there is not ours to replace (nor a symlink ours to follow).
        with contextlib.suppress(FileNotFoundError):
            if not stat.S_ISSOCK(os.lstat(self.path).st_mode):
                raise UnsafeHome(f"{self.path} is not a socket (remove it to serve)")
            self.path.unlink()
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            listener.bind(str(self.path))  # bind makes a new file, or fails: it follows no symlink
            os.chmod(self.path, FILE_MODE)
            listener.listen(BACKLOG)
        except OSError:
            listener.close()
            raise
        self._listener = listener
        threading.Thread(target=self._accept, name="corvane-owner", daemon=True).start()
        return self

    def close(self) -> None:
        self._closed.set()
        if self._listener is not None:
            with contextlib.suppress(OSError):
                self._listener.shutdown(socket.SHUT_RDWR)
            self._listener.close()
            self._listener = None
            with contextlib.suppress(OSError):
                self.path.unlink()
        if self._lock_file is not None:
            self._lock_file.close()  # releases the lock
            self._lock_file = None

    # -- clients ----------------------------------------------------------

    def _accept(self) -> None:
        while not self._closed.is_set() and self._listener is not None:
            try:
                conn, _ = self._listener.accept()
            except OSError:
                if self._closed.is_set():
                    return
                continue
            with self._count_lock:
                full = self._count >= MAX_CONNECTIONS
                if not full:
                    self._count += 1
            if full:
                self._refuse(conn)
                continue
            threading.Thread(target=self._serve, args=(conn,), name="corvane-client", daemon=True).start()

    def _refuse(self, conn: socket.socket) -> None:
        """Told at once, never waited on: the accept loop keeps up with a flood."""
        with contextlib.closing(conn):
            conn.setblocking(False)
            text = f"the owner is busy: {MAX_CONNECTIONS} connections open"
            with contextlib.suppress(OSError):
                conn.send(owner_wire.encode({"v": self.version, "type": "error", "text": text}))

    @staticmethod
    def _prepare(conn: socket.socket) -> None:
        # A client that stops reading blocks its own sender at most this long, then is dropped.
        seconds = int(SEND_TIMEOUT)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, struct.pack("ll", seconds, 0))

    def _serve(self, conn: socket.socket) -> None:
        client = _Client(conn, self.version)
        try:
            self._prepare(conn)
            refused = self._peer_check(conn)
            if refused:
                client.send({"type": "error", "text": refused})
                return
            try:
                message = owner_wire.receive(conn, first_timeout=REQUEST_TIMEOUT)
            except WireError as exc:
                client.send({"type": "error", "text": f"bad request: {exc}"})
                return
            if message is None:
                return
            self._answer(client, message)
        except Exception as exc:  # one client's trouble never reaches the owner
            logger.debug("Attached client failed: {}: {}", type(exc).__name__, exc)
            client.send({"type": "error", "text": f"internal error in the owner: {type(exc).__name__}: {exc}"})
        finally:
            client.finish(SEND_TIMEOUT)
            with contextlib.suppress(OSError):
                conn.shutdown(socket.SHUT_RDWR)
            conn.close()
            with self._count_lock:
                self._count -= 1

    def _answer(self, client: _Client, message: dict[str, Any]) -> None:
        kind = message["type"]
        if kind == "about":  # any version may ask: it is how a mismatch is looked into
            client.send(self._about())
            return
        if kind == "stop":
            self._stop(client)
            return
        if kind not in self._extra and kind != "run":
            client.send({"type": "error", "text": f"bad request: unknown type {kind!r}"})
            return
        theirs = message.get("v", 1)  # clients before versions said none
        if theirs != self.version:
            text = f"the owner speaks protocol version {self.version}, this corvane {theirs}"
            client.send({"type": "decline", "text": text, "reason": "version"})
            return
        facts = None
        if kind == "run":
            try:
                facts = Facts.read(message)
            except WireError as exc:
                client.send({"type": "error", "text": f"bad request: {exc}"})
                return
        if not self._take_slot(client):
            return
        try:
            if facts is not None:
                self._run(client, facts)
            else:
                self._extra_answer(client, self._extra[kind], message)
        finally:
            with self._slots:
                self._running -= 1
                self._slots.notify()

    def _take_slot(self, client: _Client) -> bool:
        """Wait in line (at most QUEUE_TIMEOUT) for one of the slots; False: told the owner is busy."""
        deadline = time.monotonic() + QUEUE_TIMEOUT
        told = False
        with self._slots:
            self._waiting += 1
            try:
                while self._running >= self._max:
                    left = deadline - time.monotonic()
                    if left <= 0 or client.gone.is_set():
                        text = f"the owner is busy: {self._max} commands running, waited {QUEUE_TIMEOUT:.0f} s"
                        client.send({"type": "error", "text": text})
                        return False
                    if not told:
                        text = f"waiting for the owner: {self._max} commands running, {self._waiting} waiting"
                        client.send({"type": "status", "text": text})
                        told = True
                    self._slots.wait(min(left, 0.2))  # short steps: a shifted clock never stalls it
                self._running += 1
            finally:
                self._waiting -= 1
        if told:
            client.send({"type": "status", "text": None})
        return True

    def _extra_answer(self, client: _Client, handler: Callable[[dict[str, Any]], dict[str, Any]],
                      message: dict[str, Any]) -> None:  # fmt: skip
        with self._watching(client):
            reply = handler(message)
        made = reply.pop("made", None) or []
        if not (client.send(reply) and client.finish(SEND_TIMEOUT)):
            for path in made:  # made for a client that is gone: nobody else will remove it
                with contextlib.suppress(OSError):
                    os.unlink(path)

    def _about(self) -> dict[str, Any]:
        with self._slots:
            running, waiting = self._running, self._waiting
        about = {"type": "about", "pid": os.getpid(), "home": str(self.home), "version": self.version,
                 "running": running, "waiting": waiting, "uptime": time.monotonic() - self._started,
                 "stoppable": self._on_stop is not None}  # fmt: skip
        if self._describe is not None:
            about.update(self._describe())
        return about

    def _stop(self, client: _Client) -> None:
        if self._on_stop is None:
            client.send({"type": "error", "text": "the owner is a prompt: leave it there (quit)"})
            return
        client.send({"type": "stopping", "pid": os.getpid()})
        client.finish(SEND_TIMEOUT)
        self._on_stop()

    @contextlib.contextmanager
    def _watching(self, client: _Client) -> Iterator[None]:
        """While the body runs, the client's cancel or going away cancels what it runs on the loop."""
        watcher = threading.Thread(target=self._watch, args=(client,), name="corvane-client-watch", daemon=True)
        watcher.start()
        token = STOP_WHEN.set(client.stop)
        try:
            yield
        finally:
            STOP_WHEN.reset(token)

    def _run(self, client: _Client, facts: Facts) -> None:
        out = cast(TextIO, ClientStream(client, "out", facts.tty))
        # The waiting line goes as status messages: the client draws it, when its own
        # standard error is a terminal (the owner's one status line serves the prompt).
        err = cast(TextIO, ClientStream(client, "err", False))
        own_now = os.environ.get(clock.NOW_ENV)
        if facts.now is not None and facts.now != own_now:
            client.send({"type": "decline", "text": f"the owner's clock is not {clock.NOW_ENV}={facts.now}"})
            return
        parsed = command_line.parse(facts.argv, err)
        if isinstance(parsed, int):
            err.flush()
            client.send({"type": "exit", "status": parsed})
            return
        args, view = parsed
        if args.command is None or args.command == "serve" or args.standalone or command_line.names_gateway(args):
            client.send({"type": "decline", "text": "this command line runs on its own"})
            return
        console = self._make_console(
            out=out, err=err, verbose=args.verbose, cwd=facts.cwd, color=facts.color, width=facts.width
        )
        with self._watching(client):
            try:
                status = console.handle([args.command, *args.words], view)
            except KeyboardInterrupt:  # the client asked to cancel while the command was being set up
                console.complain("interrupted")
                status = ExitStatus.INTERRUPTED
        out.flush()
        err.flush()
        if facts.result:
            client.send(_result_message(console.views.result if status == ExitStatus.OK else None))
        client.send({"type": "exit", "status": int(status)})

    @staticmethod
    def _watch(client: _Client) -> None:
        """Read what the client says while its command runs: a cancel, or its going away, stops it."""
        while not client.gone.is_set():
            try:
                message = owner_wire.receive(client.conn)
            except (WireError, OSError):
                message = None
            if message is None:
                client.stop.set()
                return
            if message.get("type") == "cancel":
                client.stop.set()


def _result_message(value: Any) -> dict[str, Any]:
    message = {"type": "result", "value": value}
    try:
        owner_wire.encode(message)
    except (TypeError, ValueError) as exc:
        return {"type": "error", "text": f"the result cannot be sent: {exc}"}
    return message
