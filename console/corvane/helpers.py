"""Helpers that command modules star-import."""

from __future__ import annotations

from ib_async import Contract, Future

__all__ = ["Future", "nameForContract"]


def nameForContract(contract: Contract) -> str:
    """The symbol a trader would type for a contract: futures get a leading "/"."""
    symbol = contract.localSymbol or contract.symbol
    if isinstance(contract, Future) or contract.secType in ("FUT", "CONTFUT"):
        return "/" + (contract.symbol or symbol)
    return symbol
