"""Matching the contract a client describes against the sample universe, and contract details."""

from __future__ import annotations

import dataclasses
import datetime as dt
from dataclasses import dataclass
from zoneinfo import ZoneInfo

from . import instruments
from .instruments import EXCHANGE_ALIASES, STOCK_EXCHANGES, Instrument
from .market_calendar import EXCHANGE_TZ, day_index, session_closes, session_open, trading_days
from .wire import Fields


@dataclass(frozen=True)
class ContractQuery:
    """The contract fields a client sends with a request, as it sent them."""

    con_id: int = 0
    symbol: str = ""
    sec_type: str = ""
    last_trade: str = ""
    strike: float = 0.0
    right: str = ""
    multiplier: str = ""
    exchange: str = ""
    primary_exchange: str = ""
    currency: str = ""
    local_symbol: str = ""
    trading_class: str = ""

    @classmethod
    def read(cls, fields: Fields) -> ContractQuery:
        return cls(
            con_id=fields.next_int(),
            symbol=fields.next_text(),
            sec_type=fields.next_text(),
            last_trade=fields.next_text(),
            strike=fields.next_float(),
            right=fields.next_text(),
            multiplier=fields.next_text(),
            exchange=fields.next_text(),
            primary_exchange=fields.next_text(),
            currency=fields.next_text(),
            local_symbol=fields.next_text(),
            trading_class=fields.next_text(),
        )

    def describe(self) -> str:
        return self.symbol or self.local_symbol or str(self.con_id)


def _venue(name: str) -> str:
    name = name.upper()
    return EXCHANGE_ALIASES.get(name, name)


def _same_multiplier(asked: str, listed: str) -> bool:
    try:
        return float(asked) == float(listed or 1)
    except ValueError:
        return False


def _fits(query: ContractQuery, inst: Instrument) -> bool:
    if query.con_id and query.con_id != inst.con_id:
        return False
    if query.symbol and query.symbol.upper() != inst.symbol:
        return False
    if query.local_symbol and query.local_symbol.upper() != inst.local_symbol:
        return False
    if query.trading_class and query.trading_class.upper() not in (inst.trading_class, inst.symbol):
        return False
    if query.currency and query.currency.upper() != inst.currency:
        return False
    if query.multiplier and not _same_multiplier(query.multiplier, inst.multiplier):
        return False
    if query.exchange:
        venue = _venue(query.exchange)
        listed = STOCK_EXCHANGES.split(",") if inst.is_stock else [inst.exchange]
        if venue not in listed:
            return False
    if query.primary_exchange and _venue(query.primary_exchange) != inst.exchange:
        return False
    return not (
        query.last_trade
        and inst.expiry is not None
        and not (
            inst.contract_month.startswith(query.last_trade)
            or inst.expiry.strftime("%Y%m%d").startswith(query.last_trade)
        )
    )


def resolve(query: ContractQuery, today: dt.date) -> list[Instrument]:
    """Every instrument that fits the query; more than one means it is ambiguous."""
    if query.right or query.strike:
        return []
    sec_type = query.sec_type.upper()
    symbols = [query.symbol.upper()] if query.symbol else instruments.stock_symbols() + instruments.futures_roots()
    if not query.symbol and not query.con_id and not query.local_symbol:
        return []
    found: list[Instrument] = []
    for symbol in symbols:
        if sec_type in ("", "STK"):
            inst = instruments.stock(symbol)
            if inst and _fits(query, inst):
                found.append(inst)
        if sec_type in ("", "FUT"):
            found += [f for f in instruments.futures(symbol, today) if _fits(query, f)]
        if sec_type == "CONTFUT":
            listed = instruments.futures(symbol, today)
            # A continuous future stands for whichever contract is front month today. Clients
            # often send a copy of one month's contract with only the type changed, so that
            # month's id, local symbol and expiry say nothing here.
            loose = dataclasses.replace(query, last_trade="")
            if query.symbol:
                loose = dataclasses.replace(loose, con_id=0, local_symbol="")
            if listed and _fits(loose, listed[0]):
                found.append(dataclasses.replace(listed[0], sec_type="CONTFUT"))
    return found


def _session_text(days: list[dt.date], inst: Instrument, rth: bool) -> str:
    """Each day's session on the exchange's own clock: closed on its holidays, short on an early close."""
    zone = ZoneInfo(_ZONES[inst.zone])
    parts = []
    for day in days:
        index = trading_days(day, day, inst.calendar)
        if not len(index) or day_index(day) != index[0]:
            parts.append(f"{day:%Y%m%d}:CLOSED")
            continue
        begin, finish = (
            dt.datetime.fromtimestamp(t, EXCHANGE_TZ).astimezone(zone)
            for t in (
                session_open(int(index[0]), inst.hours, rth),
                int(session_closes(index, inst.hours, rth, inst.calendar)[0]),
            )
        )
        parts.append(f"{begin:%Y%m%d:%H%M}-{finish:%Y%m%d:%H%M}")
    return ";".join(parts)


_ZONES = {"US/Eastern": "America/New_York", "US/Central": "America/Chicago"}


def details_fields(req_id: int, inst: Instrument, query: ContractQuery, today: dt.date) -> list[object]:
    """The fields of one contract-details message (the layout of protocol level 164 and later)."""
    exchange = inst.exchange
    if inst.is_stock and query.exchange:
        exchange = _venue(query.exchange)
    week = [today + dt.timedelta(days=n) for n in range(7)]
    return [
        10,
        req_id,
        inst.symbol,
        inst.sec_type,
        inst.expiry.strftime("%Y%m%d") if inst.expiry else "",
        0,
        "",
        exchange,
        inst.currency,
        inst.local_symbol,
        inst.market_name,
        inst.trading_class,
        inst.con_id,
        inst.min_tick,
        inst.multiplier,
        "ACTIVETIM,AD,ADJUST,ALERT,ALLOC,DAY,GTC,LIT,LMT,MKT,MOC,STP,STPLMT,TRAIL",
        STOCK_EXCHANGES if inst.is_stock else inst.exchange,
        1,  # price magnifier
        0 if inst.is_stock else instruments.stable_con_id("IND", inst.symbol),
        inst.long_name,
        inst.exchange if inst.is_stock else "",
        inst.contract_month,
        inst.industry,
        inst.category,
        "",
        inst.zone,
        _session_text(week, inst, rth=False),
        _session_text(week, inst, rth=True),
        "",
        "",  # ev rule, ev multiplier
        0,  # no security ids: none of these identifiers would be real
        1,  # agg group
        "" if inst.is_stock else inst.symbol,
        "" if inst.is_stock else "IND",
        "26" if inst.is_stock else "67",
        inst.expiry.strftime("%Y%m%d") if inst.expiry else "",
        inst.stock_type,
        "0.0001" if inst.is_stock else "1",
        "0.0001" if inst.is_stock else "1",
        "100" if inst.is_stock else "1",
    ]
