"""Reaching the gateway: settings, an absent gateway, a dropped connection, and symbol resolution."""

from __future__ import annotations

import asyncio

import pytest
from conftest import run_console
from eventkit import Event
from ib_async import IB, ContFuture, Contract, ContractDetails, Future, Stock
from loguru import logger

from corvane.gateway.connection import (DEFAULT_CLIENT_ID, GatewayLink, GatewaySettings,
                                        SettingsError, resolve_settings)
from corvane.gateway.symbols import resolve_symbol
from corvane.state import ConsoleState


@pytest.fixture
def log_lines():
    lines: list[str] = []
    handler = logger.add(lambda m: lines.append(m.record["level"].name + " " + m.record["message"]),
                         level="DEBUG")
    yield lines
    logger.remove(handler)


class TestSettings:
    def test_options_beat_environment_beat_defaults(self):
        env = {"CORVANE_IB_HOST": "10.1.1.1", "CORVANE_IB_PORT": "4002"}
        assert resolve_settings(env={}) == GatewaySettings("127.0.0.1", 4001, DEFAULT_CLIENT_ID, 2.0,
                                                           discover=True)
        s = resolve_settings(env=env)
        assert (s.host, s.port) == ("10.1.1.1", 4002)
        s = resolve_settings(port="7497", client_id="3", env=env)
        assert (s.host, s.port, s.client_id) == ("10.1.1.1", 7497, 3)

    @pytest.mark.parametrize("kwargs", [{"port": "x"}, {"port": "0"}, {"port": "70000"},
                                        {"client_id": "-1"}, {"timeout": "0"}])
    def test_unusable_values_are_refused(self, kwargs):
        with pytest.raises(SettingsError):
            resolve_settings(env={}, **kwargs)


class TestAbsentGateway:
    def test_closed_port_is_told_once_and_leaves_the_console_disconnected(self, closed_port, log_lines):
        async def attempt():
            link = GatewayLink(IB(), GatewaySettings(port=closed_port, timeout=2.0))
            ok = await link.connect()
            return ok, link.connected

        assert asyncio.run(attempt()) == (False, False)
        said = [ln for ln in log_lines if "gateway" in ln.lower()]
        assert said == [f"WARNING No gateway at 127.0.0.1:{closed_port} (connection refused); "
                        "running without one"]

    def test_one_command_runs_without_it(self, private_home, closed_port):
        done = run_console(private_home, "--port", str(closed_port), "fakebars", "x", "1")
        assert done.returncode == 0
        assert sum("No gateway at" in ln for ln in done.stderr.splitlines()) == 1
        # The client library's own complaints about the refused connect are not repeated.
        assert "API connection failed" not in done.stderr


class FakeIB:
    """Just enough of the client for the connection bookkeeping."""

    def __init__(self):
        self.disconnectedEvent = Event("disconnectedEvent")
        self.up = False
        self.connect_calls = []

    async def connectAsync(self, host, port, clientId, readonly, timeout):
        self.connect_calls.append((host, port, clientId, readonly, timeout))
        self.up = True

    def isConnected(self):
        return self.up

    def disconnect(self):
        self.up = False
        self.disconnectedEvent.emit()

    def drop(self):
        self.up = False
        self.disconnectedEvent.emit()


class TestDroppedConnection:
    def test_loss_turns_connected_false_and_is_told_once(self, log_lines):
        ib = FakeIB()
        link = GatewayLink(ib, GatewaySettings(port=4999, client_id=5, timeout=1.5))
        state = ConsoleState(link)
        assert asyncio.run(link.connect()) is True
        assert ib.connect_calls == [("127.0.0.1", 4999, 5, True, 1.5)]
        assert state.connected

        ib.drop()
        ib.disconnectedEvent.emit()  # a second event for the same loss says nothing more
        assert not state.connected
        assert sum("lost" in ln for ln in log_lines) == 1

    def test_client_reporting_down_is_enough(self):
        ib = FakeIB()
        link = GatewayLink(ib, GatewaySettings())
        asyncio.run(link.connect())
        ib.up = False  # no event yet: the client's own view still counts
        assert not link.connected

    def test_closing_on_exit_is_not_a_loss(self, log_lines):
        ib = FakeIB()
        link = GatewayLink(ib, GatewaySettings())
        asyncio.run(link.connect())
        link.close()
        assert not link.connected and not ib.up
        assert not any("lost" in ln for ln in log_lines)


class FakeClient:
    """Qualifies what the gateway would know: AAPL as a stock, ES as a future; HK is ambiguous."""

    def __init__(self):
        self.asked: list[Contract] = []

    async def qualifyContractsAsync(self, *contracts):
        out = []
        for c in contracts:
            self.asked.append(c)
            if c.secType == "STK" and c.symbol == "AAPL":
                c.conId, c.primaryExchange, c.localSymbol = 265598, "NASDAQ", "AAPL"
                out.append(c)
            elif c.secType == "CONTFUT" and c.symbol == "ES":
                c.conId, c.exchange, c.localSymbol = 495512563, "CME", "ESZ5"
                c.lastTradeDateOrContractMonth, c.multiplier, c.currency = "20251219", "50", "USD"
                out.append(c)
            elif c.symbol == "HK":
                out.append(None)  # ambiguous
            else:
                out.append(None)
        return out

    async def reqContractDetailsAsync(self, contract):
        [found] = await self.qualifyContractsAsync(contract)
        return [ContractDetails(contract=found, contractMonth="202512")] if found else []


class TestSymbolResolution:
    def resolve(self, client, symbol):
        return asyncio.run(resolve_symbol(client, symbol))

    def test_stock(self):
        client = FakeClient()
        symbol, contract = self.resolve(client, "aapl")
        assert symbol == "AAPL" and isinstance(contract, Stock) and contract.conId == 265598
        asked = client.asked[0]
        assert (asked.symbol, asked.exchange, asked.currency) == ("AAPL", "SMART", "USD")

    def test_future_is_an_instance_of_the_future_type(self):
        client = FakeClient()
        symbol, contract = self.resolve(client, "/ES")
        assert isinstance(client.asked[0], ContFuture)
        assert symbol == "/ES"
        assert type(contract) is Future and contract.secType == "FUT"
        assert (contract.conId, contract.localSymbol, contract.lastTradeDateOrContractMonth,
                contract.exchange) == (495512563, "ESZ5", "20251219", "CME")

    @pytest.mark.parametrize("typed", ["ZZZZ", "/ZZ", "HK", "/", "  ", ""])
    def test_unknown_or_unusable_symbols_resolve_to_nothing(self, typed):
        assert self.resolve(FakeClient(), typed) == ("", None)

    def test_state_refuses_to_resolve_without_a_connection(self):
        state = ConsoleState(GatewayLink(FakeIB(), GatewaySettings()))
        with pytest.raises(ConnectionError):
            asyncio.run(state.positionalQuoteRepopulate("AAPL"))
