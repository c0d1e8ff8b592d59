"""The fixed universe of sample instruments the gateway knows: a few US stocks and futures.

Contract ids are derived from the contract's identity with CRC-32, so they are
the same in every process and on every machine. Futures expiries follow simple
calendar rules and roll with the gateway's clock.
"""

from __future__ import annotations

import datetime as dt
import zlib
from collections.abc import Callable
from dataclasses import dataclass

from .market_calendar import FUTURES_CALENDAR, FUTURES_HOURS, STOCK_CALENDAR, STOCK_HOURS, Hours

MONTH_CODES = "FGHJKMNQUVXZ"  # January to December


@dataclass(frozen=True)
class Instrument:
    symbol: str
    sec_type: str  # "STK" or "FUT"
    exchange: str  # the listing venue; stocks are also offered on SMART
    currency: str
    local_symbol: str
    trading_class: str
    con_id: int
    min_tick: float
    multiplier: str
    long_name: str
    market_name: str
    industry: str = ""
    category: str = ""
    stock_type: str = ""
    expiry: dt.date | None = None
    contract_month: str = ""  # futures: the delivery month, yyyymm
    # what the price generator needs
    base_price: float = 100.0
    daily_vol: float = 0.015
    daily_volume: float = 1e6
    trade_size: float = 100.0
    dividend_yield: float = 0.0

    @property
    def is_stock(self) -> bool:
        return self.sec_type == "STK"

    @property
    def hours(self) -> Hours:
        return STOCK_HOURS if self.is_stock else FUTURES_HOURS

    @property
    def calendar(self) -> str:
        """The code of the exchange's trading calendar: every sample future trades on CME Globex."""
        return STOCK_CALENDAR if self.is_stock else FUTURES_CALENDAR

    @property
    def zone(self) -> str:
        """The exchange's zone as the gateway names it in contract details."""
        return "US/Eastern" if self.is_stock else "US/Central"


def stable_con_id(*parts: str) -> int:
    return 100_000_000 + zlib.crc32("/".join(parts).encode()) % 800_000_000


# symbol: primary exchange, long name, industry, category, stock type, price near 2025, daily vol,
#         shares per day, dividend yield
_STOCKS = {
    "AAPL": ("NASDAQ", "APPLE INC", "Technology", "Computers", "COMMON", 190.0, 0.016, 55e6, 0.005),
    "MSFT": ("NASDAQ", "MICROSOFT CORP", "Technology", "Software", "COMMON", 420.0, 0.014, 22e6, 0.007),
    "NVDA": ("NASDAQ", "NVIDIA CORP", "Technology", "Semiconductors", "COMMON", 135.0, 0.030, 250e6, 0.002),
    "TSLA": ("NASDAQ", "TESLA INC", "Consumer, Cyclical", "Auto Manufacturers", "COMMON", 250.0, 0.035, 90e6, 0.002),
    "AMZN": ("NASDAQ", "AMAZON.COM INC", "Communications", "Internet", "COMMON", 200.0, 0.018, 40e6, 0.002),
    "GOOGL": ("NASDAQ", "ALPHABET INC-CL A", "Communications", "Internet", "COMMON", 175.0, 0.017, 25e6, 0.004),
    "META": ("NASDAQ", "META PLATFORMS INC-CLASS A", "Communications", "Internet", "COMMON", 580.0, 0.020, 15e6, 0.004),
    "IBM": ("NYSE", "INTL BUSINESS MACHINES CORP", "Technology", "Computers", "COMMON", 220.0, 0.012, 4e6, 0.030),
    "JPM": ("NYSE", "JPMORGAN CHASE & CO", "Financial", "Banks", "COMMON", 240.0, 0.013, 9e6, 0.020),
    "XOM": ("NYSE", "EXXON MOBIL CORP", "Energy", "Oil&Gas", "COMMON", 110.0, 0.013, 15e6, 0.034),
    "SPY": ("ARCA", "SPDR S&P 500 ETF TRUST", "Funds", "Equity Fund", "ETF", 590.0, 0.009, 45e6, 0.012),
    "QQQ": ("NASDAQ", "INVESCO QQQ TRUST SERIES 1", "Funds", "Equity Fund", "ETF", 510.0, 0.012, 35e6, 0.006),
    "IWM": ("ARCA", "ISHARES RUSSELL 2000 ETF", "Funds", "Equity Fund", "ETF", 225.0, 0.013, 30e6, 0.011),
    "DIA": ("ARCA", "SPDR DJIA TRUST", "Funds", "Equity Fund", "ETF", 425.0, 0.009, 3e6, 0.015),
}

_MARKET_NAMES = {"NASDAQ": "NMS", "NYSE": "NYSE", "ARCA": "ARCA"}

STOCK_EXCHANGES = "SMART,AMEX,NYSE,CBOE,PHLX,ISE,CHX,ARCA,ISLAND,NASDAQ,DRCTEDGE,BEX,BATS,EDGEA,BYX,IEX,PSX"


def _third_friday(year: int, month: int) -> dt.date:
    first = dt.date(year, month, 1)
    return first + dt.timedelta(days=(4 - first.weekday()) % 7 + 14)


def _business_days_before(day: dt.date, count: int) -> dt.date:
    while count:
        day -= dt.timedelta(days=1)
        if day.weekday() < 5:
            count -= 1
    return day


def _crude_expiry(year: int, month: int) -> dt.date:
    # three business days before the 25th of the month ahead of delivery
    year, month = (year, month - 1) if month > 1 else (year - 1, 12)
    day = dt.date(year, month, 25)
    while day.weekday() >= 5:
        day -= dt.timedelta(days=1)
    return _business_days_before(day, 3)


def _gold_expiry(year: int, month: int) -> dt.date:
    # third-last business day of the delivery month
    nxt = dt.date(year + month // 12, month % 12 + 1, 1)
    return _business_days_before(nxt, 3)


@dataclass(frozen=True)
class _FutureRoot:
    exchange: str
    long_name: str
    multiplier: str
    min_tick: float
    months: str
    expiry_rule: Callable[[int, int], dt.date]
    listed: int
    base_price: float
    daily_vol: float
    daily_volume: float


_FUTURES = {
    "ES": _FutureRoot("CME", "E-mini S&P 500", "50", 0.25, "HMUZ", _third_friday, 4, 5900.0, 0.011, 1.5e6),
    "NQ": _FutureRoot("CME", "E-mini Nasdaq-100", "20", 0.25, "HMUZ", _third_friday, 4, 21000.0, 0.014, 6e5),
    "YM": _FutureRoot("CBOT", "E-mini Dow Jones ($5)", "5", 1.0, "HMUZ", _third_friday, 4, 43000.0, 0.010, 1.5e5),
    "CL": _FutureRoot("NYMEX", "Light Sweet Crude Oil", "1000", 0.01, MONTH_CODES, _crude_expiry, 6, 72.0, 0.020, 3e5),
    "GC": _FutureRoot("COMEX", "Gold", "100", 0.1, "GJMQVZ", _gold_expiry, 4, 2650.0, 0.010, 2e5),
}

#: names that older client code uses for the same venues
EXCHANGE_ALIASES = {"GLOBEX": "CME", "ECBOT": "CBOT", "ISLAND": "NASDAQ"}


def stock(symbol: str) -> Instrument | None:
    row = _STOCKS.get(symbol)
    if row is None:
        return None
    primary, name, industry, category, kind, price, vol, volume, dividend = row
    return Instrument(
        symbol=symbol,
        sec_type="STK",
        exchange=primary,
        currency="USD",
        local_symbol=symbol,
        trading_class=_MARKET_NAMES[primary],
        con_id=stable_con_id("STK", symbol),
        min_tick=0.01,
        multiplier="",
        long_name=name,
        market_name=_MARKET_NAMES[primary],
        industry=industry,
        category=category,
        stock_type=kind,
        base_price=price,
        daily_vol=vol,
        daily_volume=volume,
        trade_size=150.0 if kind == "ETF" else 90.0,
        dividend_yield=dividend,
    )


def futures(symbol: str, today: dt.date) -> list[Instrument]:
    """The contracts of a futures root still trading on ``today``, front month first."""
    root = _FUTURES.get(symbol)
    if root is None:
        return []
    listed: list[Instrument] = []
    year, month = today.year, today.month
    while len(listed) < root.listed:
        code = MONTH_CODES[month - 1]
        if code in root.months:
            expiry = root.expiry_rule(year, month)
            if expiry >= today:
                local_symbol = f"{symbol}{code}{year % 10}"
                listed.append(
                    Instrument(
                        symbol=symbol,
                        sec_type="FUT",
                        exchange=root.exchange,
                        currency="USD",
                        local_symbol=local_symbol,
                        trading_class=symbol,
                        con_id=stable_con_id("FUT", root.exchange, local_symbol, f"{year}"),
                        min_tick=root.min_tick,
                        multiplier=root.multiplier,
                        long_name=root.long_name,
                        market_name=symbol,
                        expiry=expiry,
                        contract_month=f"{year:04d}{month:02d}",
                        base_price=root.base_price,
                        daily_vol=root.daily_vol,
                        daily_volume=root.daily_volume,
                        trade_size=2.5,
                    )
                )
        year, month = (year, month + 1) if month < 12 else (year + 1, 1)
    return listed


def stock_symbols() -> list[str]:
    return list(_STOCKS)


def futures_roots() -> list[str]:
    return list(_FUTURES)
