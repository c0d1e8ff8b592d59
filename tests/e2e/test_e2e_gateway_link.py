"""Finding the gateway, saying why it cannot be used, and getting it back after a loss."""

from __future__ import annotations

import asyncio
import io
import os
import socket
import subprocess
import sys
from pathlib import Path

import pytest
from ib_async import IB, Stock
from loguru import logger

import corvane
from corvane.console import Console
from corvane.gateway import connection
from corvane.gateway.connection import GatewayLink, GatewaySettings
from corvane.kvstore import KeyValueStore


@pytest.fixture
def warnings():
    lines: list[str] = []
    handler = logger.add(lambda m: lines.append(m.record["message"]), level="INFO")
    yield lines
    logger.remove(handler)


@pytest.fixture
def closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def silent_port():
    """A port that accepts connections and never says a word."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        s.listen()
        yield s.getsockname()[1]


def console_env(home: Path) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if not k.startswith("CORVANE_") or k == "CORVANE_NOW"}
    return {**env, "PYTHONPATH": str(Path(corvane.__file__).resolve().parents[1]),
            "CORVANE_HOME": str(home)}


def connect(settings: GatewaySettings, ib: IB | None = None) -> tuple[bool, GatewayLink]:
    async def go():
        link = GatewayLink(ib or IB(), settings)
        ok = await link.connect()
        link.close()
        return ok, link

    return asyncio.run(go())


class TestFinding:
    def test_without_a_port_the_usual_ones_are_tried_in_turn(self, loopback_gateway, closed_port,
                                                             silent_port, monkeypatch, warnings):
        monkeypatch.setattr(connection, "USUAL_PORTS", (closed_port, silent_port, loopback_gateway.port))
        ok, link = connect(GatewaySettings(timeout=0.5, discover=True))
        assert ok and link.settings.port == loopback_gateway.port
        assert any(f"Connected to the gateway at 127.0.0.1:{loopback_gateway.port}" in w
                   and f"nothing on {closed_port}, {silent_port}" in w for w in warnings)

        monkeypatch.setattr(connection, "USUAL_PORTS", (closed_port, silent_port))
        assert connect(GatewaySettings(timeout=0.5, discover=True))[0] is False
        assert warnings[-1] == (
            f"No gateway at 127.0.0.1 on the usual ports: {closed_port} (connection refused), "
            f"{silent_port} (no answer within 0.5 s: the port is open but the API did not answer; "
            "is it enabled?). Start one or pass --port; running without one")

    def test_a_client_id_in_use_gives_way_to_the_next_free_one(self, loopback_gateway, run_ib,
                                                               warnings, monkeypatch, tmp_path):
        port = loopback_gateway.port

        async def while_a_console_holds_17(ib):
            # A one-shot command while the prompt holds the default id gets the gateway's bars.
            return await asyncio.to_thread(subprocess.run, [
                sys.executable, "-m", "corvane", "--port", str(port), "sorvel", "AAPL", "day", "5"],
                capture_output=True, text=True, timeout=60, env=console_env(tmp_path))

        done = run_ib(port, while_a_console_holds_17, client_id=connection.DEFAULT_CLIENT_ID)
        assert done.returncode == 0, done.stderr
        assert done.stdout.splitlines()[-1] == "AAPL 5 bars from ibkr"
        assert f"Connected to the gateway at 127.0.0.1:{port} (client id 18; 17 is in use)" in done.stderr

        async def ids_1_and_2_held(ib):
            other = IB()
            await other.connectAsync("127.0.0.1", port, clientId=2, readonly=True, timeout=5)
            try:
                # The gateway's refusal ends each try at once, not the 30 s connect timeout.
                link = GatewayLink(IB(), GatewaySettings(port=port, client_id=1, timeout=30))
                return await asyncio.wait_for(link.connect(), 10)
            finally:
                other.disconnect()

        monkeypatch.setattr(connection, "CLIENT_ID_TRIES", 2)
        assert run_ib(port, ids_1_and_2_held, client_id=1) is False
        assert "refused client ids 1 to 2" in warnings[-1] and "error 326" in warnings[-1]
        assert "--client-id" in warnings[-1]


def test_a_lost_connection_comes_back_on_the_same_client(loopback_gateway, warnings):
    async def go():
        ib = IB()
        reconnected = asyncio.Event()
        ib.connectedEvent += reconnected.set  # registered by someone else, before the loss
        link = GatewayLink(ib, GatewaySettings(port=loopback_gateway.port, client_id=4))
        link.reconnector.enabled = True
        link.reconnector.backoff = (0.2,)
        assert await link.connect()
        reconnected.clear()
        await asyncio.to_thread(loopback_gateway.disconnect_all)
        await asyncio.wait_for(reconnected.wait(), 10)
        for _ in range(50):
            if link.connected:
                break
            await asyncio.sleep(0.05)
        up = link.connected
        [stock] = await ib.qualifyContractsAsync(Stock("AAPL", "SMART", "USD"))
        bars = await ib.reqHistoricalDataAsync(stock, "", "2 D", "1 day", "TRADES", True)
        link.close()
        return up, len(bars)

    up, bars = asyncio.run(go())
    assert up and bars > 0
    assert sum("lost; reconnecting in the background" in w for w in warnings) == 1
    assert any(w.startswith("Reconnected to the gateway at") for w in warnings)


def test_connect_at_the_prompt_goes_where_its_words_say(loopback_gateway_factory, tmp_path, warnings):
    first, second = loopback_gateway_factory(), loopback_gateway_factory()
    err = io.StringIO()
    console = Console(GatewaySettings(port=first.port), KeyValueStore(tmp_path / "store.json"),
                      interactive=True, out=io.StringIO(), err=err)
    try:
        assert console.handle(["connect"]) == 0
        assert console.settings.address == f"127.0.0.1:{first.port}"
        assert console.handle(["connect", "127.0.0.1", str(second.port)]) == 0
        assert console.connected and console.settings.address == f"127.0.0.1:{second.port}"
        assert not any("lost" in w for w in warnings)  # leaving the first one is no loss
        assert console.handle(["connect", str(first.port)]) == 0  # a lone number is a port
        assert console.settings.address == f"127.0.0.1:{first.port}"
        for words, said in ((["127.0.0.1", "40x2"], "gateway port must be a number, not '40x2'"),
                            (["127.0.0.1", "70000"], "gateway port must be between 1 and 65535"),
                            (["a", "1", "2"], "usage: connect [HOST] [PORT]")):
            err.truncate(0)
            err.seek(0)
            assert console.handle(["connect", *words]) == 2
            assert err.getvalue().startswith(f"corvane: connect: {said}")
            assert len(err.getvalue().splitlines()) == 1
        assert console.connected and console.settings.address == f"127.0.0.1:{first.port}"
    finally:
        console.close()
