"""Connecting to the loopback gateway with the real client, and losing the connection."""

from __future__ import annotations

import asyncio
import datetime as dt
import socket
import struct

import pytest
from ib_async import IB, Stock

from corvane.loopback import LoopbackGateway
from corvane.loopback.market_calendar import EXCHANGE_TZ

WEDNESDAY_NOON = dt.datetime(2025, 3, 5, 12, 0, tzinfo=EXCHANGE_TZ)


@pytest.mark.parametrize("readonly", [True, False])
def test_connect_completes_with_the_account(loopback_gateway_factory, run_ib, readonly):
    gw = loopback_gateway_factory(account="DU7654321")

    async def body(ib: IB):
        return ib.isConnected(), ib.managedAccounts(), ib.client.serverVersion()

    connected, accounts, version = run_ib(gw.port, body, readonly=readonly)
    assert connected
    assert accounts == ["DU7654321"]
    assert version == IB().client.MaxClientVersion


def test_a_client_id_in_use_is_refused_and_the_first_client_stays(loopback_gateway, run_ib):
    async def body(first: IB):
        second = IB()
        with pytest.raises((ConnectionError, asyncio.TimeoutError)):
            await second.connectAsync("127.0.0.1", loopback_gateway.port, clientId=1, readonly=True, timeout=2)
        [contract] = await first.qualifyContractsAsync(Stock("AAPL", "SMART", "USD"))
        return contract

    assert run_ib(loopback_gateway.port, body, client_id=1).conId


def test_disconnect_all_ends_the_session_and_fails_the_pending_request(loopback_gateway_factory, run_ib):
    gw = loopback_gateway_factory(now=WEDNESDAY_NOON, history_delay=30)

    async def body(ib: IB):
        lost = asyncio.Event()
        ib.disconnectedEvent += lost.set
        pending = asyncio.ensure_future(
            ib.reqHistoricalDataAsync(Stock("AAPL", "SMART", "USD"), "", "1 D", "1 min", "TRADES", True)
        )
        await asyncio.sleep(0.2)
        dropped = await asyncio.to_thread(gw.disconnect_all)
        await asyncio.wait_for(lost.wait(), 5)
        with pytest.raises(ConnectionError):
            await asyncio.wait_for(pending, 5)
        return dropped, ib.isConnected()

    assert run_ib(gw.port, body) == (1, False)


def test_drop_after_answers_that_many_requests_then_drops(loopback_gateway_factory, run_ib):
    gw = loopback_gateway_factory(now=WEDNESDAY_NOON, drop_after_history_requests=1)
    aapl = Stock("AAPL", "SMART", "USD")

    async def body(ib: IB):
        first = await ib.reqHistoricalDataAsync(aapl, "", "5 D", "1 day", "TRADES", True)
        with pytest.raises(ConnectionError):
            await ib.reqHistoricalDataAsync(aapl, "", "5 D", "1 day", "TRADES", True)
        return len(first), ib.isConnected()

    assert run_ib(gw.port, body) == (3, False)  # five calendar days back from a Wednesday


def _raw_connection(port: int) -> socket.socket:
    return socket.create_connection(("127.0.0.1", port), timeout=5)


def _frame(text: str) -> bytes:
    payload = text.encode()
    return struct.pack(">I", len(payload)) + payload


def _read_frame(sock: socket.socket) -> list[str]:
    size = struct.unpack(">I", sock.recv(4, socket.MSG_WAITALL))[0]
    return sock.recv(size, socket.MSG_WAITALL).decode().split("\0")[:-1]


def test_garbage_and_unknown_versions_are_dropped_without_harm(loopback_gateway, run_ib):
    with _raw_connection(loopback_gateway.port) as junk:
        junk.sendall(b"GET / HTTP/1.1\r\n\r\n")
        assert junk.recv(100) == b""  # closed on us
    with _raw_connection(loopback_gateway.port) as ancient:
        ancient.sendall(b"API\0" + _frame("v100..120"))
        assert ancient.recv(100) == b""
    with _raw_connection(loopback_gateway.port) as huge:
        huge.sendall(b"API\0" + struct.pack(">I", 1 << 30))
        assert huge.recv(100) == b""

    async def body(ib: IB):
        return ib.isConnected()

    assert run_ib(loopback_gateway.port, body)


def test_a_malformed_request_is_reported_and_the_session_goes_on(loopback_gateway):
    with _raw_connection(loopback_gateway.port) as sock:
        sock.sendall(b"API\0" + _frame("v157..178"))
        assert _read_frame(sock)[0] == "178"
        sock.sendall(_frame("71\x002\x009\x00\x00"))  # start the API as client 9
        greeting = [_read_frame(sock) for _ in range(5)]
        assert greeting[0] == ["15", "1", "DU1000001"]
        assert greeting[1] == ["9", "1", "1"]
        sock.sendall(_frame("9\x008\x00not-a-number\x00"))
        error = _read_frame(sock)
        assert error[:4] == ["4", "2", "-1", "320"]
        sock.sendall(_frame("49\x001\x00"))  # current time
        assert _read_frame(sock)[0] == "49"


def test_in_process_gateway_shares_the_clients_event_loop():
    async def main():
        async with LoopbackGateway(port=0, now=WEDNESDAY_NOON) as gw:
            ib = IB()
            await ib.connectAsync("127.0.0.1", gw.port, clientId=3, readonly=True, timeout=5)
            lost = asyncio.Event()
            ib.disconnectedEvent += lost.set
            bars = await ib.reqHistoricalDataAsync(Stock("QQQ", "SMART", "USD"), "", "1 D", "1 hour", "TRADES", True)
            dropped = gw.disconnect_all()
            await asyncio.wait_for(lost.wait(), 5)
            return len(bars), dropped, gw.connections

    assert asyncio.run(main()) == (3, 1, 0)  # 09:30, 10:00 and 11:00 by noon
