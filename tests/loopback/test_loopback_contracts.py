"""Symbol resolution through the loopback gateway, as the real client qualifies contracts."""

from __future__ import annotations

import datetime as dt

from ib_async import IB, ContFuture, Contract, Future, Stock

from corvane_loopback.market_calendar import EXCHANGE_TZ

WEDNESDAY_NOON = dt.datetime(2025, 3, 5, 12, 0, tzinfo=EXCHANGE_TZ)


def test_stocks_qualify_with_stable_ids_across_gateways(loopback_gateway_factory, run_ib):
    async def body(ib: IB):
        return await ib.qualifyContractsAsync(Stock("AAPL", "SMART", "USD"), Stock("spy", "SMART", "USD"))

    first = run_ib(loopback_gateway_factory().port, body)
    second = run_ib(loopback_gateway_factory().port, body)
    aapl, spy = first
    assert (aapl.secType, aapl.exchange, aapl.primaryExchange, aapl.currency) == ("STK", "SMART", "NASDAQ", "USD")
    assert (spy.symbol, spy.primaryExchange) == ("SPY", "ARCA")
    assert aapl.conId and spy.conId and aapl.conId != spy.conId
    assert [c.conId for c in first] == [c.conId for c in second]


def test_futures_resolve_to_the_front_month_and_listed_expiries(loopback_gateway_factory, run_ib):
    gw = loopback_gateway_factory(now=WEDNESDAY_NOON)

    async def body(ib: IB):
        cont, june, crude = await ib.qualifyContractsAsync(
            ContFuture("ES", "CME"), Future("ES", "202506", "CME"), ContFuture("CL", "NYMEX")
        )
        listed = await ib.reqContractDetailsAsync(Future("ES", exchange="CME"))
        ambiguous = await ib.qualifyContractsAsync(Future("ES", exchange="CME"))
        return cont, june, crude, listed, ambiguous

    cont, june, crude, listed, ambiguous = run_ib(gw.port, body)
    assert (cont.secType, cont.localSymbol, cont.lastTradeDateOrContractMonth) == ("CONTFUT", "ESH5", "20250321")
    assert (june.secType, june.localSymbol, june.multiplier) == ("FUT", "ESM5", "50")
    assert crude.localSymbol == "CLJ5"  # April crude stops trading in March
    assert [d.contract.localSymbol for d in listed] == ["ESH5", "ESM5", "ESU5", "ESZ5"]
    assert cont.conId == listed[0].contract.conId
    assert ambiguous == [None]


def test_unknown_symbols_get_error_200_for_their_request(loopback_gateway, run_ib):
    async def body(ib: IB):
        errors = []
        ib.errorEvent += lambda req_id, code, text, contract: errors.append((code, text))
        qualified = await ib.qualifyContractsAsync(Stock("NOPE", "SMART", "USD"), Contract(secType="OPT", symbol="AAPL"))
        details = await ib.reqContractDetailsAsync(Stock("ZZZZ", "SMART", "USD"))
        return qualified, details, errors

    qualified, details, errors = run_ib(loopback_gateway.port, body)
    assert qualified == [None, None]
    assert details == []
    assert errors == [(200, "No security definition has been found for the request")] * 3
