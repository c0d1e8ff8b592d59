"""Turning a typed symbol into a gateway contract."""

from __future__ import annotations

import dataclasses
from typing import Any

from ib_async import ContFuture, Contract, Future, Stock
from loguru import logger

from corvane.helpers import nameForContract

FUTURE_PREFIX = "/"


def future_from(contract: Contract) -> Future:
    """The ``Future`` with every field of a qualified continuous-future contract."""
    values = {f.name: getattr(contract, f.name) for f in dataclasses.fields(contract)
              if f.name != "secType"}
    return Future(**values)


async def resolve_symbol(ib: Any, symbol: str) -> tuple[str, Contract | None]:
    """(symbol as the console names it, qualified contract), or ("", None) when unknown.

    Stocks are US-dollar stocks routed through SMART; a leading "/" names a
    future, resolved to its front month through the continuous future, so
    the contract is a ``Future`` that history requests can ask about as a
    continuous series. Failures of the connection itself are raised: they
    are not an unknown symbol.
    """
    text = (symbol or "").strip().upper()
    is_future = text.startswith(FUTURE_PREFIX)
    root = text[len(FUTURE_PREFIX):].strip() if is_future else text
    if not root:
        return "", None
    wanted: Contract = ContFuture(root) if is_future else Stock(root, "SMART", "USD")
    qualified = await ib.qualifyContractsAsync(wanted)
    contract = qualified[0] if qualified else None
    # An ambiguous answer comes back as None or a list of candidates; picking
    # one for the user could chart the wrong instrument.
    if not isinstance(contract, Contract) or not contract.conId:
        logger.debug("[{}] gateway knows no single contract for it", text)
        return "", None
    if is_future:
        contract = future_from(contract)
    return nameForContract(contract), contract
