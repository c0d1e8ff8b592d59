"""Finding the gateway, saying why it cannot be used, and getting it back after a loss."""

from __future__ import annotations

import asyncio
import socket

import pytest
from ib_async import IB, Stock
from loguru import logger

from corvane.gateway import connection
from corvane.gateway.connection import GatewayLink, GatewaySettings


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

    def test_a_client_id_in_use_is_named_with_what_to_do(self, loopback_gateway, run_ib, warnings):
        async def second_console(ib):
            link = GatewayLink(IB(), GatewaySettings(port=loopback_gateway.port, client_id=1))
            return await link.connect()

        assert run_ib(loopback_gateway.port, second_console, client_id=1) is False
        assert "refused client id 1" in warnings[-1] and "error 326" in warnings[-1]
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
