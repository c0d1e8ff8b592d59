"""Live quotes end to end: the real ib_async client streaming from the loopback gateway."""

from __future__ import annotations

import asyncio
import datetime as dt
import io
import time

import pytest
from ib_async import Stock

from corvane.gateway.connection import GatewaySettings
from corvane.helpers import nameForContract
from corvane.kvstore import KeyValueStore, group_key
from corvane.live_quotes import has_data
from corvane_loopback.market_calendar import EXCHANGE_TZ

tessik = pytest.importorskip("corvane.cmds.quote_mgmt.tessik", reason="tessik is not built here")

#: A Wednesday noon in New York: the session is open, and every run sees the same quotes.
NOON = dt.datetime(2025, 3, 5, 12, 0, tzinfo=EXCHANGE_TZ)


def _live(result: dict, group: str) -> list[str]:
    return result["result"]["groups"][group]["live"]


def test_group_members_stream_show_as_live_and_stop_when_cancelled(loopback_gateway_factory, live_over):
    gateway = loopback_gateway_factory(now=NOON, tick_interval=0.05)
    store = {group_key("tech"): {"AAPL", "MSFT"}}

    async def body(live, listing):
        outcomes = await live.subscribe(["AAPL", "msft"])
        both = await listing()
        ticker = live.entries["AAPL"].ticker
        volume = ticker.volume
        await asyncio.sleep(0.5)
        moved = ticker.volume - volume
        cancelled = live.unsubscribe(["AAPL"])
        one = await listing("tech")
        await asyncio.sleep(0.2)  # the cancel reaches the gateway
        return outcomes, both, moved, cancelled, one, dict(live.entries), gateway.gateway.quote_streams()

    outcomes, both, moved, cancelled, one, entries, streams = live_over(gateway.port, store, body)

    assert [(o.symbol, o.live, o.why) for o in outcomes] == [("AAPL", True, ""), ("MSFT", True, "")]
    assert both == {"result": {"groups": {"tech": {"symbols": ["AAPL", "MSFT"], "live": ["AAPL", "MSFT"]}}}}
    assert moved > 0  # the stream kept ticking after the first quote
    assert cancelled == (["AAPL"], [])
    assert _live(one, "tech") == ["MSFT"]
    # Kept under the name symbol resolution gives, which is what tessik reads off the contract.
    assert [nameForContract(e.ticker.contract) for e in entries.values()] == list(entries) == ["MSFT"]
    assert streams == 1
    requests = gateway.gateway.market_data_requests
    assert [(r.contract.symbol, r.snapshot) for r in requests] == [("AAPL", False), ("MSFT", False)]


def test_refused_and_unknown_symbols_are_reported_and_never_live(loopback_gateway_factory, live_over):
    gateway = loopback_gateway_factory(now=NOON, refuse_quotes=["MSFT"])
    store = {group_key("tech"): ["MSFT", "AAPL"]}

    async def body(live, listing):
        return await live.subscribe(["AAPL", "MSFT", "ZZZZ"]), await listing(), list(live.entries)

    outcomes, listing, names = live_over(gateway.port, store, body)

    by_symbol = {o.symbol: o for o in outcomes}
    assert by_symbol["AAPL"].live and not by_symbol["MSFT"].live and not by_symbol["ZZZZ"].live
    assert "354" in by_symbol["MSFT"].why and "not subscribed" in by_symbol["MSFT"].why
    assert names == ["AAPL"]
    assert _live(listing, "tech") == ["AAPL"]


def test_a_snapshot_agrees_with_the_bars(loopback_gateway_factory, run_ib):
    gateway = loopback_gateway_factory(now=NOON)
    errors: list[int] = []

    async def body(ib):
        ib.errorEvent += lambda req_id, code, *rest: errors.append(code)
        [unknown] = await ib.reqTickersAsync(Stock("ZZZZ", "SMART", "USD", conId=12345))
        assert not has_data(unknown)
        [contract] = await ib.qualifyContractsAsync(Stock("AAPL", "SMART", "USD"))
        [ticker] = await ib.reqTickersAsync(contract)
        minutes = await ib.reqHistoricalDataAsync(contract, endDateTime="", durationStr="1800 S",
                                                  barSizeSetting="1 min", whatToShow="TRADES", useRTH=True)
        days = await ib.reqHistoricalDataAsync(contract, endDateTime="", durationStr="2 D",
                                               barSizeSetting="1 day", whatToShow="TRADES", useRTH=True)
        return ticker, minutes, days

    ticker, minutes, days = run_ib(gateway.port, body)

    # On the minute the last trade is the close of the bar that just ended.
    assert ticker.last == minutes[-1].close
    assert ticker.bid < ticker.last < ticker.ask
    assert ticker.close == days[-2].close and ticker.open == days[-1].open
    assert ticker.low <= min(b.low for b in minutes) and ticker.high >= max(b.high for b in minutes)
    assert errors == [200]
    assert all(r.snapshot for r in gateway.gateway.market_data_requests) and gateway.gateway.quote_streams() == 0


def _wait(condition, timeout: float = 10.0) -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


def test_console_words_and_quotes_surviving_a_reconnect(loopback_gateway_factory, tmp_path):
    from corvane.words import quotes as quote_words
    from corvane.console import Console
    from corvane.quote_table import render

    gateway = loopback_gateway_factory(now=NOON, tick_interval=0.05)
    out, err = io.StringIO(), io.StringIO()
    console = Console(GatewaySettings(port=gateway.port, client_id=31, timeout=5),
                      KeyValueStore(tmp_path / "store.json"), interactive=True, out=out, err=err)

    def said(*words: str) -> tuple[int, str]:
        out.seek(0)
        out.truncate()
        status = console.handle(list(words))
        return status, out.getvalue().strip().splitlines()[-1] if out.getvalue().strip() else ""

    def live_now() -> bool:
        entries = console.session.state.quoteState.values()
        return all(e.ticker is not None and has_data(e.ticker) for e in entries)

    try:
        assert said("group", "tech", "AAPL", "MSFT")[0] == 0
        assert said("quote", "@tech") == (0, "live: AAPL MSFT")
        assert said("tessik", "tech", "nosuch") == (0, "1 quote group: tech: AAPL* MSFT* (* live); not saved: nosuch")
        status, _ = said("quotes")
        table = out.getvalue().splitlines()
        assert status == 0 and table[0].split()[:2] == ["symbol", "last"]
        assert [line.split()[0] for line in table[1:]] == ["AAPL", "MSFT"]

        # What the console shows at the moment of the loss (a reconnect may follow at once).
        at_loss: list[list[str]] = []
        live = quote_words.live_quotes(console.session)
        console.session.ib.disconnectedEvent += lambda *args: at_loss.append(render(live.rows()))
        gateway.disconnect_all()
        _wait(lambda: at_loss)
        assert [line.split()[1:] for line in at_loss[0][1:]] == [["(no", "connection)"]] * 2

        assert said("connect")[0] == 0
        _wait(live_now)
        assert said("tessik")[1] == "1 quote group: tech: AAPL* MSFT* (* live)"
        assert said("unquote", "AAPL") == (0, "not live any more: AAPL")
        assert said("tessik")[1] == "1 quote group: tech: AAPL MSFT* (* live)"
        assert said("unquote", "AAPL")[0] == 1 and "AAPL: not live" in err.getvalue()
        assert said("quote", "@nosuch")[0] == 2
    finally:
        console.close()
    _wait(lambda: gateway.gateway.quote_streams() == 0)
