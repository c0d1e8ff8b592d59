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
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any, TextIO, cast

from loguru import logger

from corvane import clock, command_line, owner_wire
from corvane.exit_status import ExitStatus
from corvane.owner_wire import DOWNLOAD_REQUEST, WireError
from corvane.session import STOP_WHEN, StopSignal

#: Clients served at once; one more is told the owner is busy.
MAX_CLIENTS = 32
#: How long a client may take to say what it wants.
REQUEST_TIMEOUT = 10.0
#: How long a client may leave its output unread before it is dropped.
SEND_TIMEOUT = 10.0
#: Output is sent in pieces well under the message limit.
_PIECE = 64 * 1024


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
    """One attached client's connection: its sends serialized, and given up on once it fails."""

    def __init__(self, conn: socket.socket) -> None:
        self.conn = conn
        self.lock = threading.Lock()
        self.gone = threading.Event()  # the client left or stopped reading: nothing more is sent
        self.stop = StopSignal()  # its command is to be cancelled (asked, or the client is gone)

    def send(self, message: dict[str, Any]) -> bool:
        if self.gone.is_set():
            return False
        try:
            with self.lock:
                owner_wire.send(self.conn, message)
            return True
        except (OSError, WireError, TypeError, ValueError):
            self.gone.set()
            self.stop.set()
            return False


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
    ) -> None:
        self.home = home
        self.path = owner_wire.socket_path(home)
        self._make_console = make_console
        self._peer_check = peer_check
        self._max = max_clients
        #: Further requests by type: message -> reply.
        self._extra = {DOWNLOAD_REQUEST: _no_download, **(extra or {})}
        self._lock_file: IO[str] | None = None
        self._listener: socket.socket | None = None
        self._count = 0
        self._count_lock = threading.Lock()
        self._closed = threading.Event()

    # -- life -------------------------------------------------------------

    def start(self) -> OwnerServer:
        """Take the home and listen; OwnerBusy when another owner has it."""
        self.take()
        return self.listen()

    def take(self) -> None:
        """Hold the home's lock for the owner's life; OwnerBusy when another owner holds it,
        UnsafeHome when the home or its lock file is not this user's to trust."""
        self.home.mkdir(mode=0o700, parents=True, exist_ok=True)
        home = os.open(self.home, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        try:
            owner = os.fstat(home).st_uid
            if owner != os.getuid():  # its owner could swap the lock and socket under us
                raise UnsafeHome(f"{self.home} belongs to uid {owner}, not to you (uid {os.getuid()})")
            os.fchmod(home, 0o700)  # the socket's directory is the first gate
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
        path = owner_wire.lock_path(self.home)
        flags = os.O_RDWR | os.O_CREAT | os.O_APPEND | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
        try:
            fd = os.open(owner_wire.LOCK_NAME, flags, 0o600, dir_fd=home)
        except OSError as exc:
            kind = {errno.ELOOP: "a symlink", errno.EISDIR: "a directory"}.get(exc.errno or 0, exc.strerror)
            raise UnsafeHome(f"{path} is {kind}, not a lock file") from None
        found = os.fstat(fd)
        why = owner_wire.not_private(path, found)
        if why is None and not stat.S_ISREG(found.st_mode):
            why = f"{path} is not a regular file"
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
            os.chmod(self.path, 0o600)
            listener.listen(64)
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
                full = self._count >= self._max
                if not full:
                    self._count += 1
            if full:
                threading.Thread(target=self._refuse, args=(conn,), daemon=True).start()
                continue
            threading.Thread(target=self._serve, args=(conn,), name="corvane-client", daemon=True).start()

    def _refuse(self, conn: socket.socket) -> None:
        with contextlib.closing(conn):
            self._prepare(conn)
            _Client(conn).send({"type": "error", "text": f"the owner is busy: {self._max} clients attached"})

    @staticmethod
    def _prepare(conn: socket.socket) -> None:
        # A client that stops reading blocks a send at most this long, then is dropped.
        seconds = int(SEND_TIMEOUT)
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, struct.pack("ll", seconds, 0))

    def _serve(self, conn: socket.socket) -> None:
        client = _Client(conn)
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
            with contextlib.suppress(OSError):
                conn.shutdown(socket.SHUT_RDWR)
            conn.close()
            with self._count_lock:
                self._count -= 1

    def _answer(self, client: _Client, message: dict[str, Any]) -> None:
        kind = message["type"]
        if kind == "run":
            try:
                facts = Facts.read(message)
            except WireError as exc:
                client.send({"type": "error", "text": f"bad request: {exc}"})
                return
            self._run(client, facts)
        elif kind in self._extra:
            client.send(self._extra[kind](message))
        else:
            client.send({"type": "error", "text": f"bad request: unknown type {kind!r}"})

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
        watcher = threading.Thread(target=self._watch, args=(client,), name="corvane-client-watch", daemon=True)
        watcher.start()
        token = STOP_WHEN.set(client.stop)
        try:
            status = console.handle([args.command, *args.words], view)
        except KeyboardInterrupt:  # the client asked to cancel while the command was being set up
            console.complain("interrupted")
            status = ExitStatus.INTERRUPTED
        finally:
            STOP_WHEN.reset(token)
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
