"""One-shot commands and scripts attached to the console that owns the gateway."""

from __future__ import annotations

import io
import os
import select
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import corvane
from corvane import api, attach, commands, owner, owner_wire, session
from corvane.console import Console
from corvane.gateway.connection import PORT_ENV, GatewaySettings
from corvane.history.script import owner_answer
from corvane.home import lock_path, socket_path
from corvane.kvstore import KeyValueStore
from corvane.startup import client_consoles

CONSOLE = Path(corvane.__file__).resolve().parents[1]


def _env(home: Path) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith("CORVANE_") or k == "CORVANE_NOW"}
    env.update(PYTHONPATH=str(CONSOLE), CORVANE_HOME=str(home))
    return env


def _cli(home: Path, *args: str, cwd: Path | None = None) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "corvane", *args], capture_output=True, text=True,
                          timeout=60, env=_env(home), cwd=cwd)


def _answer(sock: socket.socket) -> list[dict]:
    said = []
    while (message := owner_wire.receive(sock, first_timeout=10)) is not None:
        assert message.pop("v") == owner_wire.VERSION, message  # every message names its version
        said.append(message)
        if message["type"] in ("exit", "error", "decline"):
            break
    return said


def test_hostile_clients_never_hurt_the_owner(loopback_gateway_factory, home, monkeypatch):
    monkeypatch.setattr(owner_wire, "REST_TIMEOUT", 0.5)
    gateway = loopback_gateway_factory()
    commands.load_command_modules()
    console = Console(GatewaySettings(port=gateway.port, client_id=41), KeyValueStore(home / "store.json"),
                      interactive=True)
    foreign = threading.Event()

    def check(conn):  # the second user is simulated: the kernel's answer, judged against another uid
        refused = owner.same_user(conn)
        return refused or ("refused: this console belongs to another user" if foreign.is_set() else None)

    server = owner.OwnerServer(home, client_consoles(console), peer_check=check).start()
    try:
        assert console.connect()
        assert os.stat(home).st_mode & 0o777 == 0o700 and os.stat(server.path).st_mode & 0o777 == 0o600
        with pytest.raises(owner.OwnerBusy):  # two owners never run for one home
            owner.OwnerServer(home, client_consoles(console)).start()

        def raw(data: bytes, *, close: bool = False) -> list[dict]:
            sock = owner_wire.connect(home)
            assert sock is not None
            with sock:
                try:
                    sock.sendall(data)
                except BrokenPipeError:  # refused before it spoke: the refusal is waiting
                    pass
                if close:
                    return []
                return _answer(sock)

        cases = {
            "garbage": raw(b"\x00\x00\x00\x05hello"),
            "http": raw(b"GET / HTTP/1.1\r\n\r\n"),  # read as a length of over a gigabyte
            "huge": raw(struct.pack(">I", 0xFFFFFFFF)),
            "truncated": raw(struct.pack(">I", 100) + b'{"type": "ru'),
            "not argv": raw(owner_wire.encode({"type": "run", "argv": "sorvel", "cwd": "/"})),
            "unknown": raw(owner_wire.encode({"type": "format-disk"})),
        }
        for name, said in cases.items():
            assert [m["type"] for m in said] == ["error"], name
        assert "over the limit" in cases["huge"][0]["text"] and "cut short" in cases["truncated"][0]["text"]

        foreign.set()
        refused = raw(owner_wire.encode({"type": "run", "argv": ["sorvel", "AAPL", "day", "20"], "cwd": "/"}))
        assert refused == [{"type": "error", "text": "refused: this console belongs to another user"}]
        foreign.clear()

        # A client killed mid-command, and one that never reads its answer.
        facts = attach._facts(["sorvel", "MSFT", "day", "20"])
        raw(owner_wire.encode(facts), close=True)
        quiet = owner_wire.connect(home)
        owner_wire.send(quiet, facts)

        # 50 at once: each ends its command, or is told the owner is busy.
        results: list[list[dict]] = [[] for _ in range(50)]

        def one(i: int) -> None:
            sock = owner_wire.connect(home)
            with sock:
                try:
                    owner_wire.send(sock, attach._facts(["sorvel", "AAPL", "day", "20"]))
                except BrokenPipeError:  # told it is busy and closed before this spoke
                    pass
                results[i] = _answer(sock)

        threads = [threading.Thread(target=one, args=(i,)) for i in range(50)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        ends = [r[-1] for r in results]
        assert all(e == {"type": "exit", "status": 0} or "busy" in e.get("text", "") for e in ends), ends
        assert sum(e["type"] == "exit" for e in ends) >= 16
        quiet.close()

        out, err = io.StringIO(), io.StringIO()
        assert attach.request(["sorvel", "AAPL", "day", "20"], out=out, err=err, home=home) == (0, None)
        # "day 20" reaches 28 days back, where Presidents' Day is closed: 19 sessions.
        assert out.getvalue().splitlines()[-1].startswith("AAPL 19 bars from ibkr")
    finally:
        server.close()
        console.close()
        import corvane.cmds.quotes.sorvel as sorvel

        sorvel._sorvel_cache.clear()  # the bars stay with this test, not the next one in this process
    assert not server.path.exists()


def _until(done, seconds: float = 30) -> None:
    deadline = time.monotonic() + seconds
    while not done():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


def test_clients_that_stall_leave_burst_or_speak_another_version_cost_the_owner_nothing(
    loopback_gateway_factory, home, monkeypatch
):
    gateway = loopback_gateway_factory()
    asked = gateway.gateway.history_requests
    commands.load_command_modules()
    console = Console(GatewaySettings(port=gateway.port, client_id=41), KeyValueStore(home / "store.json"),
                      interactive=True)
    answered = threading.Event()

    def late_file(_message: dict) -> dict:  # an answer made after its client went away
        _until(lambda: session.STOP_WHEN.get().is_set())
        (home / ".late").write_text("for nobody")
        answered.set()
        return {"type": "result", "value": {"path": str(home / ".late")}, "made": [str(home / ".late")]}

    extra = {owner_wire.DOWNLOAD_REQUEST: owner_answer(console.session, home), "late": late_file}
    server = owner.OwnerServer(home, client_consoles(console), extra=extra).start()
    quiet: list[socket.socket] = []
    try:
        assert console.connect()
        # Ten clients ask for long tables and never read them: the owner's loop never waits on one.
        for symbol in ("AAPL", "IBM", "GOOGL", "AMZN", "TSLA", "NVDA", "META", "JPM", "XOM", "SPY"):
            sock = owner_wire.connect(home)
            owner_wire.send(sock, attach._facts(["sorvel", symbol, "1m", "20000", "--rows", "all"]))
            quiet.append(sock)
        _until(lambda: len(asked) >= 10)
        started = time.monotonic()
        out = io.StringIO()
        assert attach.request(["sorvel", "MSFT", "day", "5"], out=out, err=io.StringIO(), home=home) == (0, None)
        took = time.monotonic() - started
        assert took < 15  # it waited 10 s per stalled write before
        assert out.getvalue().splitlines()[-1] == "MSFT 5 bars from ibkr"
        for sock in quiet:
            sock.close()

        # A script killed mid-download: its download stops, and leaves no file behind.
        script = ("import corvane; corvane.download('AAPL', start='2024-03-01', end='2025-03-04', interval='1m'); "
                  "print('finished')")  # fmt: skip
        killed = subprocess.Popen([sys.executable, "-c", script], env=_env(home), stdout=subprocess.PIPE)
        before = len(asked)
        _until(lambda: len(asked) >= before + 3)
        killed.kill()
        assert killed.wait(10) == -signal.SIGKILL and killed.stdout.read() == b""
        time.sleep(0.5)  # what was on its way
        sent = len(asked)
        time.sleep(2)
        assert len(asked) == sent and not list(home.glob(".download-*"))
        gone = owner_wire.connect(home)
        owner_wire.send(gone, {"type": "late"})
        gone.close()
        _until(lambda: answered.is_set() and not (home / ".late").exists())

        # A burst of scripts, while forty connections say nothing: every one answered by the owner,
        # none on a connection of its own.
        quiet = [owner_wire.connect(home) for _ in range(40)]
        monkeypatch.setattr(api, "_run_here", lambda *_: pytest.fail("ran beside the owner"))
        answers: list = [None] * 200

        def script_run(i: int) -> None:
            try:
                answers[i] = api.run("sorvel MSFT day 5", home=home)["symbol"]
            except BaseException as exc:  # each thread's failure is the test's
                answers[i] = exc

        threads = [threading.Thread(target=script_run, args=(i,)) for i in range(len(answers))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        assert answers == ["MSFT"] * len(answers), [a for a in answers if a != "MSFT"][:3]
        monkeypatch.undo()

        # An owner of an older protocol version: the one-shot says so once and answers on its own.
        server.version = 1
        env = {**_env(home), PORT_ENV: str(gateway.port)}
        alone = subprocess.run([sys.executable, "-m", "corvane", "sorvel", "MSFT", "day", "5"], capture_output=True,
                               text=True, timeout=60, env=env)  # fmt: skip
        assert alone.returncode == 0, alone.stderr
        assert alone.stdout.splitlines()[-1] == "MSFT 5 bars from ibkr"
        said = [line for line in alone.stderr.splitlines() if "version" in line]
        assert said == ["corvane: the owner speaks protocol version 1, this corvane 2: running on its own"]
    finally:
        for sock in quiet:
            sock.close()
        server.close()
        console.close()
        import corvane.cmds.quotes.sorvel as sorvel

        sorvel._sorvel_cache.clear()


def test_output_waits_for_a_slow_reader_and_gives_up_on_one_that_stopped(monkeypatch):
    monkeypatch.setattr(owner, "STALLED", 0.2)
    piece = {"type": "out", "text": "x" * 60_000}
    ours, theirs = socket.socketpair()
    reading = owner._Client(ours)
    got: list[dict] = []
    reader = threading.Thread(target=lambda: got.extend(_answer(theirs)))
    reader.start()
    assert all(reading.send(piece) for _ in range(300))  # 18 MB written at once, as a long table is
    assert reading.send({"type": "exit", "status": 0}) and reading.finish(30)
    reader.join(30)
    assert len(got) == 301 and got[-1]["type"] == "exit"

    ours, theirs = socket.socketpair()
    stalled = owner._Client(ours)
    assert all(stalled.send(piece) for _ in range(100))
    time.sleep(0.5)
    assert not all(stalled.send(piece) for _ in range(50))  # 9 MB behind, and reading nothing
    assert stalled.gone.is_set() and stalled.stop.is_set() and not stalled.finish(1)
    theirs.close()

    # Tables still to be made count by what they hold: a client reading nothing is dropped for them too.
    ours, theirs = socket.socketpair()
    stalled = owner._Client(ours)
    assert stalled.send_later("out", lambda: "x" * (2 << 20), 4 << 20)
    time.sleep(0.5)
    assert not stalled.send_later("out", lambda: "never made", 5 << 20)
    assert stalled.gone.is_set() and not stalled.finish(1)
    theirs.close()


def test_long_tables_are_made_on_the_clients_own_thread_in_their_place():
    ours, theirs = socket.socketpair()
    client = owner._Client(ours)
    out = owner.ClientStream(client, "out", False)
    made_on: list[str] = []

    def table() -> str:
        made_on.append(threading.current_thread().name)
        return "x" * 100_000 + "\n"  # more than one message

    def broken() -> str:
        raise ValueError("no such column")

    out.write("before\n")
    out.write_later(table, 1000)
    out.write("after\n")
    out.write_later(broken, 1000)
    out.write("still here\n")
    assert client.send({"type": "exit", "status": 0}) and client.finish(30)
    said = _answer(theirs)
    text = "".join(m["text"] for m in said if m["type"] == "out")
    assert text == "before\n" + "x" * 100_000 + "\nafter\nstill here\n"
    assert made_on == ["corvane-client-send"]  # never the thread that printed it (the owner's loop)
    assert [m["text"] for m in said if m["type"] == "err"] == [
        "corvane: a table could not be written: ValueError: no such column\n"
    ]
    assert said[-1] == {"type": "exit", "status": 0}
    theirs.close()


def test_a_full_queue_of_connections_is_waited_out_not_taken_for_no_owner(tmp_path):
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(str(socket_path(tmp_path)))
    listener.listen(0)  # an owner behind on its accepts: further connects fail with EAGAIN
    queued = [owner_wire.connect(tmp_path) for _ in range(3)]
    assert queued[-1] is None and attach._queue_full(socket_path(tmp_path))
    waiting = sum(q is not None for q in queued) + 1  # and the one-shot's own
    taken: list[socket.socket] = []
    def accept_later() -> None:  # a plain sleep: a timed wait never ends under a shifted clock
        time.sleep(0.5)
        taken.extend(listener.accept()[0] for _ in range(waiting))

    accepting = threading.Thread(target=accept_later, daemon=True)
    accepting.start()
    sock = attach._connect(tmp_path)
    assert sock is not None  # before: None, and the one-shot ran on a connection of its own
    accepting.join()
    for each in [sock, *queued, *taken, listener]:
        if each is not None:
            each.close()
    assert attach._connect(tmp_path) is None  # no owner at all: run alone at once


def test_one_shots_and_scripts_attach_to_a_serving_console(loopback_gateway_factory, home, tmp_path, monkeypatch):
    gateway = loopback_gateway_factory()
    monkeypatch.setattr(api, "_run", None)  # a script's download goes through the owner, never its own connection
    alone = _cli(home, "--port", str(gateway.port), "sorvel", "AAPL", "day", "20")
    assert alone.returncode == 0, alone.stderr
    serving = subprocess.Popen([sys.executable, "-m", "corvane", "--port", str(gateway.port), "serve"],
                               env=_env(home), stderr=subprocess.PIPE, text=True)
    try:
        assert "serving" in serving.stderr.readline() + serving.stderr.readline()
        attached = _cli(home, "sorvel", "AAPL", "day", "20")
        assert attached.returncode == 0, attached.stderr
        # The same table; the title and summary add that the owner had these bars already.
        assert attached.stdout.splitlines()[1:-1] == alone.stdout.splitlines()[1:-1]
        assert attached.stdout.splitlines()[-1] == "AAPL 19 bars from ibkr (cached)"

        work = tmp_path / "work"
        work.mkdir()
        exported = _cli(home, "sorvel", "MSFT", "day", "20", "--export", "msft.csv", cwd=work)
        assert exported.returncode == 0, exported.stderr
        assert "wrote 19 bars to msft.csv" in exported.stdout and (work / "msft.csv").is_file()
        assert _cli(home, "connect").returncode == 2  # prompt words stay the prompt's

        result = api.run("sorvel AAPL day 20", home=home)
        assert result["symbol"] == "AAPL" and len(result["bars"]) == 19
        with pytest.raises(api.CommandFailed) as failed:
            api.run("sorvl AAPL day 20", home=home)
        assert failed.value.status == 2
        frame = api.download("AAPL", start="2025-03-03", end="2025-03-04", interval="1h")  # by the owner:
        assert len(frame) == 14 and str(frame.index.tz) == "America/New_York"  # none of our own
        assert frame.attrs["sources"] == {"AAPL": "ibkr"} and not list(home.glob(".download-*"))
        # The download word's table goes to the client that asked, its result to the script, as alone.
        table = _cli(home, "download", "MSFT", "--last", "3", "--rows", "2")
        assert table.returncode == 0 and "first 1 and last 1 shown" in table.stdout, table.stderr
        owned = api.run("download AAPL --last 3 --interval 1d", home=home)
        try:
            alone = api.run(f"download AAPL --last 3 --port {gateway.port}", home=home, standalone=True)
        finally:
            api._close_here()
        same = ("source", "bars", "first", "last", "failure")
        assert [owned["symbols"]["AAPL"][k] for k in same] == [alone["symbols"]["AAPL"][k] for k in same]
        assert owned["symbols"]["AAPL"]["bars"] == 3

        # Ctrl-C in the client cancels the owner's command, not the owner.
        gateway.gateway.behaviour.history_delay = 30
        slow = subprocess.Popen([sys.executable, "-m", "corvane", "sorvel", "IBM", "day", "20"], env=_env(home),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(1.5)
        slow.send_signal(signal.SIGINT)
        _, slow_err = slow.communicate(timeout=20)
        assert slow.returncode == 130 and "cancelled" in slow_err, slow_err
        gateway.gateway.behaviour.history_delay = 0
        again = _cli(home, "sorvel", "IBM", "day", "20")
        assert again.returncode == 0 and "IBM 19 bars from ibkr" in again.stdout
        assert serving.poll() is None

        status = _cli(home, "serve", "--status")
        assert status.returncode == 0, status.stderr
        about = dict(line.split(None, 1) for line in status.stdout.splitlines())
        assert about["pid"] == str(serving.pid) and about["home"] == str(home)
        assert about["gateway"] == f"127.0.0.1:{gateway.port}" and about["clients"] == "0 running, 0 waiting"
        assert about["version"] == str(owner_wire.VERSION)
        stopped = _cli(home, "serve", "--stop")
        assert stopped.returncode == 0 and f"stopped the owner (pid {serving.pid})" in stopped.stderr
        assert serving.wait(20) == 0 and not socket_path(home).exists()
        assert _cli(home, "serve", "--status").returncode == 1
    finally:
        if serving.poll() is None:
            serving.send_signal(signal.SIGTERM)
            serving.wait(20)
    assert serving.returncode == 0


_HOSTILE = "\x1b]0;pwned\x07\x1b]52;c;cHduZWQ=\x1b\\\x07\x1b[2J\x1b[H\x9b2J\x1b[33mwarned\x1b[0m\n"


def test_an_attached_terminal_draws_the_waiting_line_as_a_one_shot_alone_does(monkeypatch):
    """The owner sends the waiting line as messages; the client draws it on its own terminal,
    wipes it before a log line, and drops it for good once the answer prints."""
    monkeypatch.delenv("NO_COLOR", raising=False)
    ours, theirs = socket.socketpair()
    master, slave = os.openpty()
    err = os.fdopen(slave, "w")

    def owner_side():
        for message, pause in [({"type": "status", "text": "sorvel AAPL day 100"}, 0.8),
                               ({"type": "err", "text": "12:00:00 INFO    a log line\n"}, 0.3),
                               ({"type": "err", "text": _HOSTILE}, 0.3),
                               ({"type": "out", "text": "the table\n"}, 0.8),
                               ({"type": "exit", "status": 0}, 0)]:
            owner_wire.send(theirs, message)
            time.sleep(pause)

    thread = threading.Thread(target=owner_side)
    thread.start()
    out = io.StringIO()
    assert attach.Attached(ours).answer(out, err) == (0, None)
    thread.join()
    drawn = b""
    while select.select([master], [], [], 0.2)[0]:
        drawn += os.read(master, 65536)
    err.close()
    os.close(master)
    text = drawn.decode()
    log = text.index("a log line")
    assert "sorvel AAPL day 100 · 0." in text[:log] and "(Ctrl-C cancels)" in text[:log]
    assert text[:log].endswith("\r\x1b[2K12:00:00 INFO    ")  # wiped before the log line
    assert "sorvel AAPL day 100" in text[log:]  # drawn again while still waiting
    assert text.endswith("\r\x1b[2K") and out.getvalue() == "the table\n"  # nothing after the answer
    # Of an owner's escapes a terminal shows colour only: no title, bell, clipboard or cursor move.
    assert "\x1b[33mwarned\x1b[0m\r\n" in text and "pwned" not in text and "\x07" not in text
    assert not any(code in text for code in ("\x1b]", "\x1b[2J", "\x1b[H", "\x9b", "2J"))
    # Not a terminal: the same messages draw nothing.
    plain = io.StringIO()
    one, two = socket.socketpair()
    for message in ({"type": "status", "text": "x"}, {"type": "err", "text": "e\n"},
                    {"type": "err", "text": _HOSTILE}, {"type": "exit", "status": 0}):
        owner_wire.send(two, message)
    assert attach.Attached(one).answer(io.StringIO(), plain) == (0, None) and plain.getvalue() == "e\nwarned\n"


class _Planted:
    """An owner planted at a home's socket: it notes each request and answers as ``answer`` says."""

    def __init__(self, home: Path, answer) -> None:
        home.mkdir(parents=True, exist_ok=True)
        self.answer = answer
        self.heard: list[dict] = []
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(str(socket_path(home)))
        self.listener.listen(8)
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self) -> None:
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            with conn:
                try:
                    request = owner_wire.receive(conn, first_timeout=10)
                    if request is not None:
                        self.heard.append(request)
                        for message in self.answer(request):
                            owner_wire.send(conn, message)
                except (OSError, owner_wire.WireError):
                    pass

    def close(self) -> None:
        self.listener.close()


NOBODY = 65534
#: Files are given to another uid with chown, which takes root.
as_root = pytest.mark.skipif(os.getuid() != 0, reason="giving a file to another uid needs root")


@as_root
def test_an_owner_another_user_planted_is_never_obeyed(home, tmp_path, monkeypatch, capsys):
    """A home in a shared directory lets another user plant the socket: one-shots and scripts
    refuse it before they send a byte, say why in one line and run alone; nothing it names
    is read or removed, and a trusted owner still only hands over its own downloads."""
    victim = tmp_path / "victim.txt"
    victim.write_text("the user's own")
    victim.chmod(0o600)
    download = {"type": "result", "value": {"path": str(victim), "sources": {}}}

    def answer(request):
        if request["type"] == "download":
            return [download]
        return [{"type": "out", "text": "\x1b]0;pwned\x07obeyed\n"}, {"type": "result", "value": {}},
                {"type": "exit", "status": 0}]

    shared = tmp_path / "shared"
    shared.mkdir(mode=0o1777)
    foreign = shared / "home"
    planted = _Planted(foreign, answer)
    try:
        os.chown(foreign, NOBODY, NOBODY)
        os.chown(socket_path(foreign), NOBODY, NOBODY)
        alone = _cli(foreign, "help", "nosuch")
        assert alone.returncode == 2 and "obeyed" not in alone.stdout + alone.stderr
        said = alone.stderr.splitlines()
        assert said[0].startswith("corvane: not asking the owner, running here: ") and "uid 65534" in said[0]
        assert "unknown command" in said[1]
        with pytest.raises(api.CommandFailed) as failed:  # the script too: refused, then its own words
            api.run("--no-such-option", home=foreign)
        assert failed.value.status == 2 and "uid 65534" in capsys.readouterr().err
        assert planted.heard == []
    finally:
        planted.close()

    # The socket in the user's own home, but what listens there runs as someone else.
    planted = _Planted(home, answer)
    try:
        monkeypatch.setattr(api, "_run", lambda *asked: (_ for _ in ()).throw(RuntimeError("ran alone")))
        monkeypatch.setattr(owner_wire, "peer_uid", lambda sock: NOBODY)
        with pytest.raises(RuntimeError, match="ran alone"):
            api.download("AAPL", last=5)
        assert planted.heard == [] and "runs as uid 65534" in capsys.readouterr().err
        monkeypatch.undo()
        monkeypatch.setenv("CORVANE_HOME", str(home))

        # A trusted owner's answer names a file: only its own download in the home is taken.
        ours = home / f".download-{'0' * 32}.parquet"
        ours.symlink_to(victim)
        theirs = home / f".download-{'1' * 32}.parquet"
        theirs.write_bytes(b"PAR1")
        os.chown(theirs, NOBODY, NOBODY)
        for named, why in [(str(victim), "not its download"), (str(ours), "cannot be read"),
                           (str(theirs), "belongs to uid 65534"), (["a", "list"], "not its download")]:
            download["value"]["path"] = named
            with pytest.raises(RuntimeError, match=why):
                api.download("AAPL", last=5)
        assert victim.read_text() == "the user's own" and ours.is_symlink() and theirs.exists()
    finally:
        planted.close()


@as_root
def test_the_owner_never_serves_from_a_home_or_files_another_user_could_plant(tmp_path):
    foreign = tmp_path / "foreign"
    foreign.mkdir(mode=0o755)
    os.chown(foreign, NOBODY, NOBODY)
    with pytest.raises(owner.UnsafeHome, match="belongs to uid 65534"):
        owner.OwnerServer(foreign, client_consoles(None)).take()
    assert os.stat(foreign).st_mode & 0o777 == 0o755 and not lock_path(foreign).exists()
    served = _cli(foreign, "--no-gateway", "serve")
    assert served.returncode == 1 and served.stderr.count("\n") == 1 and "belongs to uid 65534" in served.stderr

    home = tmp_path / "home"
    home.mkdir(mode=0o700)
    target = tmp_path / "target"
    lock = lock_path(home)
    for plant, why in [(lambda: lock.symlink_to(target), "is a symlink"), (lambda: os.mkfifo(lock), "not a regular"),
                       (lambda: lock.mkdir(), "is a directory")]:
        plant()
        with pytest.raises(owner.UnsafeHome, match=why):
            owner.OwnerServer(home, client_consoles(None)).take()
        lock.rmdir() if lock.is_dir() and not lock.is_symlink() else lock.unlink()
    socket_path(home).symlink_to(target)
    server = owner.OwnerServer(home, client_consoles(None))
    try:
        server.take()
        with pytest.raises(owner.UnsafeHome, match="not a socket"):
            server.listen()
    finally:
        server.close()
    assert not target.exists() and socket_path(home).is_symlink()
