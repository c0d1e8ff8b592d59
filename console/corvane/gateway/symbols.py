"""Turning a typed symbol into a gateway contract."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from typing import Any

from ib_async import ContFuture, Contract, Future, Stock
from loguru import logger

from corvane.helpers import nameForContract

FUTURE_PREFIX = "/"


def future_from(contract: Contract) -> Future:
    """The ``Future`` with every field of a qualified continuous-future contract."""
    values = {f.name: getattr(contract, f.name) for f in dataclasses.fields(contract) if f.name != "secType"}
    return Future(**values)


@dataclass(frozen=True)
class Resolution:
    #: the symbol as the console names it; "" when the gateway knows no single contract
    name: str
    contract: Contract | None
    #: futures: the delivery month (yyyymm) of the contract details, which for some
    #: contracts (crude oil) is the month after the last trading day; "" when not told
    contract_month: str = ""
    #: futures: the contract details (the exchange's zone and hours); None for stocks
    details: Any = None


async def resolve_symbol(ib: Any, symbol: str) -> tuple[str, Contract | None]:
    """(symbol as the console names it, qualified contract), or ("", None) when unknown."""
    found = await resolve(ib, symbol)
    return found.name, found.contract


async def resolve(ib: Any, symbol: str) -> Resolution:
    """The typed symbol's contract, and for a future its contract month.

    Stocks are US-dollar stocks routed through SMART; a leading "/" names a
    future, resolved to its front month through the continuous future, so
    the contract is a ``Future`` that history requests can ask about as a
    continuous series. Failures of the connection itself are raised: they
    are not an unknown symbol.
    """
    text = (symbol or "").strip().upper()
    is_future = text.startswith(FUTURE_PREFIX)
    root = text[len(FUTURE_PREFIX) :].strip() if is_future else text
    if not root:
        return Resolution("", None)
    if is_future:
        return await _resolve_future(ib, text, root)
    qualified = await ib.qualifyContractsAsync(Stock(root, "SMART", "USD"))
    contract = qualified[0] if qualified else None
    # An ambiguous answer comes back as None or a list of candidates; picking
    # one for the user could chart the wrong instrument.
    if not isinstance(contract, Contract) or not contract.conId:
        logger.debug("[{}] gateway knows no single contract for it", text)
        return Resolution("", None)
    return Resolution(nameForContract(contract), contract)


async def _resolve_future(ib: Any, text: str, root: str) -> Resolution:
    # The contract details, not just the contract: only they carry the contract month.
    details = await ib.reqContractDetailsAsync(ContFuture(root))
    contract = details[0].contract if len(details) == 1 else None
    if not isinstance(contract, Contract) or not contract.conId:
        logger.debug("[{}] gateway knows no single contract for it", text)
        return Resolution("", None)
    future = future_from(contract)
    return Resolution(nameForContract(future), future, str(details[0].contractMonth or ""), details[0])
