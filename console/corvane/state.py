"""What commands see of the console as ``self.state``."""

from __future__ import annotations

from typing import Any

from corvane.gateway.connection import GatewayLink
from corvane.gateway.symbols import resolve


class ConsoleState:
    """Connection status, symbol resolution and the live quotes of one console."""

    def __init__(self, link: GatewayLink) -> None:
        self.link = link
        #: symbol -> live entry (an object whose ``ticker`` carries the contract)
        self.quoteState: dict[str, Any] = {}
        #: symbol as the console names it -> the contract it last resolved to
        self.resolved: dict[str, Any] = {}
        #: futures: symbol -> the contract month (yyyymm) of the contract it last resolved to
        self.contract_months: dict[str, str] = {}

    @property
    def connected(self) -> bool:
        return self.link.connected

    @property
    def ib(self) -> Any:
        return self.link.ib

    async def positionalQuoteRepopulate(self, symbol: str) -> tuple[str, Any]:
        """Resolve a typed symbol through the gateway: (symbol, contract), or ("", None)."""
        if not self.connected:
            raise ConnectionError("no gateway connection")
        found = await resolve(self.ib, symbol)
        if found.name:
            self.resolved[found.name] = found.contract
            self.contract_months[found.name] = found.contract_month
        return found.name, found.contract
