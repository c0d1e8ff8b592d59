"""What commands see of the console as ``self.state``."""

from __future__ import annotations

from typing import Any

from corvane.gateway.connection import GatewayLink
from corvane.gateway.symbols import resolve_symbol


class ConsoleState:
    """Connection status, symbol resolution and the live quotes of one console."""

    def __init__(self, link: GatewayLink) -> None:
        self.link = link
        #: symbol -> live entry (an object whose ``ticker`` carries the contract)
        self.quoteState: dict[str, Any] = {}
        #: symbol as the console names it -> the contract it last resolved to
        self.resolved: dict[str, Any] = {}

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
        name, contract = await resolve_symbol(self.ib, symbol)
        if name:
            self.resolved[name] = contract
        return name, contract
