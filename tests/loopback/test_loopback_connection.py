"""Connecting to the loopback gateway with the real client, and losing the connection."""

from __future__ import annotations

import asyncio
import datetime as dt
import socket
import struct
import time

import pytest
from ib_async import IB, Stock

from corvane_loopback import LoopbackGateway
from corvane_loopback.market_calendar import EXCHANGE_TZ

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
            await second.connectAsync("127.0.0.1", loopback_gateway.port, clientId=1, readonly=True, timeout=0.5)
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


def _history_request(req_id: int, duration: str) -> bytes:
    contract = "0\0AAPL\0STK\0\0\0\0\0SMART\0\0USD\0\0\0"
    return _frame(f"20\0{req_id}\0{contract}0\0\0001 min\0{duration}\0001\0TRADES\0001\0000\0")


def _started_api(port: int, receive_buffer: int | None = None) -> socket.socket:
    sock = socket.socket()
    if receive_buffer:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
    sock.settimeout(5)
    sock.connect(("127.0.0.1", port))
    sock.sendall(b"API\0" + _frame("v157..178"))
    _read_frame(sock)
    sock.sendall(_frame("71\x002\x009\x00\x00"))
    for _ in range(5):
        _read_frame(sock)
    return sock


class TestClientsThatHoldOnToResources:
    def test_a_silent_client_is_closed_but_one_awaiting_an_answer_is_not(self, loopback_gateway_factory, run_ib):
        gw = loopback_gateway_factory(now=WEDNESDAY_NOON, idle_timeout=1.0, history_delay=2.5)
        with _started_api(gw.port) as silent:
            assert silent.recv(100) == b""

        async def body(ib: IB):
            return len(await ib.reqHistoricalDataAsync(Stock("AAPL", "SMART", "USD"), "", "1 D", "1 hour", "TRADES", True))

        assert run_ib(gw.port, body) == 3

    def test_a_client_that_does_not_read_is_not_read_from_until_it_does(self, loopback_gateway_factory):
        gw = loopback_gateway_factory(now=WEDNESDAY_NOON, write_buffer_limit=64 << 10)
        asked = 60
        with _started_api(gw.port, receive_buffer=16 << 10) as sock:
            sock.sendall(b"".join(_history_request(i, "1 M") for i in range(1, asked + 1)))
            seen, still_since = -1, time.monotonic()
            while time.monotonic() - still_since < 0.5:
                time.sleep(0.05)
                if len(gw.gateway.history_requests) != seen:
                    seen, still_since = len(gw.gateway.history_requests), time.monotonic()
            assert seen < asked
            deadline = time.monotonic() + 10
            while len(gw.gateway.history_requests) == seen and time.monotonic() < deadline:
                sock.recv(1 << 20)
            assert len(gw.gateway.history_requests) > seen
