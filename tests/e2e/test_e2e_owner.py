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
from corvane import api, attach, commands, owner, owner_wire
from corvane.cli import _client_console
from corvane.console import Console
from corvane.gateway.connection import GatewaySettings
from corvane.kvstore import KeyValueStore

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

    server = owner.OwnerServer(home, _client_console(console), peer_check=check).start()
    try:
        assert console.connect()
        assert os.stat(home).st_mode & 0o777 == 0o700 and os.stat(server.path).st_mode & 0o777 == 0o600
        with pytest.raises(owner.OwnerBusy):  # two owners never run for one home
            owner.OwnerServer(home, _client_console(console)).start()

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
        assert out.getvalue().splitlines()[-1].startswith("AAPL 20 bars from ibkr")
    finally:
        server.close()
        console.close()
        import corvane.cmds.quotes.sorvel as sorvel

        sorvel._sorvel_cache.clear()  # the bars stay with this test, not the next one in this process
    assert not server.path.exists()


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
        assert attached.stdout.splitlines()[-1] == "AAPL 20 bars from ibkr (cached)"

        work = tmp_path / "work"
        work.mkdir()
        exported = _cli(home, "sorvel", "MSFT", "day", "20", "--export", "msft.csv", cwd=work)
        assert exported.returncode == 0, exported.stderr
        assert "wrote 20 bars to msft.csv" in exported.stdout and (work / "msft.csv").is_file()
        assert _cli(home, "connect").returncode == 2  # prompt words stay the prompt's

        result = api.run("sorvel AAPL day 20", home=home)
        assert result["symbol"] == "AAPL" and len(result["bars"]) == 20
        with pytest.raises(api.CommandFailed) as failed:
            api.run("sorvl AAPL day 20", home=home)
        assert failed.value.status == 2
        frame = api.download("AAPL", start="2025-03-03", end="2025-03-04", interval="1h")  # by the owner:
        assert len(frame) == 14 and str(frame.index.tz) == "America/New_York"  # none of our own
        assert frame.attrs["sources"] == {"AAPL": "ibkr"} and not list(home.glob(".download-*"))

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
        assert again.returncode == 0 and "IBM 20 bars from ibkr" in again.stdout
        assert serving.poll() is None
    finally:
        serving.send_signal(signal.SIGTERM)
        serving.wait(20)
    assert serving.returncode == 0


def test_an_attached_terminal_draws_the_waiting_line_as_a_one_shot_alone_does():
    """The owner sends the waiting line as messages; the client draws it on its own terminal,
    wipes it before a log line, and drops it for good once the answer prints."""
    ours, theirs = socket.socketpair()
    master, slave = os.openpty()
    err = os.fdopen(slave, "w")

    def owner_side():
        for message, pause in [({"type": "status", "text": "sorvel AAPL day 100"}, 0.8),
                               ({"type": "err", "text": "12:00:00 INFO    a log line\n"}, 0.3),
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
    # Not a terminal: the same messages draw nothing.
    plain = io.StringIO()
    one, two = socket.socketpair()
    for message in ({"type": "status", "text": "x"}, {"type": "err", "text": "e\n"}, {"type": "exit", "status": 0}):
        owner_wire.send(two, message)
    assert attach.Attached(one).answer(io.StringIO(), plain) == (0, None) and plain.getvalue() == "e\n"
